#include "imagetransform.h"

#include "imagecodec.h"

const uint32_t imageKey[32] = {
    0x3A94C1E7u,
    0x7F02B658u,
    0xC61D4E93u,
    0x0B8F7A2Cu,
    0x952E63D1u,
    0x4CA7F80Eu,
    0xE3516B9Au,
    0x28D9045Fu,
    0xB07C3E16u,
    0x6E45A9C3u,
    0x1F93D278u,
    0xD2680B4Du,
    0x5BE1F7A0u,
    0x8436C965u,
    0xF90A5E3Bu,
    0x37C28D04u,
    0xA15F16E9u,
    0x0D7BE352u,
    0xC8242FB7u,
    0x76E9905Cu,
    0x4B0361F8u,
    0xEF8AD42Du,
    0x12D57C96u,
    0x9C6E0B31u,
    0x60B3A7CAu,
    0xD4195E0Fu,
    0x2BF7C864u,
    0x873C11B5u,
    0x5E8246DBu,
    0xFA61BF20u,
    0x39AC0887u,
    0xC5F6735Eu,
};

namespace {

uint32_t loadWord(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void storeWord(unsigned char *p, uint32_t w)
{
    p[0] = uint8_t(w);
    p[1] = uint8_t(w >> 8);
    p[2] = uint8_t(w >> 16);
    p[3] = uint8_t(w >> 24);
}

} // namespace

void kelto::encodeWords(unsigned char *buffer, uint32_t length)
{
    const uint32_t words = length / 4;
    for (uint32_t i = 0; i < words; ++i) {
        const uint32_t k = imageKey[i % 32];
        storeWord(buffer + 4 * i, (loadWord(buffer + 4 * i) ^ k) + k);
    }
}

void kelto::decodeWords(unsigned char *buffer, uint32_t length)
{
    const uint32_t words = length / 4;
    for (uint32_t i = 0; i < words; ++i) {
        const uint32_t k = imageKey[i % 32];
        storeWord(buffer + 4 * i, (loadWord(buffer + 4 * i) - k) ^ k);
    }
}

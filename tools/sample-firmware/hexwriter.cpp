#include "hexwriter.h"

namespace kelto::hexgen {

namespace {

void appendHex(QByteArray &out, uint32_t value, int digits)
{
    static const char hex[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i)
        out += hex[(value >> (4 * i)) & 0xF];
}

} // namespace

HexWriter::HexWriter(int recordSize, const QByteArray &lineEnd)
    : recordSize(recordSize)
    , lineEnd(lineEnd)
{
}

void HexWriter::record(uint8_t type, uint16_t offset, const QByteArray &payload)
{
    uint32_t sum = uint32_t(payload.size()) + (offset >> 8) + (offset & 0xFF) + type;
    out += ':';
    appendHex(out, uint32_t(payload.size()), 2);
    appendHex(out, offset, 4);
    appendHex(out, type, 2);
    for (char c : payload) {
        appendHex(out, uint8_t(c), 2);
        sum += uint8_t(c);
    }
    appendHex(out, (0x100 - (sum & 0xFF)) & 0xFF, 2);
    out += lineEnd;
}

void HexWriter::segment(uint16_t value)
{
    QByteArray payload;
    payload += char(value >> 8);
    payload += char(value & 0xFF);
    record(0x04, 0, payload);
    upper = value;
}

void HexWriter::data(uint32_t address, const QByteArray &bytes)
{
    int at = 0;
    while (at < bytes.size()) {
        const uint32_t a = address + uint32_t(at);
        if (int64_t(a >> 16) != upper)
            segment(uint16_t(a >> 16));
        const uint32_t toBoundary = 0x10000 - (a & 0xFFFF);
        const int n = int(qMin<qint64>(qMin<qint64>(recordSize, bytes.size() - at), toBoundary));
        record(0x00, uint16_t(a & 0xFFFF), bytes.mid(at, n));
        at += n;
    }
}

void HexWriter::startLinear(uint32_t entry)
{
    QByteArray payload;
    for (int shift = 24; shift >= 0; shift -= 8)
        payload += char((entry >> shift) & 0xFF);
    record(0x05, 0, payload);
}

void HexWriter::end()
{
    record(0x01, 0, {});
}

void HexWriter::raw(const QByteArray &line)
{
    out += line;
}

} // namespace kelto::hexgen

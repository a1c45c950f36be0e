#include "hexreader.h"

#include "boundedread.h"

#include <QStringList>

#include <cstring>

namespace kelto::hex {

namespace {

// The window reads at most this many bytes per line, terminator included: a
// record of 25 data bytes plus CR LF is the longest that fits.
constexpr size_t windowLineLimit = 63;
// Shorter lines cannot hold the start mark and the three header fields.
constexpr size_t shortestLine = 11;
// ':' and 2 x (count, offset, type, 255 data bytes, checksum).

// Value of a hexadecimal digit, or -1. A table keeps the per-byte cost of
// large builds low.
struct DigitTable
{
    signed char value[256];
    constexpr DigitTable()
        : value()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = -1;
        for (int i = 0; i < 10; ++i)
            value['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) {
            value['a' + i] = static_cast<signed char>(10 + i);
            value['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
constexpr DigitTable digits;

// Parses `count` hexadecimal digits at line[at]; characters at or beyond
// `length` do not belong to the line and never parse.
bool parseHex(const char *line, size_t length, size_t at, int count, uint32_t &out)
{
    if (at + size_t(count) > length)
        return false;
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) {
        const int d = digits.value[static_cast<unsigned char>(line[at + size_t(i)])];
        if (d < 0)
            return false;
        v = v << 4 | uint32_t(d);
    }
    out = v;
    return true;
}

// What builds and transfers pad a file with after its end-of-file record:
// NUL bytes to a block size, a DOS end-of-file mark (Ctrl-Z), blanks.
bool isPadding(char c)
{
    return c == '\0' || c == '\x1A' || c == ' ' || c == '\t';
}

bool isEndRecord(const char *line, size_t length)
{
    return length == 11 && qstrnicmp(line, ":00000001FF", 11) == 0;
}

bool allHex(const char *text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (digits.value[static_cast<unsigned char>(text[i])] < 0)
            return false;
    }
    return true;
}

QString hex8(uint32_t v)
{
    return QString::asprintf("0x%02X", unsigned(v));
}

QString hex16(uint32_t v)
{
    return QString::asprintf("0x%04X", unsigned(v));
}

QString hex32(uint32_t v)
{
    return QString::asprintf("0x%08X", unsigned(v));
}

} // namespace

Reader::Reader(Mode mode, std::vector<Region> regions)
    : mode(mode)
    , regions(std::move(regions))
{
    result.stored.assign(this->regions.size(), 0);
    // One bit per region byte, made when the region gets its first byte.
    written.resize(this->regions.size());
}

void Reader::fail(int code, const QString &reason)
{
    result.code = code;
    result.line = lines;
    result.reason = reason;
    stopped = true;
}

void Reader::feed(const char *data, size_t size)
{
    if (mode == Mode::Window) {
        size_t i = 0;
        while (i < size && !stopped)
            windowByte(data, size, i);
        return;
    }
    for (size_t i = 0; i < size && !stopped; ++i)
        strictByte(data[i]);
}

void Reader::windowByte(const char *data, size_t size, size_t &i)
{
    // A read that filled the buffer without reaching a line feed cut the
    // line: the rest would otherwise be taken for the next record.
    if (fullLinePending) {
        ++lines;
        fail(ShortLine, "line longer than 63 bytes");
        return;
    }
    // Copy up to the next line feed or until the read is full.
    const size_t room = windowLineLimit - length;
    const size_t take = std::min(room, size - i);
    const void *nl = std::memchr(data + i, '\n', take);
    const size_t n = nl ? size_t(static_cast<const char *>(nl) - (data + i)) + 1 : take;
    std::memcpy(line + length, data + i, n);
    length += n;
    i += n;
    if (nl) {
        ++lines;
        const size_t l = length;
        length = 0;
        record(line, l);
    } else if (length == windowLineLimit) {
        fullLinePending = true;
    }
}

void Reader::strictByte(char c)
{
    if (c == '\n' && lastWasCr) {
        lastWasCr = false;
        return;
    }
    // An LF then a CR would otherwise read as an empty line after each
    // record, which says nothing of the cause.
    if (c == '\r' && lastWasLf && length == 0 && !result.endRecord) {
        lastWasLf = false;
        return fail(ShortLine,
            "the line ends with LF CR (a line feed, then a carriage return); lines end with LF, "
            "CR LF or CR");
    }
    lastWasCr = c == '\r';
    lastWasLf = c == '\n';
    if (c != '\r' && c != '\n') {
        // Padding after the end-of-file record, on its line or after it.
        if (isPadding(c) && (result.endRecord || isEndRecord(line, length)))
            return;
        if (length < sizeof line)
            line[length++] = c;
        else
            overlong = true;
        return;
    }
    ++lines;
    const size_t l = length;
    length = 0;
    record(line, l);
}

Result Reader::finish()
{
    if (!stopped && (length > 0 || fullLinePending || overlong)) {
        ++lines;
        fullLinePending = false;
        const size_t l = length;
        length = 0;
        record(line, l);
    }
    if (!stopped && mode == Mode::Strict && !result.endRecord) {
        ++lines;
        fail(NoEndRecord, "the file ends without an end-of-file record (a truncated build?)");
    }
    stopped = true;
    for (const auto &[first, last] : outside) {
        result.outside.push_back({first, last});
        result.outsideBytes += uint64_t(last - first) + 1;
    }
    outside.clear();
    return result;
}

void Reader::record(const char *text, size_t l)
{
    if (mode == Mode::Window)
        windowRecord(text, l);
    else
        strictRecord(text, l);
}

void Reader::windowRecord(const char *text, size_t l)
{
    if (l <= shortestLine - 1)
        return fail(ShortLine, "line too short for a record");
    if (text[0] != ':')
        return fail(NoStartMark, "line does not start with ':'");

    uint32_t count = 0;
    uint32_t offset = 0;
    uint32_t type = 0;
    if (!parseHex(text, l, 1, 2, count))
        return fail(BadCount, "byte count is not hexadecimal");
    if (!parseHex(text, l, 3, 4, offset))
        return fail(BadOffset, "address is not hexadecimal");
    if (!parseHex(text, l, 7, 2, type))
        return fail(BadType, "record type is not hexadecimal");

    switch (type) {
    case 0x00:
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t byte = 0;
            if (!parseHex(text, l, 9 + 2 * size_t(i), 2, byte))
                return fail(BadData, QString("data byte %1 is not hexadecimal").arg(i + 1));
            // Plain 32-bit sum: a record near the end of a 64 KiB segment
            // runs on into the next one.
            store(base + offset + i, static_cast<unsigned char>(byte));
        }
        return;
    case 0x01:
        result.endRecord = true;
        stopped = true;
        return;
    case 0x04: {
        uint32_t value = 0;
        if (!parseHex(text, l, 9, 4, value))
            return fail(BadRecord, "extended linear address is not hexadecimal");
        base = value << 16;
        return;
    }
    case 0x05:
        return;
    default:
        return fail(BadRecord, QString("record type %1 is not supported").arg(hex8(type)));
    }
}

void Reader::strictRecord(const char *text, size_t l)
{
    if (overlong) {
        overlong = false;
        return fail(BadLength,
            QString("line longer than the longest record (%1 characters)").arg(longestRecord));
    }
    if (result.endRecord) {
        if (l == 0)
            return; // blank lines after the end are harmless
        return fail(AfterEnd, "data after the end-of-file record");
    }
    if (l == 0)
        return fail(ShortLine, "empty line");
    if (lines == 1 && l >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0)
        return fail(NoStartMark,
            "the file starts with a UTF-8 byte order mark (bytes 0xEF 0xBB 0xBF); a HEX file is "
            "plain ASCII text: save it without one");
    if (text[0] != ':' && allHex(text, l))
        return fail(NoStartMark, "the ':' that starts every record is missing");
    if (l < shortestLine)
        return fail(ShortLine, QString("line too short for a record (%1 characters)").arg(l));
    if (text[0] != ':')
        return fail(NoStartMark, "line does not start with ':'");
    for (size_t i = 1; i < l; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (digits.value[c] >= 0)
            continue;
        const int code = i < 3 ? BadCount : i < 7 ? BadOffset : i < 9 ? BadType : BadData;
        const QString shown = c >= 0x20 && c < 0x7F ? QString("'%1'").arg(QChar(c))
                                                    : QString("byte %1").arg(hex8(c));
        return fail(
            code, QString("character %1 (%2) is not a hexadecimal digit").arg(i + 1).arg(shown));
    }
    if ((l - 1) % 2 != 0)
        return fail(BadLength, "odd number of hexadecimal digits");

    // The count decides the length before any byte is decoded, so that no
    // line, whatever its length, decodes past the record's room.
    const uint32_t count = uint32_t(digits.value[static_cast<unsigned char>(text[1])]) << 4
        | uint32_t(digits.value[static_cast<unsigned char>(text[2])]);
    if (l != 11 + 2 * size_t(count))
        return fail(BadLength,
            QString("byte count %1 calls for %2 characters, the line has %3")
                .arg(count)
                .arg(11 + 2 * count)
                .arg(l));
    unsigned char bytes[longestRecord / 2];
    const size_t n = (l - 1) / 2;
    static_assert(sizeof bytes == 255 + 5, "a record is at most 260 bytes");
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<unsigned char>(
            digits.value[static_cast<unsigned char>(text[1 + 2 * i])] << 4
            | digits.value[static_cast<unsigned char>(text[2 + 2 * i])]);
        sum += bytes[i];
    }
    if ((sum & 0xFF) != 0) {
        const unsigned expected = (bytes[n - 1] - sum) & 0xFF;
        return fail(BadChecksum,
            QString("checksum %1 is wrong (%2 expected)").arg(hex8(bytes[n - 1]), hex8(expected)));
    }
    const uint32_t offset = uint32_t(bytes[1]) << 8 | bytes[2];
    const uint32_t type = bytes[3];
    const unsigned char *payload = bytes + 4;
    const uint32_t value16 = count == 2 ? uint32_t(payload[0]) << 8 | payload[1] : 0;

    if (type >= 0x02 && type <= 0x05 && offset != 0)
        return fail(BadOffset,
            QString("%1 record with address field %2 (0x0000 expected)")
                .arg(type == 0x02      ? "extended segment address"
                        : type == 0x04 ? "extended linear address"
                                       : "start address",
                    hex16(offset)));

    switch (type) {
    case 0x00:
        if (count > 0 && (segmented ? linearValue : segmentValue) != 0)
            return fail(BadRecord,
                QString("data after both an extended segment address (%1) and an extended linear "
                        "address (%2): tools disagree where it goes")
                    .arg(hex16(segmentValue), hex16(linearValue)));
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t address;
            if (segmented) {
                // Segment addressing wraps within its 64 KiB segment.
                address = base + ((offset + i) & 0xFFFF);
            } else {
                const uint64_t wide = uint64_t(base) + offset + i;
                if (wide > 0xFFFFFFFFu)
                    return fail(AddressOverflow, "data beyond address 0xFFFFFFFF");
                address = uint32_t(wide);
            }
            store(address, payload[i]);
            if (stopped)
                return;
        }
        return;
    case 0x01:
        if (count != 0)
            return fail(BadLength, "end-of-file record with data");
        result.endRecord = true;
        return;
    case 0x02:
    case 0x04:
        if (count != 2)
            return fail(BadLength,
                QString("%1 address record with %2 data bytes (2 expected)")
                    .arg(type == 2 ? "extended segment" : "extended linear")
                    .arg(count));
        segmented = type == 0x02;
        base = segmented ? value16 << 4 : value16 << 16;
        (segmented ? segmentValue : linearValue) = value16;
        return;
    case 0x03:
    case 0x05:
        // Start addresses mean nothing to a flash image.
        if (count != 4)
            return fail(BadLength,
                QString("start address record with %1 data bytes (4 expected)").arg(count));
        return;
    default:
        return fail(BadRecord, QString("record type %1 is not supported").arg(hex8(type)));
    }
}

void Reader::store(uint32_t address, unsigned char byte)
{
    for (size_t r = 0; r < regions.size(); ++r) {
        const Region &region = regions[r];
        if (address < region.low || address > region.high)
            continue;
        const size_t at = address - region.low;
        if (mode == Mode::Strict) {
            if (written[r].empty())
                written[r].assign((size_t(region.high - region.low) + 1 + 7) / 8, 0);
            uint8_t &bits = written[r][at / 8];
            const uint8_t bit = uint8_t(1u << (at % 8));
            if (bits & bit) {
                if (region.destination[at] != byte)
                    fail(Overlap,
                        QString("%1 was given %2 by an earlier record, this one gives %3")
                            .arg(hex32(address), hex8(region.destination[at]), hex8(byte)));
                return;
            }
            bits |= bit;
        }
        region.destination[at] = byte;
        ++result.stored[r];
        return;
    }
    if (mode == Mode::Window)
        return;
    storeOutside(address, byte);
}

void Reader::storeOutside(uint32_t address, unsigned char byte)
{
    Chunk &chunk = outsideBytes[address >> 4];
    const uint32_t at = address & 0xF;
    const uint16_t bit = uint16_t(1u << at);
    if (chunk.written & bit) {
        if (chunk.value[at] != byte)
            fail(Overlap,
                QString("%1 was given %2 by an earlier record, this one gives %3")
                    .arg(hex32(address), hex8(chunk.value[at]), hex8(byte)));
        return;
    }
    chunk.written |= bit;
    chunk.value[at] = byte;
    // Merge into the ranges of data outside every region; consecutive bytes
    // of a record mostly extend the last range.
    auto next = outside.upper_bound(address);
    if (next != outside.begin()) {
        auto before = std::prev(next);
        if (address <= before->second)
            return;
        if (address == before->second + 1) {
            before->second = address;
            if (next != outside.end() && next->first == address + 1) {
                before->second = next->second;
                outside.erase(next);
            }
            return;
        }
    }
    if (next != outside.end() && next->first == address + 1) {
        const uint32_t last = next->second;
        outside.erase(next);
        outside.emplace(address, last);
        return;
    }
    outside.emplace(address, address);
}

Result read(const QByteArray &text, Mode mode, std::vector<Region> regions)
{
    Reader reader(mode, std::move(regions));
    reader.feed(text.constData(), size_t(text.size()));
    return reader.finish();
}

Result readFile(const QString &path, Mode mode, std::vector<Region> regions)
{
    Reader reader(mode, std::move(regions));
    const input::Read in
        = input::readChunks(path, largestBuild, [&reader](const char *d, size_t n) {
              reader.feed(d, n);
              return !reader.done();
          });
    // The window takes an unreadable file for an empty one, or for the part
    // of it that was read.
    if (!in.ok() && mode == Mode::Window)
        return reader.finish();
    if (!in.ok() || (in.exceeded && !reader.done())) {
        Result r = reader.finish();
        r.code = CannotOpen;
        r.line = 0;
        r.reason = in.ok() ? input::tooLarge(path, largestBuild, "a firmware build") : in.error;
        return r;
    }
    return reader.finish();
}

QString describe(const std::vector<Range> &ranges, int shown)
{
    QStringList parts;
    for (size_t i = 0; i < ranges.size() && int(i) < shown; ++i)
        parts << QString("%1-%2").arg(hex32(ranges[i].first), hex32(ranges[i].last));
    if (int(ranges.size()) > shown)
        parts << QString("and %1 more").arg(ranges.size() - size_t(shown));
    return parts.join(", ");
}

} // namespace kelto::hex

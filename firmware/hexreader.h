#ifndef KELTO_FIRMWARE_HEXREADER_H
#define KELTO_FIRMWARE_HEXREADER_H

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

// The one Intel HEX reader. It takes the text in pieces of any size (a file
// in chunks, a buffer whole) and stores the data bytes that fall into the
// caller's regions of the device's address space.
namespace kelto::hex {

enum class Mode {
    // The window's conversion as it always was: lines are read 63 bytes at
    // a time (records of up to 25 data bytes), checksums are not read, types
    // 00, 01, 04 and 05 only, a file may end without its end-of-file record,
    // and the first malformed field ends the conversion with its code.
    Window,
    // What toolchains write and nothing else: records of up to 255 data
    // bytes, LF, CR LF or CR line ends, checksums checked, types 00 to 05
    // (address records with address field 0000), an end-of-file record
    // required (NUL, Ctrl-Z, space and tab padding after it is taken), data
    // given twice must agree wherever it lies, and no data may depend on a
    // mix of segment (02) and linear (04) address records.
    Strict,
};

// Result codes. The window's (-1 to -7) belong to the first field that
// fails; the strict mode adds its own.
enum Code : int {
    Ok = 0,
    ShortLine = -1,
    NoStartMark = -2,
    BadCount = -3,
    BadOffset = -4,
    BadType = -5,
    BadData = -6,
    BadRecord = -7,
    BadChecksum = -8,
    BadLength = -9,
    Overlap = -10,
    NoEndRecord = -11,
    AfterEnd = -12,
    AddressOverflow = -13,
    CannotOpen = -14,
};

// Device addresses [low, high] are stored at destination[address - low].
struct Region
{
    uint32_t low = 0;
    uint32_t high = 0;
    unsigned char *destination = nullptr;
};

struct Range
{
    uint32_t first = 0;
    uint32_t last = 0;
};

struct Result
{
    int code = Ok;
    // Line of the failure, from 1; 0 when the reader did not fail.
    int line = 0;
    // What failed, in words (empty on success).
    QString reason;
    bool endRecord = false;
    // Data bytes stored into each region (strict: distinct addresses).
    std::vector<uint64_t> stored;
    // Strict only: data bytes outside every region and where they lie.
    uint64_t outsideBytes = 0;
    std::vector<Range> outside;

    bool ok() const { return code == Ok; }
};

// The longest strict record: ':', then count, address, type, 255 data
// bytes and the checksum as hexadecimal digit pairs (521 characters).
constexpr size_t longestRecord = 1 + 2 * (1 + 2 + 1 + 255 + 1);

class Reader
{
public:
    Reader(Mode mode, std::vector<Region> regions);

    // The next piece of the text; pieces may split lines anywhere.
    void feed(const char *data, size_t size);
    // The text has ended.
    Result finish();
    // Nothing more will be read (failure or, in the window's mode, the
    // end-of-file record); feeding on is harmless.
    bool done() const { return stopped; }

private:
    void windowByte(const char *data, size_t size, size_t &i);
    void strictByte(char c);
    void record(const char *line, size_t length);
    void windowRecord(const char *line, size_t length);
    void strictRecord(const char *line, size_t length);
    void store(uint32_t address, unsigned char byte);
    void storeOutside(uint32_t address, unsigned char byte);
    void fail(int code, const QString &reason);

    Mode mode;
    std::vector<Region> regions;
    std::vector<std::vector<uint8_t>> written; // strict: one bit per region byte
    std::map<uint32_t, uint32_t> outside; // strict: first -> last, merged
    // Strict: the bytes outside every region, in 16-byte chunks made on
    // first use, so that a byte given twice is compared there too. Small
    // chunks keep the memory within a few times the file's size whether the
    // data is contiguous or scattered one byte per record (larger pages
    // would let a 16 MB file of scattered bytes take gigabytes).
    struct Chunk
    {
        uint16_t written = 0;
        unsigned char value[16];
    };
    std::unordered_map<uint32_t, Chunk> outsideBytes;
    Result result;
    // Line being assembled; a longer line than a record can be is cut and
    // flagged, never stored past the end.
    char line[longestRecord];
    size_t length = 0;
    bool fullLinePending = false; // window: a 63-byte read without line end
    bool lastWasCr = false; // strict: a CR ended the last line
    bool lastWasLf = false; // strict: an LF ended the last line
    bool overlong = false; // strict: the line outgrew the buffer
    int lines = 0;
    bool stopped = false;
    // Address state: upper (type 04) or segment base (type 02).
    uint32_t base = 0;
    bool segmented = false;
    // Strict: the last value of each kind of address record, to refuse data
    // whose place tools disagree on (some add the two, some take the last).
    uint32_t segmentValue = 0;
    uint32_t linearValue = 0;
};

// The whole text in one piece.
Result read(const QByteArray &text, Mode mode, std::vector<Region> regions);
// The largest build read: a whole megabyte of flash written as records of
// eight data bytes takes under 4 MB of text; anything past this is not a
// build (or never ends, as /dev/zero does) and is refused once this much
// has been read.
constexpr qint64 largestBuild = 32 * 1024 * 1024;

// The file in chunks (kelto::input). A file that cannot be opened reads as
// empty in the window's mode and fails with CannotOpen (and the system's
// reason) in the strict mode; a file larger than largestBuild fails with
// CannotOpen in both.
Result readFile(const QString &path, Mode mode, std::vector<Region> regions);

// "0x08004000-0x0803FFFF, ..." of at most `shown` ranges.
QString describe(const std::vector<Range> &ranges, int shown = 8);

} // namespace kelto::hex

#endif

#ifndef KELTO_TOOLS_HEXWRITER_H
#define KELTO_TOOLS_HEXWRITER_H

#include <QByteArray>

#include <cstdint>

namespace kelto::hexgen {

// Writes Intel HEX text: data records of at most recordSize bytes that never
// cross a 64 KiB segment, an extended linear address record whenever the
// segment changes, correct checksums.
class HexWriter
{
public:
    explicit HexWriter(int recordSize = 16, const QByteArray &lineEnd = "\r\n");

    void data(uint32_t address, const QByteArray &bytes);
    // Type 05; the converter ignores it, builds carry it all the same.
    void startLinear(uint32_t entry);
    // Type 04 even if the segment did not change.
    void segment(uint16_t upper);
    void end();
    // Applies to the data records written from now on.
    void setRecordSize(int size) { recordSize = size; }
    // A line as it is, for malformed input in tests.
    void raw(const QByteArray &line);

    const QByteArray &text() const { return out; }

private:
    void record(uint8_t type, uint16_t offset, const QByteArray &payload);

    int recordSize;
    QByteArray lineEnd;
    QByteArray out;
    int64_t upper = -1;
};

} // namespace kelto::hexgen

#endif

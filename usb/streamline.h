#ifndef KELTO_USB_STREAMLINE_H
#define KELTO_USB_STREAMLINE_H

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace kelto {

// A debug line written as a stream of items, each followed by one blank
// ("bus: " and an address give "bus:  0x55d0c2 "). Qt 6's QDebug would drop
// the final blank, and the trace format keeps it, so the line is built here
// and handed to qDebug whole when the object goes out of scope.
class StreamLine
{
public:
    StreamLine() = default;
    StreamLine(const StreamLine &) = delete;
    StreamLine &operator=(const StreamLine &) = delete;
    ~StreamLine();

    StreamLine &operator<<(const char *text);
    StreamLine &operator<<(const QString &text);
    StreamLine &operator<<(const QByteArray &text);
    StreamLine &operator<<(long long value);
    StreamLine &operator<<(int value) { return *this << static_cast<long long>(value); }
    StreamLine &operator<<(unsigned value) { return *this << static_cast<long long>(value); }
    // An address: 0x and lower-case hexadecimal digits.
    StreamLine &operator<<(const void *pointer);

    // A number in lower-case hexadecimal without prefix.
    struct Hex
    {
        uint64_t value;
    };
    StreamLine &operator<<(Hex value);

private:
    QByteArray line;
};

inline StreamLine::Hex hex(uint64_t value)
{
    return StreamLine::Hex {value};
}

} // namespace kelto

#endif

#include "streamline.h"

#include <QDebug>

namespace kelto {

StreamLine::~StreamLine()
{
    qDebug("%s", line.constData());
}

StreamLine &StreamLine::operator<<(const char *text)
{
    line += text;
    line += ' ';
    return *this;
}

StreamLine &StreamLine::operator<<(const QString &text)
{
    line += text.toLocal8Bit();
    line += ' ';
    return *this;
}

StreamLine &StreamLine::operator<<(const QByteArray &text)
{
    line += text;
    line += ' ';
    return *this;
}

StreamLine &StreamLine::operator<<(long long value)
{
    line += QByteArray::number(value);
    line += ' ';
    return *this;
}

StreamLine &StreamLine::operator<<(const void *pointer)
{
    line += "0x";
    line += QByteArray::number(static_cast<qulonglong>(reinterpret_cast<quintptr>(pointer)), 16);
    line += ' ';
    return *this;
}

StreamLine &StreamLine::operator<<(Hex value)
{
    line += QByteArray::number(static_cast<qulonglong>(value.value), 16);
    line += ' ';
    return *this;
}

} // namespace kelto

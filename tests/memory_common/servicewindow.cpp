#include "servicewindow.h"

#include "darvo_bootloader.h"
#include "delay.h"
#include "dumpbuffer.h"
#include "emulator.h"

#include <QProgressBar>
#include <QTextBrowser>

namespace kelto::test {

ServiceWindow::ServiceWindow()
{
    kelto::emu::reset();
    kelto::setSleepFunction(kelto::emu::virtualSleep);
    w = std::make_unique<Darvo_bootloader>();
}

ServiceWindow::~ServiceWindow() = default;

QTextBrowser *ServiceWindow::txt() const
{
    return w->findChild<QTextBrowser *>("txt");
}

QStringList ServiceWindow::txtLines() const
{
    return txt()->toPlainText().split('\n');
}

QProgressBar *ServiceWindow::bar(const char *name) const
{
    return w->findChild<QProgressBar *>(name);
}

QStringList dumpRows(const QString &text)
{
    QStringList rows;
    for (const QString &line : text.split('\n')) {
        if (line.startsWith("0x"))
            rows << line;
    }
    return rows;
}

QStringList dumpRows(const std::vector<unsigned char> &bytes)
{
    return dumpRows(QString::fromLatin1(dumpBuffer(bytes.data(), static_cast<int>(bytes.size()))));
}

std::vector<unsigned char> counting(std::size_t length, unsigned seed)
{
    std::vector<unsigned char> bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>((i * 7 + seed + i / 251) & 0xFF);
    return bytes;
}

} // namespace kelto::test

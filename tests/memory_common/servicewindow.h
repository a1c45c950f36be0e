#ifndef KELTO_TESTS_SERVICEWINDOW_H
#define KELTO_TESTS_SERVICEWINDOW_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <memory>
#include <vector>

class Darvo_bootloader;
class QProgressBar;
class QTextBrowser;

namespace kelto::test {

// A fresh window on a freshly reset emulated converter (one device in
// application mode, virtual clock, empty transfer log).
class ServiceWindow
{
public:
    ServiceWindow();
    ~ServiceWindow();
    ServiceWindow(const ServiceWindow &) = delete;
    ServiceWindow &operator=(const ServiceWindow &) = delete;

    Darvo_bootloader &window() { return *w; }
    QTextBrowser *txt() const;
    // The log view's text, one entry per line.
    QStringList txtLines() const;
    QProgressBar *bar(const char *name) const;

private:
    std::unique_ptr<Darvo_bootloader> w;
};

// The data rows of a dump text ("0x0000: ..."), without its header line,
// whose buffer address differs from run to run.
QStringList dumpRows(const QString &text);
QStringList dumpRows(const std::vector<unsigned char> &bytes);

// Byte patterns used by several tests.
std::vector<unsigned char> counting(std::size_t length, unsigned seed = 0);

} // namespace kelto::test

#endif

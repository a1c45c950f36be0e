// kelto-bench-upgrade FILE: one firmware change by the Upgrader through the
// system's libusb-0.1, as the programs make it; prints its duration in
// milliseconds. Run under kelto-testbed by bench_upgrade, so that the
// usbfs figures compare the same procedure as the in-process ones.
#include "upgrader.h"
#include "usbmirel.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <cstdio>

namespace {

void discardDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    qInstallMessageHandler(discardDebug);
    USBMIREL device;
    Upgrader upgrader(&device);
    std::atomic<bool> verified {false};
    std::atomic<bool> failed {false};
    QObject::connect(&upgrader, &Upgrader::sendText, [&](const QString &s) {
        verified = verified || s == "Verify External Flash ...  ";
        failed = failed || s == "ERROR" || s == "Error";
    });
    QElapsedTimer clock;
    clock.start();
    upgrader.slotSetFileName(QString::fromLocal8Bit(argv[1]));
    upgrader.start();
    upgrader.wait();
    std::printf("%lld\n", static_cast<long long>(clock.elapsed()));
    return verified && !failed ? 0 : 1;
}

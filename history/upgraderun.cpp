#include "upgraderun.h"

#include "outcomerecord.h"
#include "upgrader.h"

#include <QFileInfo>

namespace kelto::history {

UpgradeRun::UpgradeRun(const QString &location, const QString &tool, const UpgradeStart &start)
    : file(start.file)
{
    QString error;
    const std::optional<Location> where = parseLocation(location, &error);
    if (!where) {
        problem_ = error;
        return;
    }
    store = std::make_unique<Store>(*where);
    if (store->isOpen())
        id = store->beginUpgrade(start, Origin::current(tool));
    if (!id)
        problem_ = store->error();
}

UpgradeRun::~UpgradeRun() = default;

bool UpgradeRun::finish(const QJsonObject &record, bool success, const QString &serial)
{
    if (!id)
        return false;
    QJsonObject named = record;
    named["file"] = file;
    if (store->finishUpgrade(*id, named, success, serial))
        return true;
    problem_ = store->error();
    return false;
}

QString recordWindowRun(Upgrader *upgrader, const QString &fileName)
{
    UpgradeStart start;
    start.file = QFileInfo(fileName).absoluteFilePath();
    start.fileSha256 = fileSha256(fileName);
    auto run = std::make_shared<UpgradeRun>(
        chosenLocation(), QStringLiteral("kelto " KELTO_VERSION), start);
    if (!run->recording())
        return run->problem();
    // Completed in this thread, once, whatever the window does meanwhile;
    // a context object ties the connection's life to that one call.
    auto *context = new QObject;
    QObject::connect(upgrader, &QThread::finished, context, [upgrader, run, context] {
        const kelto::upgrade::Outcome outcome = upgrader->outcome();
        const QJsonObject record = kelto::upgrade::outcomeRecord(outcome, QString());
        if (!run->finish(record, outcome.success, outcome.unitSerial()))
            qWarning("%s", qPrintable(run->problem()));
        QObject::disconnect(upgrader, nullptr, context, nullptr);
        context->deleteLater();
    });
    QObject::connect(upgrader, &QObject::destroyed, context, &QObject::deleteLater);
    return QString();
}

} // namespace kelto::history

#ifndef KELTO_CLI_INSPECTION_H
#define KELTO_CLI_INSPECTION_H

#include "upgradefile.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

namespace kelto::cli {

// What an upgrade file holds, read by the same reader the upgrade uses.
struct Inspection
{
    struct Section
    {
        QString name;
        uint32_t address = 0; // device address of the section's first byte
        uint32_t size = 0;
        // Bytes from the section's start to its last non-zero byte, the
        // checksum word not counted; 0 when the section is empty.
        uint32_t dataSize = 0;
        // The upgrade writes this section into the device.
        bool written = false;
    };

    // Something the upgrade would take but regret.
    struct Finding
    {
        QString code; // "checksum-a", "checksum-b", "foreign-brand", "bytes-after-image",
                      // "empty-application"
        QString text;
    };

    QString path;
    bool opened = false;
    QString openError; // the system's reason when not opened
    qint64 fileSize = 0;
    upgradefile::ReadStatus status = upgradefile::ReadStatus::WrongHeader;
    // The texts as stored; empty when they could not be read.
    QString header;
    QString version;
    // Length field of the image block; -1 when the stream ends before it.
    qint64 imageLength = -1;
    // Only meaningful when status is Ok.
    uint16_t brand = 0;
    uint32_t storedChecksumA = 0;
    uint32_t computedChecksumA = 0;
    uint32_t storedChecksumB = 0;
    uint32_t computedChecksumB = 0;
    QVector<Section> sections;
    QVector<Finding> findings;

    bool accepted() const { return opened && status == upgradefile::ReadStatus::Ok; }
    bool checksumsMatch() const
    {
        return storedChecksumA == computedChecksumA && storedChecksumB == computedChecksumB;
    }
    // The upgrade would take the file and nothing is wrong with it.
    bool sound() const { return accepted() && findings.isEmpty(); }
};

Inspection inspectFile(const QString &path);

// "0x" and eight lower-case hexadecimal digits.
QString hex32(uint32_t value);

} // namespace kelto::cli

#endif

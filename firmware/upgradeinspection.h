#ifndef KELTO_FIRMWARE_UPGRADEINSPECTION_H
#define KELTO_FIRMWARE_UPGRADEINSPECTION_H

#include "upgradefile.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

namespace kelto::upgradefile {

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
        // Offset of its first non-zero byte (meaningful when dataSize > 0).
        uint32_t dataStart = 0;
        // The upgrade writes this section into the device.
        bool written = false;
    };

    // Something the upgrade would take but regret.
    struct Finding
    {
        QString code; // "checksum-a", "checksum-b", "foreign-brand", "bytes-after-image",
                      // "empty-application", "data-not-written"
        QString text;
    };

    QString path;
    bool opened = false;
    QString openError; // what failed and why when not opened
    // The file's size; for a pipe or a device, the bytes read of it (at
    // most one more than an upgrade file holds).
    qint64 fileSize = 0;
    // A pipe or device that went on past the size of an upgrade file.
    bool sizeUnknown = false;
    ReadStatus status = ReadStatus::WrongHeader;
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
    // SHA-256 of the bytes read, which are what an upgrade takes.
    QByteArray sha256;
    // The plain image (only when status is Ok); what an upgrade writes.
    QByteArray image;

    bool accepted() const { return opened && status == ReadStatus::Ok; }
    bool checksumsMatch() const
    {
        return storedChecksumA == computedChecksumA && storedChecksumB == computedChecksumB;
    }
    // The upgrade would take the file and nothing is wrong with it.
    bool sound() const { return accepted() && findings.isEmpty(); }
    // Why a file that is not accepted is refused, in words.
    QString refusal() const;
    // Every finding's text, joined.
    QString findingsText() const;
};

// The file's bytes as read (at most fileSize + 1 of them, kelto::input) and
// its size as the file system tells it, -1 when unknown (a pipe).
Inspection inspect(const QString &path, const QByteArray &bytes, qint64 size);
// Reads the file once and inspects it.
Inspection inspectFile(const QString &path);

// "0x" and eight lower-case hexadecimal digits.
QString hex32(uint32_t value);

} // namespace kelto::upgradefile

#endif

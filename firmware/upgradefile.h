#ifndef KELTO_FIRMWARE_UPGRADEFILE_H
#define KELTO_FIRMWARE_UPGRADEFILE_H

#include "hexreader.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QDataStream;
class QIODevice;

// The .upg file: a Qt data stream of a header text, a version text and the
// encoded flash image. Devices in the field decode it with their own copy of
// the key, so the layout must never change.
namespace kelto::upgradefile {

inline const QString headerText = QStringLiteral("Kelto Upgrade File Header");
inline const QString versionText = QStringLiteral("03");
// Every file is this long: 4 + 50 + 4 + 4 + 4 + the image.
constexpr qint64 fileSize = 393282;

// Result of building the plain image from a HEX build.
struct Build
{
    // HexToBin results of the application and the external flash pass.
    int applicationResult = 0;
    int externalResult = 0;
    // False when the application pass succeeded with a foreign brand code;
    // the external pass and the checksums are then not done.
    bool brandAccepted = true;
};

// A zero-filled image of kelto::flash::imageSize bytes.
QByteArray blankImage();

// The application pass; the brand is only meaningful when this returns 0.
int convertApplication(const QString &hexFile, QByteArray &image);
int convertExternal(const QString &hexFile, QByteArray &image);
bool brandAccepted(const QByteArray &image);

// Both passes, brand check and checksums over a blank image, in the order
// the window's command runs them.
Build buildImage(const QString &hexFile, QByteArray &image);

// The strict reading of a build: both windows in one pass over a blank
// image. The caller checks the result, the application's data and the brand,
// then stores the checksums.
hex::Result convertStrict(const QString &hexFile, QByteArray &image);

// Encodes the plain image in place and writes the whole file to `out`.
// Returns 0, or -1 when the device reports a write failure.
int write(QIODevice &out, QByteArray &image);
// write() into the file at `path`, which is replaced only once the whole
// file is written (kelto::output); 0, or -1 with the reason in `error` when
// it is refused, cannot be opened or written.
int writeFile(const QString &path, QByteArray &image, QString *error = nullptr,
    const QStringList &inputs = {});

enum class ReadStatus { Ok, WrongHeader, WrongVersion, ShortImage };

// Reads header and version texts from the start of the stream.
ReadStatus readHeader(QDataStream &in);
// Reads the image block after the texts and decodes its first imageSize
// bytes into `image`; blocks shorter than that are refused.
ReadStatus readImage(QDataStream &in, QByteArray &image);
// Both of the above over a whole file.
ReadStatus read(QIODevice &in, QByteArray &image);

} // namespace kelto::upgradefile

#endif

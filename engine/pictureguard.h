#ifndef PICTUREGUARD_H
#define PICTUREGUARD_H

#include <QByteArray>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// Tells what a picture file is from its content, and checks it before any decoder sees it, for
// what that decoder would handle unsafely: lengths that make it allocate far more than the file
// holds, and data it would decode from memory the file does not fill.
namespace PictureGuard {

enum class Kind {
    Png, // for our own PNG decoder
    Bmp, // for Qt's BMP reader, into a cleared picture
    Other, // for the Qt reader named by format
    Unsupported, // a picture format whose reader is not trusted with hostile files
    Unreadable,
    TooLarge
};

struct Verdict
{
    Kind kind = Kind::Unreadable;
    // Qt's name of the reader for an Other file.
    QByteArray format;
    // Where the PNG data lies: the whole file, or the picture inside an icon.
    qint64 pngStart = 0;
    qint64 pngSize = -1;
};

// The formats that are read, by the names users know them by.
QStringList readableFormats();

// What the file in device is, by its content, or why it must not be decoded. Pictures with a
// side longer than maxSide are TooLarge. Leaves the device at an unspecified position.
Verdict check(QIODevice *device, int maxSide);

} // namespace PictureGuard

#endif // PICTUREGUARD_H

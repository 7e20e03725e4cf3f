#ifndef PICTUREGUARD_H
#define PICTUREGUARD_H

#include <QtGlobal>

struct PictureFormat;

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// Tells what a picture file is from its content, and checks it before any decoder sees it, for
// what that decoder would handle unsafely: lengths that make it allocate far more than the file
// holds, and data it would decode from memory the file does not fill.
namespace PictureGuard {

enum class Outcome {
    Decodable, // by the decoder its format names
    Unsupported, // a picture format that is not read: its reader is not trusted with hostile files
    Unreadable,
    TooLarge
};

struct Verdict
{
    Outcome outcome = Outcome::Unreadable;
    // What the file is, when it is Decodable.
    const PictureFormat *format = nullptr;
    // Where the PNG picture inside an icon lies, which is decoded as a PNG; size 0 if none.
    qint64 pngStart = 0;
    qint64 pngSize = 0;
};

// What the file in device is, by its content, or why it must not be decoded. Pictures with a
// side longer than maxSide are TooLarge. Leaves the device at an unspecified position.
Verdict check(QIODevice *device, int maxSide);

} // namespace PictureGuard

#endif // PICTUREGUARD_H

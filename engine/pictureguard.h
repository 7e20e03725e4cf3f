#ifndef PICTUREGUARD_H
#define PICTUREGUARD_H

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// Checks a picture file before Qt's reader sees it, for what that reader would handle unsafely:
// lengths that make it allocate far more than the file holds, and BMP headers it would decode
// from data the file does not have.
namespace PictureGuard {

enum class Verdict { Png, Bmp, Unreadable, TooLarge };

// What the file in device is, by its content, or why it must not be decoded. Pictures with a
// side longer than maxSide are TooLarge. Leaves the device at an unspecified position.
Verdict check(QIODevice *device, int maxSide);

} // namespace PictureGuard

#endif // PICTUREGUARD_H

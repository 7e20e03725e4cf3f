#ifndef PNGREADER_H
#define PNGREADER_H

#include <QImage>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// Decodes PNG files with libpng into the 32-bit pictures the engine works on. Qt's own PNG reader
// fills some valid files partly from leftover memory and inflates every text chunk; this one reads
// only the chunks that decide the pixels, and gives the pixels Qt gives wherever Qt is right.
namespace PngReader {

enum class Result { Read, Unreadable, TooLarge };

// Reads the PNG file in device, from its start, into image as RGB32, or ARGB32 where the file has
// transparency. Pictures with a side longer than maxSide are TooLarge. Leaves image unchanged
// unless the whole file up to its end chunk was read.
Result read(QIODevice *device, int maxSide, QImage *image);

} // namespace PngReader

#endif // PNGREADER_H

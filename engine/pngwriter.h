#ifndef PNGWRITER_H
#define PNGWRITER_H

#include <QByteArray>

QT_BEGIN_NAMESPACE
class QIODevice;
class QImage;
QT_END_NAMESPACE

// Writes pictures as 8-bit RGB or RGBA PNG files, faster than Qt's writer and never larger, and
// carries over the ancillary chunks of a source PNG that still describe the written pixels.
namespace PngWriter {

// Larger metadata is not carried over: no real picture needs it and it would all sit in memory.
constexpr qint64 maxKeptChunkBytes = 16 * 1024 * 1024;

// The chunks of the PNG file in device that still hold for the picture once it is written back as
// 8-bit RGB or RGBA (colour, pixel size, text, Exif), each whole with its length and CRC, in file
// order. Empty for a file that is not a PNG. Reading stops at the first malformed chunk.
QByteArray readKeptChunks(QIODevice *device);

// Writes image as a PNG file to device, with extraChunks (whole chunks) placed before the pixel
// data. Pictures with an alpha channel are written as RGBA, others as RGB.
bool write(const QImage &image, const QByteArray &extraChunks, QIODevice *device);

} // namespace PngWriter

#endif // PNGWRITER_H

#ifndef PNGWRITER_H
#define PNGWRITER_H

#include <QByteArray>
#include <QImage>
#include <QSize>

#include <cstddef>
#include <utility>
#include <vector>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// Writes pictures as 8-bit RGB or RGBA PNG files, faster than Qt's writer and never larger, and
// carries over the ancillary chunks of a source PNG that still describe the written pixels.
namespace PngWriter {

// Larger metadata is not carried over: no real picture needs it and it would all sit in memory.
constexpr qint64 maxKeptChunkBytes = 16 * 1024 * 1024;

// The eight bytes every PNG file starts with.
constexpr char signature[] = "\x89PNG\r\n\x1a\n";
constexpr int signatureSize = 8;

// The chunks of the PNG file in device that still hold for the picture once it is written back as
// 8-bit RGB or RGBA (colour and pixel size from before the pixel data, an ICC profile only if it
// describes RGB; text, Exif), each whole with its length and CRC, in file order. Only chunks that
// are well formed for their type are kept, and only the first of each that a file may hold once.
// Empty for a file that is not a PNG. Reading stops at the first chunk with a wrong checksum or
// a length past the end of the file.
QByteArray readKeptChunks(QIODevice *device);

// The picture as RGB32, or as ARGB32 where it has an alpha channel: the formats written, and the
// only ones that keep every 8-bit channel value exactly. Shares the pixels when the picture is
// already in one of them; null if the conversion fails.
QImage to32Bit(const QImage &image);

// Writes image as a PNG file to device, with extraChunks (whole chunks) placed before the pixel
// data. Pictures with an alpha channel are written as RGBA, others as RGB.
bool write(const QImage &image, const QByteArray &extraChunks, QIODevice *device);

// The same for a picture of that size, RGBA if alpha is set and RGB otherwise, with the zlib
// stream of its filtered rows already made (see Splice), given as pieces that follow one another.
bool writeStream(QSize size, bool alpha, const QByteArray &extraChunks,
                 const std::vector<std::pair<const uchar *, size_t>> &stream, QIODevice *device);

} // namespace PngWriter

#endif // PNGWRITER_H

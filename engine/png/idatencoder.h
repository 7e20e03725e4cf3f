#ifndef IDATENCODER_H
#define IDATENCODER_H

#include <QtGlobal>

#include <cstddef>
#include <functional>

struct QtEstimate;

QT_BEGIN_NAMESPACE
class QImage;
QT_END_NAMESPACE

// Filters a picture's rows and compresses them into the zlib stream that a PNG's IDAT chunks
// carry, with the fastest compressor that keeps the stream no larger than Qt's writer makes it.
// The same picture always gives the same bytes.
namespace IdatEncoder {

// Receives the stream in pieces, each to become one IDAT chunk.
using Sink = std::function<bool(const uchar *data, quint32 size)>;

// Compresses image, which must be RGB32 or ARGB32, as 8-bit RGBA rows if alpha is set and RGB
// rows otherwise.
bool encode(const QImage &image, bool alpha, const Sink &sink);

// Receives raw deflate data in pieces of any size.
using DeflateOutput = std::function<bool(const uchar *data, size_t size)>;

// Compresses the first rows of image with the compressor encode() would choose into raw deflate
// data that ends on a byte boundary without a final block, so that more of the stream can follow.
// The Adler-32 of the filtered rows is accumulated into checksum. image may hold only the first
// rows of a picture of pictureHeight rows (see CompressorChoice::choose). Nothing is compressed,
// and false returned, unless accept takes what the choice measured Qt's writer against.
bool encodeHead(const QImage &image, bool alpha, int rows, int pictureHeight,
                const std::function<bool(const QtEstimate &)> &accept, const DeflateOutput &out,
                unsigned long *checksum);

} // namespace IdatEncoder

#endif // IDATENCODER_H

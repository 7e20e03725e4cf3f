#ifndef IDATENCODER_H
#define IDATENCODER_H

#include <QImage>

#include <functional>

// Filters a picture's rows and compresses them into the zlib stream that a PNG's IDAT chunks
// carry, with the fastest compressor that keeps the stream no larger than Qt's writer makes it.
namespace IdatEncoder {

// In the order of their speed on photographs, fastest first.
enum class Compressor { Chosen, HuffmanOnly, Rle, Libdeflate6, Libdeflate7, Zlib6 };

// Receives the stream in pieces, each to become one IDAT chunk.
using Sink = std::function<bool(const uchar *data, quint32 size)>;

// libdeflate compresses whole buffers; it is given this many filtered bytes at a time, so that
// the encoder's memory stays small beside the picture's.
constexpr qint64 pieceBytes = 8 * 1024 * 1024;

// Compresses image, which must be RGB32 or ARGB32, as 8-bit RGBA rows if alpha is set and RGB
// rows otherwise. Chosen lets a sample of the picture decide; the others are for tests, as is
// a smaller piece size.
bool encode(const QImage &image, bool alpha, const Sink &sink,
            Compressor compressor = Compressor::Chosen, qint64 piece = pieceBytes);

} // namespace IdatEncoder

#endif // IDATENCODER_H

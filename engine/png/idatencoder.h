#ifndef IDATENCODER_H
#define IDATENCODER_H

#include <QtGlobal>

#include <functional>

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

} // namespace IdatEncoder

#endif // IDATENCODER_H

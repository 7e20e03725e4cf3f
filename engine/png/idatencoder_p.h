#ifndef IDATENCODER_P_H
#define IDATENCODER_P_H

// Not part of the writer's interface: the seams its tests use.

#include "compressorchoice.h"
#include "idatencoder.h"

namespace IdatEncoder {

// libdeflate compresses whole buffers; it is given this many filtered bytes at a time, so that
// the encoder's memory stays small beside the picture's.
constexpr qint64 pieceBytes = 8 * 1024 * 1024;

// encode() with the given compressor instead of the one a sample chooses (Chosen), and pieces of
// piece bytes for libdeflate.
bool encode(const QImage &image, bool alpha, const Sink &sink, Compressor compressor,
            qint64 piece = pieceBytes);

} // namespace IdatEncoder

#endif // IDATENCODER_P_H

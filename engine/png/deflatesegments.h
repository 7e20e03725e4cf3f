#ifndef DEFLATESEGMENTS_H
#define DEFLATESEGMENTS_H

#include <QtGlobal>

#include <zlib.h>

#include <cstddef>
#include <functional>

class RowFilter;
struct CompressionPlan;

// Compresses a run of a picture's rows into raw deflate data that can be joined to the data of
// the runs before and after it into one stream: unless it ends the stream, a segment ends on a
// byte boundary without a final block, as after zlib's sync flush. This is what lets the two
// halves of a picture be compressed on two threads.
namespace DeflateSegments {

// Receives a segment's data in order, in pieces of any size.
using Output = std::function<bool(const uchar *data, size_t size)>;

// How many rows above row first deflate's 32 KiB window holds, whole or in part.
int windowRows(qint64 filteredRowBytes, int first);

// Compresses the rows first to end - 1 that filter produces with zlib's strategy, and the rows
// above them as its dictionary, so that matches may reach back as in a single stream. The last
// segment of the stream ends with its final block. The Adler-32 of the filtered rows is
// accumulated into checksum.
bool zlib(RowFilter &filter, int first, int end, bool last, int strategy, const Output &out,
          uLong *checksum);

// The same with libdeflate, in pieces of pieceRows rows, each at the level plan gives its number;
// the segment's first piece is numbered as if pieces ran from row 0 up to it. libdeflate has no
// dictionary, so matches do not reach across pieces.
bool libdeflate(RowFilter &filter, int first, int end, bool last, const CompressionPlan &plan,
                int pieceRows, const Output &out, uLong *checksum);

} // namespace DeflateSegments

#endif // DEFLATESEGMENTS_H

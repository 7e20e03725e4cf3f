#include "deflatesegments.h"

#include "compressorchoice.h"
#include "deflatehandles.h"
#include "rowfilter.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

// Deflate looks back at most this far.
constexpr qint64 windowBytes = 32 * 1024;
// zlib is given rows in bands of about this many bytes: large enough to work efficiently, small
// enough that the writer needs little memory beside the picture.
constexpr qint64 bandBytes = 256 * 1024;
// zlib's output is handed on in pieces of this size.
constexpr uInt outputBytes = 256 * 1024;

// An empty stored block's length and its complement, after its three header bits.
const uchar emptyStoredBlock[] = {0x00, 0x00, 0xFF, 0xFF};
// What reopen() may append.
constexpr size_t reopenBytes = 1 + sizeof(emptyStoredBlock);

bool primeWithRowsAbove(RowFilter &filter, int first, z_stream *stream)
{
    const qint64 rowBytes = filter.filteredRowBytes();
    const int rows = DeflateSegments::windowRows(rowBytes, first);
    std::vector<uchar> above(size_t(rowBytes * rows));
    filter.filterRows(first - rows, rows, above.data());
    const uInt size = uInt(qMin(windowBytes, qint64(above.size())));
    return deflateSetDictionary(stream, above.data() + above.size() - size, size) == Z_OK;
}

// libdeflate always ends its data with the stream's final block. Data that is not the last is
// reopened: the final flag of its last block is cleared and an empty stored block brings its end
// to a byte boundary, as zlib's sync flush does. Both places are known to the bit only by decoding
// the data, which zlib does, stopping at each block boundary. data must have room for reopenBytes
// more bytes.
bool reopen(uchar *data, size_t *size)
{
    ZlibInflater inflater;
    if (!inflater.isValid())
        return false;
    z_stream *stream = inflater.get();
    std::vector<uchar> scratch(outputBytes);
    stream->next_in = data;
    stream->avail_in = uInt(*size);
    qint64 lastBlock = 0;
    qint64 end = -1;
    while (end < 0) {
        stream->next_out = scratch.data();
        stream->avail_out = uInt(scratch.size());
        if (inflate(stream, Z_BLOCK) != Z_OK)
            break;
        // data_type: the bits taken from the input but not yet used, plus 64 in the last block,
        // plus 128 at a block boundary.
        const qint64 position = qint64(stream->total_in) * 8 - (stream->data_type & 63);
        if (stream->data_type & 128) {
            if (stream->data_type & 64)
                end = position;
            else
                lastBlock = position;
        }
    }
    if (end < 0 || (end + 7) / 8 != qint64(*size))
        return false;
    // Deflate packs bits from the least significant; a block's first bit is its final flag.
    data[lastBlock / 8] &= uchar(~(1u << (lastBlock % 8)));
    const int unusedBits = int(qint64(*size) * 8 - end);
    data[*size - 1] &= uchar((1u << (8 - unusedBits)) - 1);
    // The stored block's header is three zero bits, in the unused bits or in a byte of its own.
    if (unusedBits < 3)
        data[(*size)++] = 0;
    std::memcpy(data + *size, emptyStoredBlock, sizeof(emptyStoredBlock));
    *size += sizeof(emptyStoredBlock);
    return true;
}

} // namespace

int DeflateSegments::windowRows(qint64 filteredRowBytes, int first)
{
    return int(qMin(qint64(first), (windowBytes + filteredRowBytes - 1) / filteredRowBytes));
}

bool DeflateSegments::zlib(RowFilter &filter, int first, int end, bool last, int strategy,
                           const Output &out, uLong *checksum)
{
    ZlibDeflater deflater(strategy, -15);
    if (!deflater.isValid())
        return false;
    z_stream *stream = deflater.get();
    if (first > 0 && !primeWithRowsAbove(filter, first, stream))
        return false;
    const qint64 rowBytes = filter.filteredRowBytes();
    const int bandRows = int(qBound(qint64(1), bandBytes / rowBytes, qint64(end - first)));
    std::vector<uchar> band(size_t(rowBytes * bandRows));
    std::vector<uchar> buffer(outputBytes);
    stream->next_out = buffer.data();
    stream->avail_out = outputBytes;
    filter.seek(first);
    for (int start = first; start < end; start += bandRows) {
        const int rows = qMin(bandRows, end - start);
        for (int row = 0; row < rows; ++row)
            filter.filterRow(start + row, band.data() + row * rowBytes);
        const uInt size = uInt(rowBytes * rows);
        *checksum = adler32(*checksum, band.data(), size);
        stream->next_in = band.data();
        stream->avail_in = size;
        const bool lastBand = start + rows >= end;
        const int flush = !lastBand ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            const int result = deflate(stream, flush);
            if (result == Z_STREAM_ERROR)
                return false;
            const bool full = stream->avail_out == 0;
            // zlib's rule: a flush is complete once it leaves output space unused.
            const bool done =
                    flush == Z_FINISH ? result == Z_STREAM_END : stream->avail_in == 0 && !full;
            const uInt produced = outputBytes - stream->avail_out;
            if ((full || (lastBand && done)) && produced > 0) {
                if (!out(buffer.data(), produced))
                    return false;
                stream->next_out = buffer.data();
                stream->avail_out = outputBytes;
            }
            if (done)
                break;
        }
    }
    return true;
}

bool DeflateSegments::libdeflate(RowFilter &filter, int first, int end, bool last,
                                 const CompressionPlan &plan, int pieceRows, const Output &out,
                                 uLong *checksum)
{
    // One compressor per level, made when first needed.
    LibdeflateCompressor compressors[2];
    std::vector<uchar> rows;
    int index = (first + pieceRows - 1) / pieceRows;
    for (int start = first; start < end; start += pieceRows, ++index) {
        const int count = qMin(pieceRows, end - start);
        const int level = plan.pieceLevel(index);
        LibdeflateCompressor &compressor = compressors[level == 6 ? 0 : 1];
        if (!compressor)
            compressor = newLibdeflateCompressor(level);
        if (!compressor)
            return false;
        rows.resize(size_t(filter.filteredRowBytes() * count));
        filter.filterRows(start, count, rows.data());
        *checksum = adler32(*checksum, rows.data(), uInt(rows.size()));
        const size_t bound = libdeflate_deflate_compress_bound(compressor.get(), rows.size());
        // Left uninitialised, so that only the pages written to take memory.
        const std::unique_ptr<uchar[]> data(new uchar[bound + reopenBytes]);
        size_t size = libdeflate_deflate_compress(compressor.get(), rows.data(), rows.size(),
                                                  data.get(), bound);
        const bool endsStream = last && start + count == end;
        if (size == 0 || (!endsStream && !reopen(data.get(), &size)) || !out(data.get(), size))
            return false;
    }
    return true;
}

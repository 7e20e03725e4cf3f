#include "idatencoder.h"

#include <QtEndian>

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

using IdatEncoder::Compressor;
using IdatEncoder::Sink;

namespace {

// Rows are filtered and compressed in bands of about this many bytes: large enough for zlib to
// work efficiently, small enough that the encoder needs little memory beside the picture.
constexpr qint64 bandBytes = 256 * 1024;
// Each IDAT chunk carries this much compressed data.
constexpr uInt idatBytes = 256 * 1024;
// Deflate looks back at most this far.
constexpr qint64 windowBytes = 32 * 1024;
// Pictures with more filtered bytes than this are compressed by two threads.
constexpr qint64 splitBytes = 1024 * 1024;
// The probe compresses this many bands of this size, spread over the picture: enough to notice a
// picture that is part photograph, part drawing.
constexpr int probeBands = 8;
constexpr qint64 probeBandBytes = 128 * 1024;
// The smallest piece for libdeflate when two levels are mixed.
constexpr qint64 mixedPieceBytes = 2 * 1024 * 1024;

enum FilterType { FilterNone, FilterSub, FilterUp, FilterAverage, FilterPaeth, filterTypeCount };

// How a row's filter is chosen among the five.
enum class Heuristic {
    // The smallest sum of absolute values, read as signed bytes: the usual rule, and Qt's.
    SmallestSum,
    // The fewest bits if each byte were coded by its frequency in the row: closer to what
    // deflate pays, and a few per cent smaller on some photographs and drawings.
    SmallestEntropy
};

// Turns picture rows into PNG's filtered rows (filter type byte, then the filtered bytes).
class RowFilter
{
public:
    RowFilter(const QImage &image, bool alpha, Heuristic heuristic)
        : image(image),
          bytesPerPixel(alpha ? 4 : 3),
          rowBytes(qint64(image.width()) * bytesPerPixel),
          heuristic(heuristic),
          current(size_t(rowBytes)),
          prior(size_t(rowBytes)),
          candidates(size_t(rowBytes) * filterTypeCount)
    {
        if (heuristic == Heuristic::SmallestEntropy) {
            countLogCount.resize(size_t(rowBytes) + 1);
            for (size_t count = 1; count < countLogCount.size(); ++count)
                countLogCount[count] = float(double(count) * std::log2(double(count)));
        }
    }

    qint64 filteredRowBytes() const { return rowBytes + 1; }

    // Prepares for filtering from row first on: the row above it is the first row's "prior".
    void seek(int first)
    {
        if (first == 0)
            std::fill(prior.begin(), prior.end(), uchar(0));
        else
            packRow(first - 1, prior.data());
    }

    // Writes the filtered row y, which must follow the row given to seek() or the last one
    // filtered, to out (filteredRowBytes() bytes).
    void filterRow(int y, uchar *out)
    {
        packRow(y, current.data());
        const uchar *row = current.data();
        const uchar *above = prior.data();
        const int bpp = bytesPerPixel;
        const qint64 size = rowBytes;
        uchar *none = candidates.data();
        uchar *sub = none + size;
        uchar *up = sub + size;
        uchar *average = up + size;
        uchar *paeth = average + size;
        std::memcpy(none, row, size_t(size));
        filterSub(row, size, bpp, sub);
        filterUp(row, above, size, up);
        filterAverage(row, above, size, bpp, average);
        filterPaeth(row, above, size, bpp, paeth);

        const int best =
                heuristic == Heuristic::SmallestSum ? smallestSumType() : smallestEntropyType();
        out[0] = uchar(best);
        std::memcpy(out + 1, none + best * size, size_t(size));
        current.swap(prior);
    }

    // Filters rows first to first + rows - 1 into out, one after the other.
    void filterRows(int first, int rows, uchar *out)
    {
        seek(first);
        for (int row = 0; row < rows; ++row)
            filterRow(first + row, out + row * filteredRowBytes());
    }

private:
    int smallestSumType() const
    {
        int best = FilterNone;
        quint64 bestSum = absoluteSum(candidates.data(), rowBytes);
        for (int type = FilterSub; type < filterTypeCount; ++type) {
            const quint64 sum = absoluteSum(candidates.data() + type * rowBytes, rowBytes);
            if (sum < bestSum) {
                bestSum = sum;
                best = type;
            }
        }
        return best;
    }

    // The row's coded size is n log n - sum of c log c over the byte counts c, so the filter with
    // the largest sum wins.
    int smallestEntropyType() const
    {
        int best = FilterNone;
        float bestSum = -1;
        for (int type = FilterNone; type < filterTypeCount; ++type) {
            const uchar *data = candidates.data() + type * rowBytes;
            // Four tables, so that a run of equal bytes, common in drawings, does not make each
            // count wait for the one before.
            quint32 counts[4][256] = {};
            qint64 i = 0;
            for (; i + 4 <= rowBytes; i += 4) {
                ++counts[0][data[i]];
                ++counts[1][data[i + 1]];
                ++counts[2][data[i + 2]];
                ++counts[3][data[i + 3]];
            }
            for (; i < rowBytes; ++i)
                ++counts[0][data[i]];
            float sum = 0;
            for (int value = 0; value < 256; ++value) {
                sum += countLogCount[counts[0][value] + counts[1][value] + counts[2][value] +
                                     counts[3][value]];
            }
            if (sum > bestSum) {
                bestSum = sum;
                best = type;
            }
        }
        return best;
    }

    // QImage holds 0xAARRGGBB values; PNG wants R, G, B (and A) bytes. RGB32's top byte is filler.
    void packRow(int y, uchar *__restrict out) const
    {
        const QRgb *__restrict pixels = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        const int width = image.width();
        if (bytesPerPixel == 4) {
            for (int x = 0; x < width; ++x) {
                const QRgb pixel = pixels[x];
                out[4 * x] = uchar(pixel >> 16);
                out[4 * x + 1] = uchar(pixel >> 8);
                out[4 * x + 2] = uchar(pixel);
                out[4 * x + 3] = uchar(pixel >> 24);
            }
        } else {
            for (int x = 0; x < width; ++x) {
                const QRgb pixel = pixels[x];
                out[3 * x] = uchar(pixel >> 16);
                out[3 * x + 1] = uchar(pixel >> 8);
                out[3 * x + 2] = uchar(pixel);
            }
        }
    }

    // The loops below are kept free of branches and aliasing so that the compiler vectorises
    // them; the first pixel of a row has no left neighbour and is handled apart.
    static void filterSub(const uchar *__restrict row, qint64 size, int bpp, uchar *__restrict out)
    {
        for (qint64 i = 0; i < bpp; ++i)
            out[i] = row[i];
        for (qint64 i = bpp; i < size; ++i)
            out[i] = uchar(row[i] - row[i - bpp]);
    }

    static void filterUp(const uchar *__restrict row, const uchar *__restrict above, qint64 size,
                         uchar *__restrict out)
    {
        for (qint64 i = 0; i < size; ++i)
            out[i] = uchar(row[i] - above[i]);
    }

    static void filterAverage(const uchar *__restrict row, const uchar *__restrict above,
                              qint64 size, int bpp, uchar *__restrict out)
    {
        for (qint64 i = 0; i < bpp; ++i)
            out[i] = uchar(row[i] - (above[i] >> 1));
        for (qint64 i = bpp; i < size; ++i)
            out[i] = uchar(row[i] - ((row[i - bpp] + above[i]) >> 1));
    }

    static void filterPaeth(const uchar *__restrict row, const uchar *__restrict above, qint64 size,
                            int bpp, uchar *__restrict out)
    {
        // Without a left neighbour the Paeth predictor is the byte above.
        for (qint64 i = 0; i < bpp; ++i)
            out[i] = uchar(row[i] - above[i]);
        for (qint64 i = bpp; i < size; ++i) {
            const int left = row[i - bpp];
            const int up = above[i];
            const int upLeft = above[i - bpp];
            // Distances of the estimate left + up - upLeft from each neighbour.
            const int toLeft = std::abs(up - upLeft);
            const int toUp = std::abs(left - upLeft);
            const int toUpLeft = std::abs(left + up - 2 * upLeft);
            const int predictor = (toLeft <= toUp && toLeft <= toUpLeft) ? left
                    : toUp <= toUpLeft                                   ? up
                                                                         : upLeft;
            out[i] = uchar(row[i] - predictor);
        }
    }

    static quint64 absoluteSum(const uchar *__restrict data, qint64 size)
    {
        quint64 sum = 0;
        for (qint64 i = 0; i < size; ++i)
            sum += uint(std::abs(int(static_cast<signed char>(data[i]))));
        return sum;
    }

    const QImage &image;
    const int bytesPerPixel;
    const qint64 rowBytes;
    const Heuristic heuristic;
    std::vector<uchar> current;
    std::vector<uchar> prior;
    std::vector<uchar> candidates;
    // count * log2(count) for every count a row can hold.
    std::vector<float> countLogCount;
};

// zlib with the parameters Qt's writer uses, so that the string matching strategy gives the same
// sizes; negative windowBits make a raw deflate stream without the zlib wrapper.
bool startDeflate(z_stream *stream, int strategy, int windowBits = 15)
{
    *stream = {};
    return deflateInit2(stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, strategy) == Z_OK;
}

int rowsPerBand(const RowFilter &filter, qint64 bytes)
{
    return int(qBound(qint64(1), bytes / filter.filteredRowBytes(), qint64(INT_MAX)));
}

qint64 filteredRowBytes(const QImage &image, bool alpha)
{
    return qint64(image.width()) * (alpha ? 4 : 3) + 1;
}

bool worthSplitting(const QImage &image, bool alpha)
{
    const qint64 filteredBytes = filteredRowBytes(image, alpha) * image.height();
    return filteredBytes >= splitBytes && image.height() >= 2 &&
            std::thread::hardware_concurrency() >= 2;
}

bool isLibdeflate(Compressor compressor)
{
    return compressor == Compressor::Libdeflate6 || compressor == Compressor::Libdeflate7;
}

int zlibStrategy(Compressor compressor)
{
    switch (compressor) {
    case Compressor::HuffmanOnly:
        return Z_HUFFMAN_ONLY;
    case Compressor::Rle:
        return Z_RLE;
    default:
        return Z_FILTERED;
    }
}

struct FreeCompressor
{
    void operator()(libdeflate_compressor *compressor) const
    {
        libdeflate_free_compressor(compressor);
    }
};
using LibdeflateCompressor = std::unique_ptr<libdeflate_compressor, FreeCompressor>;

LibdeflateCompressor startLibdeflate(Compressor compressor)
{
    return LibdeflateCompressor(
            libdeflate_alloc_compressor(compressor == Compressor::Libdeflate6 ? 6 : 7));
}

// How the picture is compressed: by one compressor, or, for Libdeflate7, with libdeflate 6 on a
// share of the pieces spread over the picture.
struct Plan
{
    Compressor compressor;
    double level6Share = 0;
};

// Runs second on another thread while first runs on this one, or after first where no thread
// can be started.
void runBoth(const std::function<void()> &first, const std::function<void()> &second)
{
    std::thread worker;
    try {
        worker = std::thread(second);
    } catch (const std::system_error &) {
        first();
        second();
        return;
    }
    first();
    worker.join();
}

// Size of the stream that compresses data from offset on with compressor, or -1 on failure. zlib is
// given the bytes before offset as its dictionary, as if the data were part of a longer stream;
// libdeflate has no dictionary, which only makes it look a little worse than it is.
qint64 compressedSize(const std::vector<uchar> &data, size_t offset, Compressor compressor)
{
    const uchar *input = data.data() + offset;
    const size_t size = data.size() - offset;
    if (isLibdeflate(compressor)) {
        const LibdeflateCompressor deflater = startLibdeflate(compressor);
        if (!deflater)
            return -1;
        std::vector<uchar> out(libdeflate_deflate_compress_bound(deflater.get(), size));
        const size_t written =
                libdeflate_deflate_compress(deflater.get(), input, size, out.data(), out.size());
        return written > 0 ? qint64(written) : -1;
    }
    z_stream stream;
    if (!startDeflate(&stream, zlibStrategy(compressor), -15))
        return -1;
    if (offset > 0 && deflateSetDictionary(&stream, data.data(), uInt(offset)) != Z_OK) {
        deflateEnd(&stream);
        return -1;
    }
    std::vector<uchar> out(deflateBound(&stream, uLong(size)));
    stream.next_in = const_cast<uchar *>(input);
    stream.avail_in = uInt(size);
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const qint64 written = qint64(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? written : -1;
}

// A sample band filtered, after the rows of up to 32 KiB above it, which start the data.
struct Band
{
    std::vector<uchar> data;
    size_t offset;
};

// The sample bands of the picture, filtered with filter.
std::vector<Band> sampleBands(const QImage &image, RowFilter &filter)
{
    const int height = image.height();
    const int bandRows = rowsPerBand(filter, probeBandBytes);
    // Smaller pictures get fewer bands, so that the probe samples about a sixteenth of the picture
    // at most and does not cost more than the save it serves. The bands keep their size: short
    // pieces compress worse with string matching than without, which would bias the choice.
    const qint64 pictureBytes = filter.filteredRowBytes() * height;
    const int count =
            int(qBound(qint64(1), pictureBytes / (16 * probeBandBytes), qint64(probeBands)));
    std::vector<Band> bands(static_cast<size_t>(count));
    for (int index = 0; index < count; ++index) {
        // Centred in equal slices of the picture.
        const int first = int(qint64(height) * (2 * index + 1) / (2 * count)) - bandRows / 2;
        const int start = qBound(0, first, qMax(0, height - bandRows));
        const int rows = qMin(bandRows, height - start);
        const int contextRows = qMin(start, int((windowBytes - 1) / filter.filteredRowBytes()));
        Band &band = bands[size_t(index)];
        band.data.resize(size_t(filter.filteredRowBytes() * (contextRows + rows)));
        filter.filterRows(start - contextRows, contextRows + rows, band.data.data());
        band.offset = size_t(filter.filteredRowBytes() * contextRows);
    }
    return bands;
}

// CPU time of the calling thread, which other work on the machine does not inflate.
qint64 threadNanoseconds()
{
    timespec now = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// What a compressor made of the sample bands, and the time it took; bytes is -1 on failure.
struct Trial
{
    qint64 bytes = -1;
    qint64 nanoseconds = 0;
};

Trial compressBands(const std::vector<Band> &bands, Compressor compressor)
{
    Trial trial;
    trial.bytes = 0;
    const qint64 start = threadNanoseconds();
    for (const Band &band : bands) {
        const qint64 size = compressedSize(band.data, band.offset, compressor);
        trial.bytes = (size < 0 || trial.bytes < 0) ? -1 : trial.bytes + size;
    }
    trial.nanoseconds = threadNanoseconds() - start;
    return trial;
}

bool withinEstimate(const Trial &trial, const Trial &estimate)
{
    return estimate.bytes >= 0 && trial.bytes >= 0 && trial.bytes <= estimate.bytes;
}

// Photographs compress about as well with Huffman coding alone, or with libdeflate, as with
// zlib's default level, and several times faster; drawings often need zlib's string matching.
// So a few bands spread over the picture are filtered as Qt does and compressed as Qt does, which
// estimates the size of Qt's file and its time, and on the other thread filtered for entropy and
// compressed by the other compressors, usually faster ones first. Of those that stay within the
// estimate, the one that took the least time does the whole picture; once the estimate is known,
// the trials stop at the first that stays within it. The estimate's zlib sees the rows above each
// band, as in the whole stream: a band alone would lose the matches that reach above it and
// favour the compressors that do not look back.
Plan chooseCompressor(const QImage &image, bool alpha)
{
    // RLE first: it was never larger than Huffman-only on real pictures, and rarely slower.
    const Compressor others[] = {Compressor::Rle, Compressor::HuffmanOnly, Compressor::Libdeflate6,
                                 Compressor::Libdeflate7};
    Trial trials[std::size(others)];
    Trial estimate;
    std::atomic<bool> estimated {false};
    runBoth(
            [&] {
                RowFilter filter(image, alpha, Heuristic::SmallestSum);
                estimate = compressBands(sampleBands(image, filter), Compressor::Zlib6);
                estimated.store(true, std::memory_order_release);
            },
            [&] {
                RowFilter filter(image, alpha, Heuristic::SmallestEntropy);
                const std::vector<Band> bands = sampleBands(image, filter);
                for (size_t index = 0; index < std::size(others); ++index) {
                    trials[index] = compressBands(bands, others[index]);
                    if (estimated.load(std::memory_order_acquire) &&
                        withinEstimate(trials[index], estimate))
                        break;
                }
            });
    Plan chosen {Compressor::Zlib6};
    qint64 fastest = estimate.nanoseconds;
    for (size_t index = 0; index < std::size(others); ++index) {
        if (withinEstimate(trials[index], estimate) && trials[index].nanoseconds < fastest) {
            chosen = {others[index]};
            fastest = trials[index].nanoseconds;
        }
    }
    // Where libdeflate 6 writes more than the estimate and 7 less, the two mixed can meet it
    // exactly, in less time than 7 alone.
    const Trial &level6 = trials[2];
    const Trial &level7 = trials[3];
    if (level7.bytes >= 0 && withinEstimate(level7, estimate) && level6.bytes > estimate.bytes) {
        const double share =
                double(estimate.bytes - level7.bytes) / double(level6.bytes - level7.bytes);
        const double nanoseconds =
                share * double(level6.nanoseconds) + (1 - share) * double(level7.nanoseconds);
        if (nanoseconds < double(fastest))
            chosen = {Compressor::Libdeflate7, share};
    }
    return chosen;
}

// Filters rows first to end - 1 and feeds them through stream to sink. The last band is given
// finalFlush, Z_FINISH or Z_SYNC_FLUSH, so that all of it comes out. If checksum is given, the
// Adler-32 of the filtered bytes is accumulated into it.
bool compressRows(RowFilter &filter, int first, int end, z_stream *stream, int finalFlush,
                  const Sink &sink, uLong *checksum)
{
    const int bandRows = rowsPerBand(filter, bandBytes);
    std::vector<uchar> band(size_t(filter.filteredRowBytes() * qMin(bandRows, end - first)));
    std::vector<uchar> out(idatBytes);
    stream->next_out = out.data();
    stream->avail_out = idatBytes;
    filter.seek(first);
    for (int start = first; start < end; start += bandRows) {
        const int rows = qMin(bandRows, end - start);
        for (int row = 0; row < rows; ++row)
            filter.filterRow(start + row, band.data() + row * filter.filteredRowBytes());
        const uInt size = uInt(filter.filteredRowBytes() * rows);
        if (checksum)
            *checksum = adler32(*checksum, band.data(), size);
        stream->next_in = band.data();
        stream->avail_in = size;
        const bool last = start + rows >= end;
        const int flush = last ? finalFlush : Z_NO_FLUSH;
        for (;;) {
            const int result = deflate(stream, flush);
            if (result == Z_STREAM_ERROR)
                return false;
            const bool full = stream->avail_out == 0;
            // zlib's rule: a flush is complete once it leaves output space unused.
            const bool done =
                    flush == Z_FINISH ? result == Z_STREAM_END : stream->avail_in == 0 && !full;
            const uInt produced = idatBytes - stream->avail_out;
            if ((full || (last && done)) && produced > 0) {
                if (!sink(out.data(), produced))
                    return false;
                stream->next_out = out.data();
                stream->avail_out = idatBytes;
            }
            if (done)
                break;
        }
    }
    return true;
}

// One zlib stream over all rows, written as it comes.
bool writeZlibStream(const QImage &image, bool alpha, Heuristic heuristic, int strategy,
                     const Sink &sink)
{
    RowFilter filter(image, alpha, heuristic);
    z_stream stream;
    if (!startDeflate(&stream, strategy))
        return false;
    const bool ok = compressRows(filter, 0, image.height(), &stream, Z_FINISH, sink, nullptr);
    deflateEnd(&stream);
    return ok;
}

// The same zlib stream made by two threads, each compressing half of the rows. The first half
// opens the stream and ends with a sync flush, which leaves the stream open on a byte boundary;
// the second half continues it as raw deflate data primed with the last 32 KiB that the first
// half compressed, so that matches may reach back across the seam as in a single stream, and
// closes it. The stream's checksum is the two halves' Adler-32 combined.
bool writeZlibStreamInHalves(const QImage &image, bool alpha, Heuristic heuristic, int strategy,
                             const Sink &sink)
{
    const int height = image.height();
    const int middle = height / 2;
    const qint64 rowBytes = filteredRowBytes(image, alpha);

    std::vector<std::vector<uchar>> tail;
    uLong tailChecksum = adler32(0, nullptr, 0);
    bool tailOk = false;
    const auto compressTail = [&]() {
        RowFilter own(image, alpha, heuristic);
        const int dictionaryRows =
                int(qMin(qint64(middle), qint64((windowBytes + rowBytes - 1) / rowBytes)));
        std::vector<uchar> previous(size_t(rowBytes * dictionaryRows));
        own.filterRows(middle - dictionaryRows, dictionaryRows, previous.data());
        const uInt dictionarySize = uInt(qMin(qint64(windowBytes), qint64(previous.size())));

        z_stream stream;
        if (!startDeflate(&stream, strategy, -15))
            return;
        tailOk = deflateSetDictionary(&stream, previous.data() + previous.size() - dictionarySize,
                                      dictionarySize) == Z_OK &&
                compressRows(
                         own, middle, height, &stream, Z_FINISH,
                         [&tail](const uchar *data, uInt size) {
                             tail.emplace_back(data, data + size);
                             return true;
                         },
                         &tailChecksum);
        deflateEnd(&stream);
    };

    bool headOk = false;
    uLong headChecksum = 0;
    const auto compressHead = [&]() {
        RowFilter filter(image, alpha, heuristic);
        z_stream stream;
        if (!startDeflate(&stream, strategy))
            return;
        headOk = compressRows(filter, 0, middle, &stream, Z_SYNC_FLUSH, sink, nullptr);
        // With the zlib wrapper, zlib keeps the checksum of everything compressed so far.
        headChecksum = stream.adler;
        deflateEnd(&stream);
    };
    runBoth(compressHead, compressTail);
    if (!headOk || !tailOk || tail.empty())
        return false;

    const qint64 tailBytes = rowBytes * (height - middle);
    uchar trailer[4];
    qToBigEndian<quint32>(quint32(adler32_combine(headChecksum, tailChecksum, tailBytes)), trailer);
    tail.back().insert(tail.back().end(), trailer, trailer + 4);
    return std::all_of(tail.begin(), tail.end(), [&sink](const std::vector<uchar> &piece) {
        return sink(piece.data(), uInt(piece.size()));
    });
}

// Gathers the stream into IDAT chunks of idatBytes.
class ChunkWriter
{
public:
    explicit ChunkWriter(const Sink &sink) : sink(sink) { buffer.reserve(idatBytes); }

    bool write(const uchar *data, size_t size)
    {
        while (size > 0) {
            const size_t part = qMin(size, size_t(idatBytes) - buffer.size());
            buffer.insert(buffer.end(), data, data + part);
            data += part;
            size -= part;
            if (buffer.size() == idatBytes && !flush())
                return false;
        }
        return true;
    }

    bool flush()
    {
        const bool ok = buffer.empty() || sink(buffer.data(), quint32(buffer.size()));
        buffer.clear();
        return ok;
    }

private:
    const Sink &sink;
    std::vector<uchar> buffer;
};

// Consecutive rows compressed by libdeflate into raw deflate data.
struct Piece
{
    // Left uninitialised, so that only the pages written to take memory.
    std::unique_ptr<uchar[]> data;
    size_t size = 0;
    // Adler-32 of the filtered rows and their number of bytes.
    uLong checksum = 0;
    qint64 rowBytes = 0;
};

// An empty stored block's length and its complement, after its three header bits.
const uchar emptyStoredBlock[] = {0x00, 0x00, 0xFF, 0xFF};
// What reopen() may append.
constexpr size_t reopenBytes = 1 + sizeof(emptyStoredBlock);

// libdeflate always ends its data with the stream's final block. A piece that is not the last is
// reopened: the final flag of its last block is cleared and an empty stored block brings its end
// to a byte boundary, as zlib's sync flush does. Both places are known to the bit only by decoding
// the piece, which zlib does, stopping at each block boundary.
bool reopen(Piece *piece)
{
    z_stream stream = {};
    if (inflateInit2(&stream, -15) != Z_OK)
        return false;
    std::vector<uchar> scratch(idatBytes);
    stream.next_in = piece->data.get();
    stream.avail_in = uInt(piece->size);
    qint64 lastBlock = 0;
    qint64 end = -1;
    while (end < 0) {
        stream.next_out = scratch.data();
        stream.avail_out = uInt(scratch.size());
        if (inflate(&stream, Z_BLOCK) != Z_OK)
            break;
        // data_type: the bits taken from the input but not yet used, plus 64 in the last block,
        // plus 128 at a block boundary.
        const qint64 position = qint64(stream.total_in) * 8 - (stream.data_type & 63);
        if (stream.data_type & 128) {
            if (stream.data_type & 64)
                end = position;
            else
                lastBlock = position;
        }
    }
    inflateEnd(&stream);
    if (end < 0 || (end + 7) / 8 != qint64(piece->size))
        return false;
    uchar *data = piece->data.get();
    // Deflate packs bits from the least significant; a block's first bit is its final flag.
    data[lastBlock / 8] &= uchar(~(1u << (lastBlock % 8)));
    const int unusedBits = int(qint64(piece->size) * 8 - end);
    data[piece->size - 1] &= uchar((1u << (8 - unusedBits)) - 1);
    // The stored block's header is three zero bits, in the unused bits or in a byte of its own.
    if (unusedBits < 3)
        data[piece->size++] = 0;
    std::memcpy(data + piece->size, emptyStoredBlock, sizeof(emptyStoredBlock));
    piece->size += sizeof(emptyStoredBlock);
    return true;
}

// The libdeflate level of the picture's piece number index: of any run of pieces, at most the
// plan's share goes to level 6, spread evenly.
int pieceLevel(const Plan &plan, int index)
{
    if (plan.compressor == Compressor::Libdeflate6)
        return 6;
    return std::floor(plan.level6Share * (index + 1)) > std::floor(plan.level6Share * index) ? 6
                                                                                             : 7;
}

// Compresses rows first to end - 1, in pieces of pieceRows rows numbered from firstPiece on,
// handing each to take; all but a piece that ends the picture are reopened.
bool compressPieces(const QImage &image, bool alpha, const Plan &plan, int first, int end,
                    int pieceRows, int firstPiece, const std::function<bool(Piece &&)> &take)
{
    RowFilter filter(image, alpha, Heuristic::SmallestEntropy);
    LibdeflateCompressor deflaters[2];
    std::vector<uchar> rows;
    int index = firstPiece;
    for (int start = first; start < end; start += qMin(pieceRows, end - start)) {
        const int count = qMin(pieceRows, end - start);
        const int level = pieceLevel(plan, index++);
        LibdeflateCompressor &deflater = deflaters[level - 6];
        if (!deflater)
            deflater.reset(libdeflate_alloc_compressor(level));
        if (!deflater)
            return false;
        Piece piece;
        piece.rowBytes = filter.filteredRowBytes() * count;
        rows.resize(size_t(piece.rowBytes));
        filter.filterRows(start, count, rows.data());
        piece.checksum = adler32(adler32(0, nullptr, 0), rows.data(), uInt(piece.rowBytes));
        const size_t bound = libdeflate_deflate_compress_bound(deflater.get(), rows.size());
        piece.data.reset(new uchar[bound + reopenBytes]);
        piece.size = libdeflate_deflate_compress(deflater.get(), rows.data(), rows.size(),
                                                 piece.data.get(), bound);
        const bool last = start + count == image.height();
        if (piece.size == 0 || (!last && !reopen(&piece)) || !take(std::move(piece)))
            return false;
    }
    return true;
}

// The zlib stream from libdeflate's pieces. On two threads, the first half is written as it comes
// and the second is held until the first is done.
bool writeLibdeflateStream(const QImage &image, bool alpha, const Plan &plan, qint64 pieceBytes,
                           const Sink &sink)
{
    ChunkWriter writer(sink);
    // Deflate with a 32 KiB window, default level; 0x789C is a multiple of 31 as required.
    const uchar header[] = {0x78, 0x9C};
    if (!writer.write(header, sizeof(header)))
        return false;
    uLong checksum = adler32(0, nullptr, 0);
    const auto write = [&](Piece &&piece) {
        checksum = adler32_combine(checksum, piece.checksum, piece.rowBytes);
        return writer.write(piece.data.get(), piece.size);
    };
    const int height = image.height();
    const qint64 rowBytes = filteredRowBytes(image, alpha);
    // A mix needs enough pieces for its share to be met closely; pieces of 2 MB cost under 0.1 %.
    const qint64 piece = plan.level6Share > 0
            ? qMin(pieceBytes, qMax(mixedPieceBytes, rowBytes * height / 16))
            : pieceBytes;
    const int pieceRows = int(qBound(qint64(1), piece / rowBytes, qint64(INT_MAX)));
    bool ok = false;
    if (!worthSplitting(image, alpha)) {
        ok = compressPieces(image, alpha, plan, 0, height, pieceRows, 0, write);
    } else {
        const int middle = height / 2;
        const int headPieces = (middle + pieceRows - 1) / pieceRows;
        std::vector<Piece> tail;
        bool headOk = false;
        bool tailOk = false;
        runBoth(
                [&] {
                    headOk = compressPieces(image, alpha, plan, 0, middle, pieceRows, 0, write);
                },
                [&] {
                    tailOk = compressPieces(image, alpha, plan, middle, height, pieceRows,
                                            headPieces, [&tail](Piece &&piece) {
                                                tail.push_back(std::move(piece));
                                                return true;
                                            });
                });
        ok = headOk && tailOk && std::all_of(tail.begin(), tail.end(), [&](Piece &piece) {
                 const bool written = write(std::move(piece));
                 piece.data.reset();
                 return written;
             });
    }
    uchar trailer[4];
    qToBigEndian<quint32>(quint32(checksum), trailer);
    return ok && writer.write(trailer, sizeof(trailer)) && writer.flush();
}

} // namespace

bool IdatEncoder::encode(const QImage &image, bool alpha, const Sink &sink, Compressor compressor,
                         qint64 piece)
{
    const Plan plan =
            compressor == Compressor::Chosen ? chooseCompressor(image, alpha) : Plan {compressor};
    compressor = plan.compressor;
    if (isLibdeflate(compressor))
        return writeLibdeflateStream(image, alpha, plan, piece, sink);
    // Zlib's default level is the fallback that matches Qt's file, so it filters as Qt does.
    const Heuristic heuristic =
            compressor == Compressor::Zlib6 ? Heuristic::SmallestSum : Heuristic::SmallestEntropy;
    return worthSplitting(image, alpha)
            ? writeZlibStreamInHalves(image, alpha, heuristic, zlibStrategy(compressor), sink)
            : writeZlibStream(image, alpha, heuristic, zlibStrategy(compressor), sink);
}

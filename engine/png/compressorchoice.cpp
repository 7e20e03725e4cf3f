#include "compressorchoice.h"

#include "deflatehandles.h"
#include "deflatesegments.h"
#include "rowfilter.h"
#include "twothreads.h"

#include <QImage>

#include <atomic>
#include <cmath>
#include <iterator>
#include <vector>

namespace {

// The sample is this many bands of this size, spread over the picture: enough to notice a picture
// that is part photograph, part drawing.
constexpr int sampleBands = 8;
constexpr qint64 sampleBandBytes = 128 * 1024;

// A sample band filtered, after the rows above it that deflate's window holds, which start the
// data.
struct Band
{
    std::vector<uchar> data;
    size_t offset = 0;
    // Where the band's own rows start in the picture's filtered rows.
    qint64 start = 0;
};

// Smaller pictures get fewer bands, so that the sample is about a sixteenth of the picture at
// most and does not cost more than the save it serves. The bands keep their size: short pieces
// compress worse with string matching than without, which would bias the choice.
int bandCount(qint64 pictureBytes)
{
    return int(qBound(qint64(1), pictureBytes / (16 * sampleBandBytes), qint64(sampleBands)));
}

// The bands for a picture of pictureHeight rows, of which image holds the first.
std::vector<Band> sample(const QImage &image, RowFilter &filter, int pictureHeight)
{
    const int height = image.height();
    const qint64 rowBytes = filter.filteredRowBytes();
    const int bandRows = int(qBound(qint64(1), sampleBandBytes / rowBytes, qint64(height)));
    const int count = bandCount(rowBytes * pictureHeight);
    std::vector<Band> bands(static_cast<size_t>(count));
    for (int index = 0; index < count; ++index) {
        // Centred in equal slices of the rows held: the whole picture, or only its first rows
        // where no more were decoded.
        const int centred = int(qint64(height) * (2 * index + 1) / (2 * count)) - bandRows / 2;
        const int start = qBound(0, centred, height - bandRows);
        const int above = DeflateSegments::windowRows(rowBytes, start);
        Band &band = bands[size_t(index)];
        band.data.resize(size_t(rowBytes * (above + bandRows)));
        filter.filterRows(start - above, above + bandRows, band.data.data());
        band.offset = size_t(rowBytes * above);
        band.start = rowBytes * start;
    }
    return bands;
}

// Bytes of the raw deflate data that compresses each band from its offset on, in total, or -1 on
// failure. zlib is given the bytes before the offset as its dictionary, as in the whole stream; a
// band alone would lose the matches that reach above it and favour the compressors that do not
// look back. libdeflate has no dictionary, which makes it look a little worse than it is.
qint64 sampleSize(const std::vector<Band> &bands, const CompressionPlan &plan)
{
    qint64 total = 0;
    const LibdeflateCompressor compressor =
            plan.usesLibdeflate() ? newLibdeflateCompressor(plan.pieceLevel(0)) : nullptr;
    for (const Band &band : bands) {
        const uchar *input = band.data.data() + band.offset;
        const size_t size = band.data.size() - band.offset;
        if (plan.usesLibdeflate()) {
            if (!compressor)
                return -1;
            std::vector<uchar> out(libdeflate_deflate_compress_bound(compressor.get(), size));
            const size_t written = libdeflate_deflate_compress(compressor.get(), input, size,
                                                               out.data(), out.size());
            if (written == 0)
                return -1;
            total += qint64(written);
            continue;
        }
        ZlibDeflater deflater(plan.zlibStrategy(), -15);
        z_stream *stream = deflater.get();
        if (!deflater.isValid() ||
            (band.offset > 0 &&
             deflateSetDictionary(stream, band.data.data(), uInt(band.offset)) != Z_OK))
            return -1;
        std::vector<uchar> out(deflateBound(stream, uLong(size)));
        stream->next_in = const_cast<uchar *>(input);
        stream->avail_in = uInt(size);
        stream->next_out = out.data();
        stream->avail_out = uInt(out.size());
        if (deflate(stream, Z_FINISH) != Z_STREAM_END)
            return -1;
        total += qint64(stream->total_out);
    }
    return total;
}

bool fits(qint64 size, qint64 estimate)
{
    return size >= 0 && estimate >= 0 && size <= estimate;
}

} // namespace

qint64 CompressorChoice::sampleBytes(qint64 pictureBytes)
{
    return bandCount(pictureBytes) * sampleBandBytes;
}

bool CompressionPlan::usesLibdeflate() const
{
    return compressor == Compressor::Libdeflate6 || compressor == Compressor::Libdeflate7;
}

int CompressionPlan::pieceLevel(int index) const
{
    if (compressor == Compressor::Libdeflate6)
        return 6;
    // Of any run of pieces, at most the share goes to level 6, spread evenly.
    return std::floor(level6Share * (index + 1)) > std::floor(level6Share * index) ? 6 : 7;
}

int CompressionPlan::zlibStrategy() const
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

// Photographs compress about as well with Huffman coding alone, or with libdeflate, as with
// zlib's default level, and several times faster; drawings often need zlib's string matching.
// So the sample is filtered as Qt does and compressed as Qt does, which estimates the size of
// Qt's file, and, on the other thread, filtered for entropy and compressed by the faster
// compressors, cheapest first. The first that writes no more than the estimate compresses the
// whole picture; zlib's default level, with Qt's filter, if none does. Sizes alone decide, never
// time, so that the same picture always gives the same file; the order is the one measured on
// real photographs and drawings (docs/png-writer.md). The trials stop at the first that fits
// once the estimate is known, which saves work but changes no choice.
CompressionPlan CompressorChoice::choose(const QImage &image, bool alpha, QtEstimate *qtEstimate,
                                         int pictureHeight)
{
    const Compressor cheapestFirst[] = {Compressor::Rle, Compressor::HuffmanOnly,
                                        Compressor::Libdeflate6, Compressor::Libdeflate7};
    qint64 sizes[std::size(cheapestFirst)] = {-1, -1, -1, -1};
    qint64 estimate = -1;
    std::atomic<bool> estimated {false};
    TwoThreads::runBoth(
            [&] {
                RowFilter filter(image, alpha, RowFilter::Heuristic::SmallestSum);
                const std::vector<Band> bands =
                        sample(image, filter, pictureHeight > 0 ? pictureHeight : image.height());
                estimate = sampleSize(bands, {Compressor::Zlib6});
                if (qtEstimate) {
                    qtEstimate->bytes = estimate;
                    for (const Band &band : bands)
                        qtEstimate->ranges.emplace_back(
                                band.start, band.start + qint64(band.data.size() - band.offset));
                }
                estimated.store(true, std::memory_order_release);
            },
            [&] {
                RowFilter filter(image, alpha, RowFilter::Heuristic::SmallestEntropy);
                const std::vector<Band> bands =
                        sample(image, filter, pictureHeight > 0 ? pictureHeight : image.height());
                for (size_t index = 0; index < std::size(cheapestFirst); ++index) {
                    sizes[index] = sampleSize(bands, {cheapestFirst[index]});
                    if (estimated.load(std::memory_order_acquire) && fits(sizes[index], estimate))
                        break;
                }
            });
    for (size_t index = 0; index + 1 < std::size(cheapestFirst); ++index) {
        if (fits(sizes[index], estimate))
            return {cheapestFirst[index]};
    }
    // Where libdeflate 6 writes more than the estimate and 7 no more, the two mixed meet it
    // exactly, in less time than 7 alone.
    const qint64 level6 = sizes[2];
    const qint64 level7 = sizes[3];
    if (!fits(level7, estimate) || level6 < 0)
        return {Compressor::Zlib6};
    return {Compressor::Libdeflate7, double(estimate - level7) / double(level6 - level7)};
}

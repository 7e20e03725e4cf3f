#include "idatencoder.h"
#include "idatencoder_p.h"

#include "deflatesegments.h"
#include "rowfilter.h"
#include "twothreads.h"

#include <QImage>
#include <QtEndian>

#include <zlib.h>

#include <vector>

namespace {

// Each IDAT chunk carries this much of the stream.
constexpr size_t idatBytes = 256 * 1024;
// Pictures with at least this many filtered bytes are compressed in two halves.
constexpr qint64 splitBytes = 1024 * 1024;
// The smallest libdeflate piece when two levels are mixed.
constexpr qint64 mixedPieceBytes = 2 * 1024 * 1024;

// Compresses rows first to end - 1 of the picture into a segment of the stream.
using Segment = std::function<bool(int first, int end, bool last,
                                   const DeflateSegments::Output &out, uLong *checksum)>;

// Gathers the stream into IDAT chunks of idatBytes.
class ChunkWriter
{
public:
    explicit ChunkWriter(const IdatEncoder::Sink &sink) : sink(sink) { buffer.reserve(idatBytes); }

    bool write(const uchar *data, size_t size)
    {
        while (size > 0) {
            const size_t part = qMin(size, idatBytes - buffer.size());
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
    const IdatEncoder::Sink &sink;
    std::vector<uchar> buffer;
};

Segment segmentOf(const QImage &image, bool alpha, const CompressionPlan &plan, qint64 piece)
{
    const qint64 rowBytes = RowFilter::filteredRowBytes(image.width(), alpha);
    if (plan.usesLibdeflate()) {
        // A mix needs enough pieces for its share to be met closely; pieces of 2 MB cost under
        // 0.1 %.
        if (plan.level6Share > 0)
            piece = qMin(piece, qMax(mixedPieceBytes, rowBytes * image.height() / 16));
        const int pieceRows = int(qBound(qint64(1), piece / rowBytes, qint64(image.height())));
        return [&image, alpha, plan, pieceRows](int first, int end, bool last,
                                                const DeflateSegments::Output &out,
                                                uLong *checksum) {
            RowFilter filter(image, alpha, RowFilter::Heuristic::SmallestEntropy);
            return DeflateSegments::libdeflate(filter, first, end, last, plan, pieceRows, out,
                                               checksum);
        };
    }
    // zlib's default level is the fallback that matches Qt's file, so it filters as Qt does.
    const RowFilter::Heuristic heuristic = plan.compressor == Compressor::Zlib6
            ? RowFilter::Heuristic::SmallestSum
            : RowFilter::Heuristic::SmallestEntropy;
    return [&image, alpha, heuristic,
            strategy = plan.zlibStrategy()](int first, int end, bool last,
                                            const DeflateSegments::Output &out, uLong *checksum) {
        RowFilter filter(image, alpha, heuristic);
        return DeflateSegments::zlib(filter, first, end, last, strategy, out, checksum);
    };
}

// The zlib stream: its header, the rows' deflate data and the Adler-32 of the filtered rows. A
// large picture is compressed in two halves, the second on another thread; the first half is
// written as it comes, the second held until then. Whether a picture is split depends on its size
// alone, so that every machine writes the same bytes.
bool writeStream(const QImage &image, bool alpha, const Segment &segment,
                 const IdatEncoder::Sink &sink)
{
    ChunkWriter writer(sink);
    // Deflate with a 32 KiB window, default level; 0x789C is a multiple of 31 as required.
    const uchar header[] = {0x78, 0x9C};
    if (!writer.write(header, sizeof(header)))
        return false;
    const auto write = [&writer](const uchar *data, size_t size) {
        return writer.write(data, size);
    };
    const int height = image.height();
    const qint64 rowBytes = RowFilter::filteredRowBytes(image.width(), alpha);
    uLong checksum = adler32(0, nullptr, 0);
    bool ok = false;
    if (rowBytes * height < splitBytes || height < 2) {
        ok = segment(0, height, true, write, &checksum);
    } else {
        const int middle = height / 2;
        std::vector<std::vector<uchar>> tail;
        uLong tailChecksum = adler32(0, nullptr, 0);
        bool headOk = false;
        bool tailOk = false;
        TwoThreads::runBoth([&] { headOk = segment(0, middle, false, write, &checksum); },
                            [&] {
                                tailOk = segment(
                                        middle, height, true,
                                        [&tail](const uchar *data, size_t size) {
                                            tail.emplace_back(data, data + size);
                                            return true;
                                        },
                                        &tailChecksum);
                            });
        ok = headOk && tailOk;
        for (std::vector<uchar> &piece : tail) {
            ok = ok && writer.write(piece.data(), piece.size());
            piece = std::vector<uchar>();
        }
        checksum = adler32_combine(checksum, tailChecksum, rowBytes * (height - middle));
    }
    uchar trailer[4];
    qToBigEndian<quint32>(quint32(checksum), trailer);
    return ok && writer.write(trailer, sizeof(trailer)) && writer.flush();
}

} // namespace

bool IdatEncoder::encode(const QImage &image, bool alpha, const Sink &sink)
{
    return encode(image, alpha, sink, Compressor::Chosen);
}

bool IdatEncoder::encode(const QImage &image, bool alpha, const Sink &sink, Compressor compressor,
                         qint64 piece)
{
    const CompressionPlan plan = compressor == Compressor::Chosen
            ? CompressorChoice::choose(image, alpha)
            : CompressionPlan {compressor};
    return writeStream(image, alpha, segmentOf(image, alpha, plan, piece), sink);
}

bool IdatEncoder::encodeHead(const QImage &image, bool alpha, int rows, int pictureHeight,
                             const std::function<bool(const QtEstimate &)> &accept,
                             const DeflateOutput &out, unsigned long *checksum)
{
    QtEstimate qtEstimate;
    const CompressionPlan plan = CompressorChoice::choose(image, alpha, &qtEstimate, pictureHeight);
    if (!accept(qtEstimate))
        return false;
    const Segment segment = segmentOf(image, alpha, plan, pieceBytes);
    const qint64 rowBytes = RowFilter::filteredRowBytes(image.width(), alpha);
    if (rowBytes * rows < splitBytes || rows < 2)
        return rows == 0 || segment(0, rows, false, out, checksum);
    // In two halves, as writeStream does, the second held until the first is written.
    const int middle = rows / 2;
    std::vector<std::vector<uchar>> tail;
    uLong tailChecksum = adler32(0, nullptr, 0);
    bool headOk = false;
    bool tailOk = false;
    TwoThreads::runBoth([&] { headOk = segment(0, middle, false, out, checksum); },
                        [&] {
                            tailOk = segment(
                                    middle, rows, false,
                                    [&tail](const uchar *data, size_t size) {
                                        tail.emplace_back(data, data + size);
                                        return true;
                                    },
                                    &tailChecksum);
                        });
    bool ok = headOk && tailOk;
    for (const std::vector<uchar> &piece : tail)
        ok = ok && out(piece.data(), piece.size());
    *checksum = adler32_combine(*checksum, tailChecksum, rowBytes * (rows - middle));
    return ok;
}

#include "splice.h"
#include "splice_p.h"

#include "chunkreader.h"
#include "compressorchoice.h"
#include "deflatehandles.h"
#include "idatencoder.h"
#include "rowfilter.h"

#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Deflate looks back at most this far, so the source's data after a boundary may refer to this
// much before it, which must be the source's own bytes.
constexpr qint64 windowBytes = 32 * 1024;
// How far past that the first usable block boundary may lie; a source written in one huge block
// has none in reach, and is written whole.
constexpr qint64 reachBytes = 4 * 1024 * 1024;
// Inflated bytes are taken from zlib in pieces of this size.
constexpr size_t inflateStep = 256 * 1024;

const char signature[] = "\x89PNG\r\n\x1a\n";

// Where the source's raw deflate data (after the two-byte zlib header) can be cut: at a block
// boundary at least `need` inflated bytes in, and at most reachBytes further. Only boundaries at an
// even bit within their byte are taken, since empty fixed blocks (ten bits each) can bring the new
// head's end there without moving the source's bits, which would break the alignment of its stored
// blocks.
struct Cut
{
    // The inflated bytes from `from` up to the boundary: only those are compressed again.
    std::vector<uchar> kept;
    qint64 from = 0;
    // The inflated bytes before the boundary, and their Adler-32.
    qint64 bytes = 0;
    uLong checksum = 0;
    qint64 bit = 0;
};

// A block boundary of the source: how many bytes were inflated before it, and its bit position
// in the raw deflate data.
using Boundary = std::pair<qint64, qint64>;

// Finds the cut; with boundaries, also records the block boundaries from the start until one at
// or past `until` bytes inflated.
bool findCut(const uchar *raw, size_t size, qint64 from, qint64 need, Cut *cut,
             std::vector<Boundary> *boundaries = nullptr, qint64 until = 0)
{
    ZlibInflater inflater;
    if (!inflater.isValid())
        return false;
    z_stream *stream = inflater.get();
    stream->next_in = const_cast<uchar *>(raw);
    stream->avail_in = uInt(qMin<size_t>(size, 0xFFFFFFFFu));
    std::vector<uchar> scratch(inflateStep);
    cut->from = from;
    cut->checksum = adler32(0, nullptr, 0);
    bool found = false;
    for (;;) {
        if (!found && qint64(stream->total_out) > need + reachBytes)
            return false;
        const qint64 before = qint64(stream->total_out);
        stream->next_out = scratch.data();
        stream->avail_out = uInt(scratch.size());
        const int result = inflate(stream, Z_BLOCK);
        const qint64 after = qint64(stream->total_out);
        if (!found) {
            cut->checksum = adler32(cut->checksum, scratch.data(), uInt(after - before));
            const qint64 skip = qBound(before, from, after) - before;
            cut->kept.insert(cut->kept.end(), scratch.data() + skip,
                             scratch.data() + (after - before));
        }
        if (result != Z_OK)
            return false;
        // data_type: the bits taken from the input but not yet used, plus 64 in the last block,
        // plus 128 at a block boundary.
        const bool boundary = (stream->data_type & 128) && !(stream->data_type & 64);
        const qint64 bit = qint64(stream->total_in) * 8 - (stream->data_type & 63);
        if (boundaries && (stream->data_type & 128))
            boundaries->emplace_back(after, bit);
        if (!found && boundary && after >= need && bit % 2 == 0) {
            found = true;
            cut->bytes = after;
            cut->bit = bit;
        }
        if (found && (!boundaries || (!boundaries->empty() && boundaries->back().first >= until)))
            return true;
    }
}

// Whether the zlib stream in data inflates to exactly height rows of rowBytes, each starting with
// a filter type libpng knows, with the right Adler-32 and nothing after it. The block boundaries
// go to boundaries, up to the first at or past boundariesUntil bytes inflated.
bool inflatesWhole(const std::vector<uchar> &data, qint64 rowBytes, qint64 height,
                   qint64 boundariesUntil, std::vector<Boundary> *boundaries)
{
    ZlibInflater inflater(15);
    if (!inflater.isValid() || data.size() > 0xFFFFFFFFu)
        return false;
    const qint64 total = rowBytes * height;
    z_stream *stream = inflater.get();
    stream->next_in = const_cast<uchar *>(data.data());
    stream->avail_in = uInt(data.size());
    std::vector<uchar> scratch(inflateStep);
    int result = Z_OK;
    bool recording = true;
    while (result == Z_OK) {
        const qint64 before = qint64(stream->total_out);
        stream->next_out = scratch.data();
        stream->avail_out = uInt(scratch.size());
        result = inflate(stream, recording ? Z_BLOCK : Z_NO_FLUSH);
        const qint64 after = qint64(stream->total_out);
        if (after > total)
            return false;
        // libpng refuses a row whose filter type is none of the five; rows that are not decoded
        // here are carried over, so they must be ones it reads.
        for (qint64 row = (before + rowBytes - 1) / rowBytes * rowBytes; row < after;
             row += rowBytes) {
            if (scratch[size_t(row - before)] > 4)
                return false;
        }
        // Counted from the end of the two-byte zlib header, as findCut counts.
        if (recording && result == Z_OK && (stream->data_type & 128)) {
            boundaries->emplace_back(after,
                                     qint64(stream->total_in) * 8 - (stream->data_type & 63) - 16);
            recording = after < boundariesUntil;
        }
    }
    return result == Z_STREAM_END && qint64(stream->total_out) == total &&
            stream->total_in == data.size();
}

// The Adler-32 of the bytes after the first ones, from the Adler-32 of all (whole) and of the
// first ones (head): adler32_combine undone. tailSize is how many bytes follow the first ones.
uLong adler32Tail(uLong whole, uLong head, qint64 tailSize)
{
    constexpr qint64 base = 65521;
    const auto reduce = [](qint64 value) {
        return (value % base + base) % base;
    };
    const qint64 headSum = head & 0xFFFF;
    const qint64 sum = reduce(qint64(whole & 0xFFFF) - headSum + 1);
    const qint64 sums = reduce(qint64(whole >> 16) - qint64(head >> 16) -
                               (tailSize % base) * reduce(headSum - 1));
    return uLong(sums << 16 | sum);
}

// The bits the source spends on its first `offset` inflated bytes, read off its block boundaries
// and spread evenly within a block.
double bitsBefore(const std::vector<Boundary> &boundaries, qint64 offset)
{
    const auto next =
            std::lower_bound(boundaries.begin(), boundaries.end(), Boundary(offset, qint64(-1)));
    if (next == boundaries.end())
        return double(boundaries.back().second);
    if (next == boundaries.begin() || next->first == offset)
        return double(next->second);
    const Boundary &previous = *(next - 1);
    return double(previous.second) +
            double(next->second - previous.second) * double(offset - previous.first) /
            double(next->first - previous.first);
}

// The source's bytes for the sample of the picture that Qt's writer was estimated on, so that the
// source is held to the rule every compressor is held to.
double sampleBytes(const std::vector<Boundary> &boundaries, const QtEstimate &estimate)
{
    double bits = 0;
    for (const auto &[start, end] : estimate.ranges)
        bits += bitsBefore(boundaries, end) - bitsBefore(boundaries, start);
    return bits / 8;
}

// Whether the source's boundaries, recorded up to some point, reach past the sample.
bool boundariesCover(const std::vector<Boundary> &boundaries, const QtEstimate &estimate)
{
    return !boundaries.empty() &&
            std::all_of(estimate.ranges.begin(), estimate.ranges.end(),
                        [&boundaries](const std::pair<qint64, qint64> &range) {
                            return range.second <= boundaries.back().first;
                        });
}

// Compresses bytes that follow earlier data into raw deflate data ending on a byte boundary
// without a final block.
bool deflateBridge(const uchar *data, size_t size, std::vector<uchar> *out)
{
    ZlibDeflater deflater(Z_FILTERED, -15);
    if (!deflater.isValid())
        return false;
    z_stream *stream = deflater.get();
    const size_t start = out->size();
    out->resize(start + deflateBound(stream, uLong(size)) + 16);
    stream->next_in = const_cast<uchar *>(data);
    stream->avail_in = uInt(size);
    stream->next_out = out->data() + start;
    stream->avail_out = uInt(out->size() - start);
    const int result = deflate(stream, Z_SYNC_FLUSH);
    const bool done = result == Z_OK && stream->avail_in == 0 && stream->avail_out > 0;
    out->resize(size_t(stream->next_out - out->data()));
    return done;
}

// Ends out, which ends on a byte boundary, at bit `bit` of the source's raw deflate data (an even
// bit within its byte) and returns where the source's bytes that are copied unchanged start.
// Empty fixed blocks, ten bits each (final flag 0, type 01, end code 0000000), fill the bits
// before the source's first one in its byte.
qint64 padToTail(const uchar *raw, qint64 bit, std::vector<uchar> *out)
{
    const int offset = int(bit % 8);
    const int blocks = offset / 2;
    quint32 padding = 0;
    for (int block = 0; block < blocks; ++block)
        padding |= 2u << (10 * block);
    // blocks * 10 bits: `blocks` whole bytes, then `offset` bits in the byte the source shares.
    for (int byte = 0; byte < blocks; ++byte)
        out->push_back(uchar(padding >> (8 * byte)));
    if (offset == 0)
        return bit / 8;
    const uint low = (1u << offset) - 1;
    out->push_back(uchar(((padding >> (8 * blocks)) & low) | (raw[bit / 8] & ~low)));
    return bit / 8 + 1;
}

// Deflate's method with a window of at most 32 KiB, a valid check and no preset dictionary.
bool isPlainZlibHeader(const std::vector<uchar> &data)
{
    return data.size() >= 6 && (data[0] & 0x0F) == 8 && (data[0] >> 4) <= 7 &&
            (data[0] * 256 + data[1]) % 31 == 0 && !(data[1] & 0x20);
}

} // namespace

qint64 SpliceLayout::dataBytes() const
{
    qint64 total = 0;
    for (const Idat &idat : idats)
        total += idat.length;
    return total;
}

SpliceLayout Splice::readLayout(QIODevice *device)
{
    SpliceLayout layout;
    if (!device->seek(0) || device->read(8) != QByteArray(signature, 8))
        return {};
    ChunkReader reader(device);
    ChunkReader::Chunk chunk;
    QByteArray header;
    if (!reader.next(&chunk) || chunk.type != "IHDR" || chunk.length != 13 ||
        !reader.readWhole(chunk, &header))
        return {};
    const uchar *fields = reinterpret_cast<const uchar *>(header.constData()) + 8;
    const quint32 width = qFromBigEndian<quint32>(fields);
    const quint32 height = qFromBigEndian<quint32>(fields + 4);
    // 8-bit RGB or RGBA, deflate, adaptive filtering, not interlaced.
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF || fields[8] != 8 ||
        (fields[9] != 2 && fields[9] != 6) || fields[10] != 0 || fields[11] != 0 || fields[12] != 0)
        return {};
    layout.width = int(width);
    layout.height = int(height);
    layout.alpha = fields[9] == 6;
    bool idatsEnded = false;
    bool ended = false;
    while (!ended && reader.next(&chunk)) {
        ended = chunk.type == "IEND";
        if (ended)
            continue;
        if (chunk.type != "IDAT") {
            idatsEnded = !layout.idats.empty();
            continue;
        }
        char crc[4];
        if (idatsEnded || !device->seek(chunk.start + 8 + chunk.length) ||
            device->read(crc, 4) != 4)
            return {};
        layout.idats.push_back({chunk.start, chunk.length, qFromBigEndian<quint32>(crc)});
    }
    if (!ended)
        return {};
    return layout;
}

bool Splice::readIdatData(QIODevice *source, const SpliceLayout &layout, std::vector<uchar> *data)
{
    data->reserve(size_t(layout.dataBytes()));
    ChunkReader reader(source);
    ChunkReader::Chunk chunk;
    for (const SpliceLayout::Idat &idat : layout.idats) {
        do {
            if (!reader.next(&chunk))
                return false;
        } while (chunk.start < idat.start);
        QByteArray whole;
        if (chunk.start != idat.start || chunk.type != "IDAT" || chunk.length != idat.length ||
            !reader.readWhole(chunk, &whole) ||
            qFromBigEndian<quint32>(whole.constData() + 8 + chunk.length) != idat.crc)
            return false;
        data->insert(data->end(), whole.constData() + 8, whole.constData() + 8 + chunk.length);
    }
    return true;
}

namespace {

QByteArray digestOf(const std::vector<uchar> &data)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    constexpr size_t piece = 64 * 1024 * 1024;
    for (size_t start = 0; start < data.size(); start += piece) {
        const size_t size = std::min(piece, data.size() - start);
        hash.addData(QByteArray::fromRawData(reinterpret_cast<const char *>(data.data() + start),
                                             int(size)));
    }
    return hash.result();
}

} // namespace

void Splice::checkStream(const std::vector<uchar> &data, SpliceLayout *layout)
{
    const qint64 rowBytes = RowFilter::filteredRowBytes(layout->width, layout->alpha);
    const qint64 total = rowBytes * layout->height;
    layout->boundaries.clear();
    layout->whole = layout->isValid() && isPlainZlibHeader(data) &&
            inflatesWhole(data, rowBytes, layout->height, total, &layout->boundaries) &&
            !layout->boundaries.empty();
    layout->digest = layout->whole ? digestOf(data) : QByteArray();
}

bool Splice::isWhole(const std::vector<uchar> &data, const SpliceLayout &layout)
{
    std::vector<Boundary> first;
    return layout.isValid() && isPlainZlibHeader(data) &&
            inflatesWhole(data, RowFilter::filteredRowBytes(layout.width, layout.alpha),
                          layout.height, 0, &first);
}

bool Splice::buildStream(const QImage &image, int changedRows, QIODevice *source,
                         const SpliceLayout &layout, SplicedStream *stream)
{
    return buildStream(image, changedRows, source, layout, stream, SizeRule::NoLargerThanQt);
}

bool Splice::buildHead(const QImage &rows, int changedRows, const SpliceLayout &layout,
                       const std::shared_ptr<const std::vector<uchar>> &source,
                       SplicedStream *stream)
{
    return buildHead(rows, changedRows, layout, source, stream, SizeRule::NoLargerThanQt);
}

bool Splice::buildStream(const QImage &image, int changedRows, QIODevice *source,
                         const SpliceLayout &layout, SplicedStream *stream, SizeRule rule)
{
    // The data is the one checkStream found whole: the chunks' CRCs are those it was read with.
    auto data = std::make_shared<std::vector<uchar>>();
    return image.height() == layout.height && layout.whole &&
            readIdatData(source, layout, data.get()) && digestOf(*data) == layout.digest &&
            build(image, changedRows, layout, data, true, stream, rule);
}

bool Splice::buildHead(const QImage &rows, int changedRows, const SpliceLayout &layout,
                       const std::shared_ptr<const std::vector<uchar>> &source,
                       SplicedStream *stream, SizeRule rule)
{
    return rows.height() < layout.height &&
            build(rows, changedRows, layout, source, false, stream, rule);
}

bool Splice::build(const QImage &image, int changedRows, const SpliceLayout &layout,
                   const std::shared_ptr<const std::vector<uchar>> &source, bool checked,
                   SplicedStream *stream, SizeRule rule)
{
    const bool alpha = image.format() == QImage::Format_ARGB32;
    // The row after the last changed one is filtered against it, so it is written anew too; the
    // rows after that are the source's, filtered against rows that are still the source's.
    const int newRows = changedRows == 0 ? 0 : qMin(layout.height, changedRows + 1);
    if (!layout.isValid() || image.width() != layout.width || image.height() > layout.height ||
        image.height() < newRows || alpha != layout.alpha ||
        (!alpha && image.format() != QImage::Format_RGB32) || changedRows < 0 ||
        changedRows > layout.height || !isPlainZlibHeader(*source))
        return false;
    // Carrying the rest over pays only where it is most of the picture: with more than half the
    // rows written anew, the source's data and the new head held side by side cost more memory,
    // and the work around them more time, than the full writer.
    if (2 * qint64(newRows) > layout.height)
        return false;
    const qint64 rowBytes = RowFilter::filteredRowBytes(image.width(), alpha);
    const qint64 total = rowBytes * layout.height;
    const qint64 newBytes = rowBytes * newRows;
    const std::vector<uchar> &data = *source;
    const uchar *raw = data.data() + 2;
    const size_t rawSize = data.size() - 2;
    // A checked source has all its block boundaries; otherwise those the sample needs, which lies
    // in the rows given, are recorded on the way to the cut.
    std::vector<Boundary> found;
    const std::vector<Boundary> &boundaries = checked ? layout.boundaries : found;
    Cut cut;
    if (!findCut(raw, rawSize, newBytes, newBytes + windowBytes, &cut, checked ? nullptr : &found,
                 rowBytes * image.height()) ||
        cut.bytes >= total)
        return false;

    SplicedStream spliced;
    std::vector<uchar> &out = spliced.head;
    out = {0x78, 0x9C};
    uLong headChecksum = adler32(0, nullptr, 0);
    // The rule every compressor is held to, judged before the head is compressed: no more than
    // Qt's writer on the sample. The new head is compressed by a compressor chosen by that rule.
    const auto fits = [&boundaries, rule](const QtEstimate &qtEstimate) {
        return rule == SizeRule::Ignored ||
                (qtEstimate.bytes >= 0 && boundariesCover(boundaries, qtEstimate) &&
                 sampleBytes(boundaries, qtEstimate) <= double(qtEstimate.bytes));
    };
    if (!IdatEncoder::encodeHead(
                image, alpha, newRows, layout.height, fits,
                [&out](const uchar *piece, size_t size) {
                    out.insert(out.end(), piece, piece + size);
                    return true;
                },
                &headChecksum) ||
        !deflateBridge(cut.kept.data(), cut.kept.size(), &out))
        return false;
    headChecksum = adler32(headChecksum, cut.kept.data(), uInt(cut.kept.size()));
    const uLong tailChecksum = adler32Tail(qFromBigEndian<quint32>(data.data() + data.size() - 4),
                                           cut.checksum, total - cut.bytes);

    // The source's data is used where it was read: raw is data after its two-byte header.
    spliced.tailStart = size_t(padToTail(raw, cut.bit, &out) + 2);
    spliced.tailEnd = data.size() - 4;
    qToBigEndian<quint32>(quint32(adler32_combine(headChecksum, tailChecksum, total - cut.bytes)),
                          spliced.trailer);
    spliced.source = source;
    *stream = std::move(spliced);
    return true;
}

std::vector<std::pair<const uchar *, size_t>> SplicedStream::pieces() const
{
    return {{head.data(), head.size()},
            {source->data() + tailStart, tailEnd - tailStart},
            {trailer, sizeof(trailer)}};
}

namespace {

void readIdentity(QFile *file, qint64 *size, QDateTime *modified)
{
    // size() asks the open file itself, and refreshes what fileTime() then reads.
    *size = file->size();
    *modified = file->fileTime(QFileDevice::FileModificationTime);
}

} // namespace

std::shared_ptr<HeldSource> HeldSource::prepare(QFile *file)
{
    std::shared_ptr<HeldSource> held(new HeldSource);
    readIdentity(file, &held->size, &held->modified);
    held->layout = Splice::readLayout(file);
    if (!held->layout.isValid() || !Splice::readIdatData(file, held->layout, &held->data))
        return nullptr;
    return held;
}

HeldSource::~HeldSource() = default;

void HeldSource::check()
{
    Splice::checkStream(data, &layout);
    data = std::vector<uchar>();
}

bool HeldSource::hold(std::unique_ptr<QFile> source)
{
    qint64 sizeNow = 0;
    QDateTime modifiedNow;
    readIdentity(source.get(), &sizeNow, &modifiedNow);
    if (!layout.whole || sizeNow != size || modifiedNow != modified)
        return false;
    file = std::move(source);
    return true;
}

bool HeldSource::isUnchanged() const
{
    qint64 sizeNow = 0;
    QDateTime modifiedNow;
    readIdentity(file.get(), &sizeNow, &modifiedNow);
    return sizeNow == size && modifiedNow == modified;
}

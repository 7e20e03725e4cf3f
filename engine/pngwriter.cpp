#include "pngwriter.h"

#include <QIODevice>
#include <QImage>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <system_error>
#include <thread>
#include <vector>

namespace {

const char signature[] = "\x89PNG\r\n\x1a\n";
constexpr int signatureSize = 8;

// Rows are filtered and compressed in bands of about this many bytes: large enough for zlib to
// work efficiently, small enough that the encoder needs little memory beside the picture.
constexpr qint64 bandBytes = 256 * 1024;
// Each IDAT chunk carries this much compressed data.
constexpr uInt idatBytes = 256 * 1024;
// Deflate looks back at most this far.
constexpr qint64 windowBytes = 32 * 1024;
// Pictures with more filtered bytes than this are compressed by two threads.
constexpr qint64 splitBytes = 1024 * 1024;
// The strategy probe compresses this many bands of this size, spread over the picture: enough to
// notice a picture that is part photograph, part drawing, for about a twentieth of the save time.
constexpr int probeBands = 8;
constexpr qint64 probeBandBytes = 128 * 1024;

enum FilterType { FilterNone, FilterSub, FilterUp, FilterAverage, FilterPaeth, filterTypeCount };

// Turns picture rows into PNG's filtered rows (filter type byte, then the filtered bytes), choosing
// for each row the filter whose output has the smallest sum of absolute values, read as signed
// bytes: the usual heuristic, the one Qt's writer uses too.
class RowFilter
{
public:
    RowFilter(const QImage &image, bool alpha)
        : image(image),
          bytesPerPixel(alpha ? 4 : 3),
          rowBytes(qint64(image.width()) * bytesPerPixel),
          current(size_t(rowBytes)),
          prior(size_t(rowBytes)),
          candidates(size_t(rowBytes) * filterTypeCount)
    { }

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

        int best = FilterNone;
        quint64 bestSum = absoluteSum(none, size);
        for (int type = FilterSub; type < filterTypeCount; ++type) {
            const quint64 sum = absoluteSum(none + type * size, size);
            if (sum < bestSum) {
                bestSum = sum;
                best = type;
            }
        }
        out[0] = uchar(best);
        std::memcpy(out + 1, none + best * size, size_t(size));
        current.swap(prior);
    }

private:
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
    std::vector<uchar> current;
    std::vector<uchar> prior;
    std::vector<uchar> candidates;
};

bool writeAll(QIODevice *device, const void *data, qint64 size)
{
    return device->write(static_cast<const char *>(data), size) == size;
}

// A chunk's CRC covers its type and its data.
quint32 chunkCrc(const char *type, const void *data, uInt size)
{
    const uLong sum = crc32(0, reinterpret_cast<const uchar *>(type), 4);
    // zlib's crc32 answers its initial value, not the running sum, when given no buffer.
    return quint32(size > 0 ? crc32(sum, static_cast<const uchar *>(data), size) : sum);
}

bool writeChunk(QIODevice *device, const char *type, const uchar *data, uInt size)
{
    uchar head[8];
    qToBigEndian<quint32>(size, head);
    std::memcpy(head + 4, type, 4);
    uchar crc[4];
    qToBigEndian<quint32>(chunkCrc(type, data, size), crc);
    return writeAll(device, head, 8) && writeAll(device, data, size) && writeAll(device, crc, 4);
}

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

// Size of the zlib stream that compresses data with the given strategy, or -1 on failure.
qint64 compressedSize(const std::vector<uchar> &data, int strategy)
{
    z_stream stream;
    if (!startDeflate(&stream, strategy))
        return -1;
    std::vector<uchar> out(deflateBound(&stream, uLong(data.size())));
    stream.next_in = const_cast<uchar *>(data.data());
    stream.avail_in = uInt(data.size());
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const qint64 size = qint64(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? size : -1;
}

// Photographs compress about as well with Huffman coding alone as with zlib's default level, and
// many times faster; screenshots and drawings need the string matching. So a few bands spread over
// the picture are compressed three ways, and the strategy that gave the fewest bytes is used for
// the whole picture. Ties go to the faster strategy.
int chooseStrategy(const QImage &image, RowFilter &filter)
{
    const int strategies[] = {Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED};
    qint64 totals[3] = {};
    const int height = image.height();
    const int bandRows = rowsPerBand(filter, probeBandBytes);
    // Smaller pictures get fewer bands, so that the probe samples about an eighth of the picture
    // at most and does not cost more than the save it serves. The bands keep their size: zlib
    // compresses short pieces worse with string matching than without, which would bias the
    // choice.
    const qint64 pictureBytes = filter.filteredRowBytes() * height;
    const int bands =
            int(qBound(qint64(1), pictureBytes / (8 * probeBandBytes), qint64(probeBands)));
    std::vector<uchar> band;
    for (int index = 0; index < bands; ++index) {
        // Centred in equal slices of the picture.
        const int first = int(qint64(height) * (2 * index + 1) / (2 * bands)) - bandRows / 2;
        const int start = qBound(0, first, qMax(0, height - bandRows));
        const int rows = qMin(bandRows, height - start);
        band.resize(size_t(filter.filteredRowBytes() * rows));
        filter.seek(start);
        for (int row = 0; row < rows; ++row)
            filter.filterRow(start + row, band.data() + row * filter.filteredRowBytes());
        for (int s = 0; s < 3; ++s) {
            const qint64 size = compressedSize(band, strategies[s]);
            totals[s] = (size < 0 || totals[s] < 0) ? -1 : totals[s] + size;
        }
    }
    int best = 2;
    for (int s = 1; s >= 0; --s) {
        if (totals[s] >= 0 && totals[s] <= totals[best])
            best = s;
    }
    return strategies[best];
}

// Receives compressed data in pieces of at most idatBytes.
using Sink = std::function<bool(const uchar *data, uInt size)>;

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

bool writeIdat(QIODevice *device, const uchar *data, uInt size)
{
    return writeChunk(device, "IDAT", data, size);
}

Sink idatSink(QIODevice *device)
{
    return [device](const uchar *data, uInt size) {
        return writeIdat(device, data, size);
    };
}

// One zlib stream over all rows, written as it comes.
bool writeImageData(RowFilter &filter, int height, int strategy, QIODevice *device)
{
    z_stream stream;
    if (!startDeflate(&stream, strategy))
        return false;
    const bool ok = compressRows(filter, 0, height, &stream, Z_FINISH, idatSink(device), nullptr);
    deflateEnd(&stream);
    return ok;
}

// The same zlib stream made by two threads, each compressing half of the rows. The first half
// opens the stream and ends with a sync flush, which leaves the stream open on a byte boundary;
// the second half continues it as raw deflate data primed with the last 32 KiB that the first
// half compressed, so that matches may reach back across the seam as in a single stream, and
// closes it. The stream's checksum is the two halves' Adler-32 combined.
bool writeImageDataInHalves(const QImage &image, bool alpha, RowFilter &filter, int strategy,
                            QIODevice *device)
{
    const int height = image.height();
    const int middle = height / 2;
    const qint64 rowBytes = filter.filteredRowBytes();

    std::vector<std::vector<uchar>> tail;
    uLong tailChecksum = adler32(0, nullptr, 0);
    bool tailOk = false;
    const auto compressTail = [&]() {
        RowFilter own(image, alpha);
        const int dictionaryRows =
                int(qMin(qint64(middle), qint64((windowBytes + rowBytes - 1) / rowBytes)));
        std::vector<uchar> previous(size_t(rowBytes * dictionaryRows));
        own.seek(middle - dictionaryRows);
        for (int row = 0; row < dictionaryRows; ++row)
            own.filterRow(middle - dictionaryRows + row, previous.data() + row * rowBytes);
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
    std::thread worker;
    try {
        worker = std::thread(compressTail);
    } catch (const std::system_error &) {
        return writeImageData(filter, height, strategy, device);
    }

    z_stream stream;
    bool headOk = startDeflate(&stream, strategy);
    uLong headChecksum = 0;
    if (headOk) {
        headOk = compressRows(filter, 0, middle, &stream, Z_SYNC_FLUSH, idatSink(device), nullptr);
        // With the zlib wrapper, zlib keeps the checksum of everything compressed so far.
        headChecksum = stream.adler;
        deflateEnd(&stream);
    }
    worker.join();
    if (!headOk || !tailOk || tail.empty())
        return false;

    const qint64 tailBytes = rowBytes * (height - middle);
    uchar trailer[4];
    qToBigEndian<quint32>(quint32(adler32_combine(headChecksum, tailChecksum, tailBytes)), trailer);
    tail.back().insert(tail.back().end(), trailer, trailer + 4);
    for (const std::vector<uchar> &piece : tail) {
        if (!writeIdat(device, piece.data(), uInt(piece.size())))
            return false;
    }
    return true;
}

bool isOneOf(const QByteArray &type, std::initializer_list<const char *> names)
{
    return std::any_of(names.begin(), names.end(),
                       [&type](const char *name) { return type == name; });
}

// Colour and pixel size, which decoders heed only before the pixel data.
bool isColourOrSizeType(const QByteArray &type)
{
    return isOneOf(type, {"iCCP", "sRGB", "gAMA", "cHRM", "pHYs"});
}

bool isKeptType(const QByteArray &type, bool afterPixels)
{
    // Colour, pixel size, text and Exif still describe the picture. Everything tied to the
    // source's pixel layout (palette, transparency key, significant bits, background, histogram,
    // animation) and the modification time are dropped. Colour and size that stood after the
    // pixel data had no effect there, and would take effect before the written pixels.
    if (isColourOrSizeType(type))
        return !afterPixels;
    return isOneOf(type, {"tEXt", "zTXt", "iTXt", "eXIf"});
}

// An ICC profile describes RGB, grey, CMYK… data (bytes 16 to 19 of the profile); only an RGB one
// still holds for the RGB or RGBA pixels written. iCCP data: name, NUL, method, zlib stream.
bool isRgbProfile(const QByteArray &data)
{
    const int nameEnd = data.indexOf('\0');
    if (nameEnd < 0 || data.size() < nameEnd + 2)
        return false;
    uchar head[20];
    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData())) + nameEnd + 2;
    stream.avail_in = uInt(data.size() - nameEnd - 2);
    stream.next_out = head;
    stream.avail_out = sizeof(head);
    const int result = inflate(&stream, Z_SYNC_FLUSH);
    const bool whole = stream.avail_out == 0 && (result == Z_OK || result == Z_STREAM_END);
    inflateEnd(&stream);
    return whole && std::memcmp(head + 16, "RGB ", 4) == 0;
}

bool isChunkType(const QByteArray &type)
{
    return std::all_of(type.begin(), type.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

} // namespace

QByteArray PngWriter::readKeptChunks(QIODevice *device)
{
    if (!device->seek(0) || device->read(signatureSize) != QByteArray(signature, signatureSize))
        return QByteArray();
    QByteArray kept;
    bool afterPixels = false;
    for (;;) {
        const QByteArray head = device->read(8);
        if (head.size() != 8)
            break;
        const qint64 length = qFromBigEndian<quint32>(head.constData());
        const QByteArray type = head.mid(4);
        if (length > 0x7FFFFFFF || !isChunkType(type) || type == "IEND")
            break;
        afterPixels = afterPixels || type == "IDAT";
        if (isKeptType(type, afterPixels) && kept.size() + 12 + length <= maxKeptChunkBytes) {
            const QByteArray rest = device->read(length + 4);
            if (rest.size() != length + 4)
                break;
            if (chunkCrc(type.constData(), rest.constData(), uInt(length)) !=
                qFromBigEndian<quint32>(rest.constData() + length))
                break;
            if (type != "iCCP" || isRgbProfile(rest.left(int(length))))
                kept += head + rest;
        } else {
            // Skipped unread, so that the pixel data never passes through memory a second time.
            const qint64 next = device->pos() + length + 4;
            if (next > device->size() || !device->seek(next))
                break;
        }
    }
    return kept;
}

QImage PngWriter::to32Bit(const QImage &image)
{
    if (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32)
        return image;
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                         : QImage::Format_RGB32);
}

bool PngWriter::write(const QImage &image, const QByteArray &extraChunks, QIODevice *device)
{
    const QImage picture = to32Bit(image);
    if (picture.isNull())
        return false;
    const bool alpha = picture.format() == QImage::Format_ARGB32;

    uchar header[13];
    qToBigEndian<quint32>(quint32(picture.width()), header);
    qToBigEndian<quint32>(quint32(picture.height()), header + 4);
    header[8] = 8; // bits per channel
    header[9] = alpha ? 6 : 2; // RGBA or RGB
    header[10] = 0; // deflate
    header[11] = 0; // adaptive filtering
    header[12] = 0; // not interlaced
    if (!writeAll(device, signature, signatureSize) || !writeChunk(device, "IHDR", header, 13) ||
        !writeAll(device, extraChunks.constData(), extraChunks.size()))
        return false;

    RowFilter filter(picture, alpha);
    const int strategy = chooseStrategy(picture, filter);
    const bool split = filter.filteredRowBytes() * picture.height() >= splitBytes &&
            picture.height() >= 2 && std::thread::hardware_concurrency() >= 2;
    const bool written = split ? writeImageDataInHalves(picture, alpha, filter, strategy, device)
                               : writeImageData(filter, picture.height(), strategy, device);
    return written && writeChunk(device, "IEND", nullptr, 0);
}

#include "pngwriter.h"

#include "idatencoder.h"
#include "chunkreader.h"

#include <QIODevice>
#include <QList>
#include <QImage>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace {

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

// A keyword of a text or profile chunk, as the PNG rules have it: 1 to 79 printable Latin-1
// characters, no leading, trailing or doubled space.
bool isKeyword(const QByteArray &keyword)
{
    if (keyword.isEmpty() || keyword.size() > 79 || keyword.startsWith(' ') ||
        keyword.endsWith(' ') || keyword.contains("  "))
        return false;
    return std::all_of(keyword.begin(), keyword.end(), [](char c) {
        const uchar byte = uchar(c);
        return (byte >= 32 && byte <= 126) || byte >= 161;
    });
}

// Whether data is one whole zlib stream of at most 1 MiB inflated, the most that other decoders
// accept in one chunk (PIL refuses more). It is inflated into a scratch buffer without keeping the
// output. budget bounds what all the streams of one file may inflate to, so that a small file
// costs little whatever its chunks claim; a stream that would need more is not accepted.
bool inflatesWhole(const char *data, qint64 size, qint64 *budget)
{
    constexpr qint64 maxInflated = 1024 * 1024;
    z_stream stream {};
    if (inflateInit(&stream) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    stream.avail_in = uInt(size);
    uchar scratch[16 * 1024];
    int result = Z_OK;
    qint64 allowed = qMin(*budget, maxInflated);
    while (result == Z_OK && allowed > 0) {
        stream.next_out = scratch;
        stream.avail_out = uInt(qMin<qint64>(sizeof(scratch), allowed));
        result = inflate(&stream, Z_NO_FLUSH);
        allowed -= qint64(stream.next_out - scratch);
        *budget -= qint64(stream.next_out - scratch);
    }
    const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return whole;
}

// White point, red, green and blue, each x and y in units of 1/100000: coordinates that a colour
// can have, as validators check them (each at most 0.8, together at most 1).
bool hasValidChromaticities(const QByteArray &data)
{
    for (int point = 0; point < 4; ++point) {
        const quint32 x = qFromBigEndian<quint32>(data.constData() + 8 * point);
        const quint32 y = qFromBigEndian<quint32>(data.constData() + 8 * point + 4);
        if (x > 80000 || y > 80000 || x + y > 100000)
            return false;
    }
    return true;
}

// Whether a chunk that may be carried over is well formed, so that the saved file never
// inherits a source's faults.
bool isWellFormed(const QByteArray &type, const QByteArray &data, qint64 *budget)
{
    if (type == "gAMA")
        return data.size() == 4 && qFromBigEndian<quint32>(data.constData()) != 0;
    if (type == "cHRM")
        return data.size() == 32 && hasValidChromaticities(data);
    if (type == "sRGB")
        return data.size() == 1 && uchar(data.at(0)) <= 3;
    if (type == "pHYs")
        return data.size() == 9 && uchar(data.at(8)) <= 1;
    if (type == "eXIf")
        return data.startsWith(QByteArray("MM\0*", 4)) || data.startsWith(QByteArray("II*\0", 4));
    const int keywordEnd = data.indexOf('\0');
    if (keywordEnd < 0 || !isKeyword(data.left(keywordEnd)))
        return false;
    const char *rest = data.constData() + keywordEnd + 1;
    const qint64 restSize = data.size() - keywordEnd - 1;
    if (type == "tEXt")
        return !data.mid(keywordEnd + 1).contains('\0');
    if (type == "zTXt" || type == "iCCP") // compression method 0, then the stream
        return restSize >= 1 && rest[0] == 0 && inflatesWhole(rest + 1, restSize - 1, budget);
    if (type == "iTXt") {
        // Compressed or not, method 0, then a language tag and a translated keyword.
        const QByteArray tail = data.mid(keywordEnd + 1);
        const int languageEnd = tail.indexOf('\0', 2);
        const int translatedEnd = languageEnd < 0 ? -1 : tail.indexOf('\0', languageEnd + 1);
        if (tail.size() < 2 || uchar(tail.at(0)) > 1 || tail.at(1) != 0 || translatedEnd < 0)
            return false;
        return tail.at(0) == 0 ||
                inflatesWhole(tail.constData() + translatedEnd + 1, tail.size() - translatedEnd - 1,
                              budget);
    }
    return false;
}

// Chunks of which a file holds at most one. iCCP and sRGB both say what the colours are, so at
// most one of the two is kept: the first.
bool isSingle(const QByteArray &type)
{
    return isColourOrSizeType(type) || type == "eXIf";
}

QByteArray singleSlot(const QByteArray &type)
{
    return type == "sRGB" ? QByteArray("iCCP") : type;
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
    QList<QByteArray> singlesKept;
    qint64 inflateBudget = maxKeptChunkBytes;
    ChunkReader reader(device);
    ChunkReader::Chunk chunk;
    while (reader.next(&chunk) && isChunkType(chunk.type) && chunk.type != "IEND") {
        const QByteArray &type = chunk.type;
        afterPixels = afterPixels || type == "IDAT";
        // Others are skipped unread, so that the pixel data never passes through memory twice.
        if (!isKeptType(type, afterPixels) || kept.size() + 12 + chunk.length > maxKeptChunkBytes)
            continue;
        QByteArray whole;
        if (!reader.readWhole(chunk, &whole))
            break;
        const QByteArray data = whole.mid(8, int(chunk.length));
        const bool duplicate = isSingle(type) && singlesKept.contains(singleSlot(type));
        if (!duplicate && isWellFormed(type, data, &inflateBudget) &&
            (type != "iCCP" || isRgbProfile(data))) {
            kept += whole;
            if (isSingle(type))
                singlesKept << singleSlot(type);
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

namespace {

// The signature, the header and the extra chunks, which come before the pixel data.
bool writeHead(QSize size, bool alpha, const QByteArray &extraChunks, QIODevice *device)
{
    uchar header[13];
    qToBigEndian<quint32>(quint32(size.width()), header);
    qToBigEndian<quint32>(quint32(size.height()), header + 4);
    header[8] = 8; // bits per channel
    header[9] = alpha ? 6 : 2; // RGBA or RGB
    header[10] = 0; // deflate
    header[11] = 0; // adaptive filtering
    header[12] = 0; // not interlaced
    return writeAll(device, PngWriter::signature, PngWriter::signatureSize) &&
            writeChunk(device, "IHDR", header, 13) &&
            writeAll(device, extraChunks.constData(), extraChunks.size());
}

} // namespace

bool PngWriter::write(const QImage &image, const QByteArray &extraChunks, QIODevice *device)
{
    const QImage picture = to32Bit(image);
    if (picture.isNull())
        return false;
    const bool alpha = picture.format() == QImage::Format_ARGB32;
    if (!writeHead(picture.size(), alpha, extraChunks, device))
        return false;

    const bool written =
            IdatEncoder::encode(picture, alpha, [device](const uchar *data, quint32 size) {
                return writeChunk(device, "IDAT", data, size);
            });
    return written && writeChunk(device, "IEND", nullptr, 0);
}

bool PngWriter::writeStream(QSize size, bool alpha, const QByteArray &extraChunks,
                            const std::vector<std::pair<const uchar *, size_t>> &stream,
                            QIODevice *device)
{
    // As the encoder cuts its stream.
    constexpr size_t idatBytes = 256 * 1024;
    if (!writeHead(size, alpha, extraChunks, device))
        return false;
    std::vector<uchar> chunk;
    chunk.reserve(idatBytes);
    for (const auto &[data, size] : stream) {
        for (size_t start = 0; start < size;) {
            const size_t part = qMin(size - start, idatBytes - chunk.size());
            chunk.insert(chunk.end(), data + start, data + start + part);
            start += part;
            if (chunk.size() == idatBytes) {
                if (!writeChunk(device, "IDAT", chunk.data(), uInt(chunk.size())))
                    return false;
                chunk.clear();
            }
        }
    }
    return (chunk.empty() || writeChunk(device, "IDAT", chunk.data(), uInt(chunk.size()))) &&
            writeChunk(device, "IEND", nullptr, 0);
}

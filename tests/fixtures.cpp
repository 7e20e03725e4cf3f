#include "fixtures.h"

#include <QBuffer>
#include <QDataStream>
#include <QFile>
#include <QImageWriter>
#include <QVector>
#include <QtEndian>

#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <csignal>

quint32 nextNoise(quint32 &state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

QImage noiseImage(QSize size, QImage::Format format, quint32 seed, int alpha)
{
    const bool keepsAlpha = format == QImage::Format_ARGB32 || format == QImage::Format_RGBA64;
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const quint32 value = nextNoise(seed);
            const quint32 a = !keepsAlpha ? 0xFF : alpha < 0 ? nextNoise(seed) >> 24 : alpha;
            image.setPixel(x, y, (a << 24) | (value & 0xFFFFFF));
        }
    }
    return image.convertToFormat(format);
}

QByteArray gifFile(const QImage &indexed)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("GIF89a", 6);
    // A global table of 256 colours, then one picture over the whole screen.
    out << quint16(indexed.width()) << quint16(indexed.height()) << quint8(0xF7) << quint8(0)
        << quint8(0);
    for (int i = 0; i < 256; ++i) {
        const QRgb colour = i < indexed.colorCount() ? indexed.color(i) : 0;
        out << quint8(qRed(colour)) << quint8(qGreen(colour)) << quint8(qBlue(colour));
    }
    out << quint8(0x2C) << quint16(0) << quint16(0) << quint16(indexed.width())
        << quint16(indexed.height()) << quint8(0) << quint8(8);

    QByteArray codes;
    quint32 bits = 0;
    int filled = 0;
    const auto putCode = [&](int code) {
        bits |= quint32(code) << filled;
        for (filled += 9; filled >= 8; filled -= 8, bits >>= 8)
            codes.append(char(bits));
    };
    const int clear = 256;
    int sinceClear = 0;
    putCode(clear);
    for (int y = 0; y < indexed.height(); ++y) {
        for (int x = 0; x < indexed.width(); ++x) {
            // Each code after the first adds a table entry; 254 keep the codes 9 bits wide.
            if (sinceClear == 254) {
                putCode(clear);
                sinceClear = 0;
            }
            putCode(indexed.pixelIndex(x, y));
            ++sinceClear;
        }
    }
    putCode(clear + 1);
    if (filled > 0)
        codes.append(char(bits));
    for (int start = 0; start < codes.size(); start += 255) {
        const QByteArray block = codes.mid(start, 255);
        out << quint8(block.size());
        out.writeRawData(block.constData(), block.size());
    }
    out << quint8(0) << quint8(0x3B);
    return bytes;
}

QByteArray iconWithPng(const QByteArray &png, int width, int height)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(1) << quint8(width) << quint8(height) << quint8(0)
        << quint8(0) << quint16(1) << quint16(32) << quint32(png.size()) << quint32(6 + 16);
    return bytes + png;
}

QImage photoLikeImage(QSize size, quint32 seed)
{
    const int width = size.width();
    const int height = size.height();
    QImage image(size, QImage::Format_RGB32);
    QVector<int> columnShade(width);
    QVector<int> rowShade(height);
    for (int x = 0; x < width; ++x)
        columnShade[x] = int(60 + 50 * std::sin(x * 6.0 / width));
    for (int y = 0; y < height; ++y)
        rowShade[y] = int(60 + 50 * std::cos(y * 4.0 / height));
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const quint32 noise = nextNoise(seed);
            const auto level = [noise](int shift) {
                return int((noise >> shift) & 15) - 8;
            };
            const int red = 30 + 190 * x / width + level(0);
            const int green = 20 + 200 * y / height + level(8);
            const int blue = columnShade.at(x) + rowShade.at(y) + level(16);
            line[x] = qRgb(qBound(0, red, 255), qBound(0, green, 255), qBound(0, blue, 255));
        }
    }
    return image;
}

QByteArray encoded(const QImage &image, const QByteArray &format)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    return writer.write(image) ? buffer.data() : QByteArray();
}

QPoint walkPoint(const QImage &image, int index)
{
    return QPoint(index / image.height(), index % image.height());
}

void setDigit(QImage &image, int index, bool one)
{
    const QPoint point = walkPoint(image, index / 3);
    const QRgb value = image.pixel(point);
    int channels[] = {qRed(value), qGreen(value), qBlue(value)};
    channels[index % 3] = (channels[index % 3] & 0xFE) | int(one);
    image.setPixel(point, qRgba(channels[0], channels[1], channels[2], qAlpha(value)));
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data) {
        crc ^= uchar(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

QByteArray makeChunk(const QByteArray &type, const QByteArray &data)
{
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    chunk += type + data;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(crc32(type + data), crc.data());
    return chunk + crc;
}

QByteArray info40(qint32 width, qint32 height, quint16 bitCount, quint32 compression,
                  quint32 colours)
{
    return littleEndian(quint32(40), width, height, quint16(1), bitCount, compression, quint32(0),
                        quint32(2835), quint32(2835), colours, quint32(0));
}

QByteArray bmpFile(const QByteArray &info, const QByteArray &palette, const QByteArray &pixels,
                   qint64 offset)
{
    const qint64 start = 14 + info.size() + palette.size();
    return littleEndian(quint16(0x4D42), quint32(start + pixels.size()), quint32(0),
                        quint32(offset < 0 ? start : offset)) +
            info + palette + pixels;
}

const QByteArray redBluePalette = littleEndian(quint32(0x00FF0000), quint32(0x000000FF));

QByteArray runLengthBmp(quint16 bitCount, const QByteArray &runs, qint32 side)
{
    return bmpFile(info40(side, side, bitCount, bitCount == 8 ? 1 : 2, 2), redBluePalette, runs);
}

QByteArray announcingPng(quint32 width, quint32 height)
{
    QByteArray header;
    QDataStream(&header, QIODevice::WriteOnly)
            << width << height << quint8(8) << quint8(2) << quint8(0) << quint8(0) << quint8(0);
    const int rowBytes = int(qMin((1 + 3 * quint64(width)) * height, quint64(64)));
    return QByteArray("\x89PNG\r\n\x1a\n") + makeChunk("IHDR", header) +
            makeChunk("IDAT", qCompress(QByteArray(rowBytes, '\0')).mid(4)) + // the zlib stream
            makeChunk("IEND");
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    getrlimit(RLIMIT_FSIZE, &saved);
    previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved;
    lowered.rlim_cur = bytes;
    active = bytes == 0 || setrlimit(RLIMIT_FSIZE, &lowered) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
}

namespace {

uchar paeth(int left, int up, int upLeft)
{
    const int estimate = left + up - upLeft;
    const int toLeft = std::abs(estimate - left);
    const int toUp = std::abs(estimate - up);
    const int toUpLeft = std::abs(estimate - upLeft);
    if (toLeft <= toUp && toLeft <= toUpLeft)
        return uchar(left);
    return uchar(toUp <= toUpLeft ? up : upLeft);
}

} // namespace

QByteArray handFilteredRows(const QImage &image, int filter)
{
    const bool alpha = image.format() == QImage::Format_ARGB32;
    const int pixelBytes = alpha ? 4 : 3;
    const int rowBytes = image.width() * pixelBytes;
    QByteArray prior(rowBytes, '\0');
    QByteArray out;
    for (int y = 0; y < image.height(); ++y) {
        QByteArray row;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            row += char(qRed(pixel));
            row += char(qGreen(pixel));
            row += char(qBlue(pixel));
            if (alpha)
                row += char(qAlpha(pixel));
        }
        const int type = filter == everyFilter ? y % 5 : filter;
        out += char(type);
        for (int i = 0; i < rowBytes; ++i) {
            const int left = i >= pixelBytes ? uchar(row.at(i - pixelBytes)) : 0;
            const int up = uchar(prior.at(i));
            const int upLeft = i >= pixelBytes ? uchar(prior.at(i - pixelBytes)) : 0;
            const int predictions[] = {0, left, up, (left + up) / 2, paeth(left, up, upLeft)};
            out += char(uchar(row.at(i)) - predictions[type]);
        }
        prior = row;
    }
    return out;
}

QByteArray zlibInBlocks(const QByteArray &data, int blockBytes, int level)
{
    z_stream stream {};
    if (deflateInit(&stream, level) != Z_OK)
        return {};
    // Each block ended early costs at most a block header and a few bits; fixed codes take up to
    // 9 bits a byte.
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))) + data.size() / 4 +
                           (data.size() / blockBytes + 1) * 64 + 4096,
                   '\0');
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    int result = Z_OK;
    for (int start = 0; result == Z_OK; start += blockBytes) {
        const int size = qMax(0, qMin(blockBytes, data.size() - start));
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData())) + start;
        stream.avail_in = uInt(size);
        result = deflate(&stream, start + size >= data.size() ? Z_FINISH : Z_BLOCK);
    }
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray();
}

QByteArray pngWithStream(const QImage &image, const QByteArray &stream, int idatBytes)
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(quint32(image.width()), header.data());
    qToBigEndian<quint32>(quint32(image.height()), header.data() + 4);
    header[8] = 8;
    header[9] = image.format() == QImage::Format_ARGB32 ? 6 : 2;
    QByteArray file = QByteArray("\x89PNG\r\n\x1a\n", 8) + makeChunk("IHDR", header);
    for (int start = 0; start < stream.size(); start += idatBytes)
        file += makeChunk("IDAT", stream.mid(start, idatBytes));
    return file + makeChunk("IEND");
}

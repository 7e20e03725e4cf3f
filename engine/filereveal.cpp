#include "filereveal.h"

#include "hidingrules.h"
#include "pictureformat.h"
#include "pictureguard.h"
#include "pngreader.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QLatin1Char>
#include <QVector>
#include <QtEndian>

#include <algorithm>
#include <functional>

namespace {

using LoadResult = CarrierImage::LoadResult;

// The length header: 12 base-2 digits counting the body's bits.
constexpr int headerDigits = 12;
// The most pixels of the walk that extracting reads: the header and the longest body it counts.
constexpr qint64 longestWalk = (headerDigits + 4095 + 2) / 3;
// Gathers the first pixels of the walk (column by column from the left, each column from the top)
// from rows read from the top, each row only as far as the walk reaches.
class WalkReader
{
public:
    // Reads row y, which grows by one from call to call, into at least columns pixels.
    using RowSource = std::function<bool(int y, int columns, QRgb *pixels)>;

    WalkReader(int width, int height, const RowSource &source)
        : width(width), height(height), source(source)
    {
        walk.resize(int(qMin(qint64(width) * height, longestWalk)));
        columns = int((walk.size() + height - 1) / height);
        row.resize(width);
    }

    // Reads on until the walk's first `pixels` pixels are known; they lie in rows 0 to
    // min(height, pixels) - 1.
    bool readUpTo(qint64 pixels)
    {
        const int rows = int(qMin(qint64(height), pixels));
        for (; rowsRead < rows; ++rowsRead) {
            if (!source(rowsRead, columns, row.data()))
                return false;
            for (int x = 0; x < columns; ++x) {
                const qint64 index = qint64(x) * height + rowsRead;
                if (index < walk.size())
                    walk[int(index)] = row.at(x);
            }
        }
        return true;
    }

    // What CarrierImage::extractBits gives for the picture, reading only the pixels it needs: the
    // same answer, though a body that cannot be a message is not read.
    bool extractBits(QString *bits)
    {
        const qint64 positions = qint64(width) * height * 3;
        bits->clear();
        if (positions < headerDigits)
            return true;
        if (!readUpTo((headerDigits + 2) / 3))
            return false;
        int count = 0;
        for (int index = 0; index < headerDigits; ++index)
            count = (count << 1) | digit(index);
        if (count == 0 || headerDigits + count > positions)
            return true;
        // A body of no whole number of bytes is no message, whatever it holds.
        if (count % 8 != 0) {
            *bits = QString(count, QLatin1Char('0'));
            return true;
        }
        // Nor is one read to its end once its first bytes show it cannot be a message, so that
        // a picture without one costs a few rows.
        QByteArray start;
        for (int byte = 0; byte < count / 8; ++byte) {
            if (!readUpTo((headerDigits + 8 * (byte + 1) + 2) / 3))
                return false;
            uint value = 0;
            for (int index = headerDigits + 8 * byte; index < headerDigits + 8 * (byte + 1);
                 ++index)
                value = (value << 1) | uint(digit(index));
            start += char(value);
            if (HidingRules::cannotStartMessage(start)) {
                *bits = QString(count, QLatin1Char('0'));
                return true;
            }
        }
        *bits = QString(count, QLatin1Char('0'));
        for (int index = 0; index < count; ++index) {
            if (digit(headerDigits + index))
                (*bits)[index] = QLatin1Char('1');
        }
        return true;
    }

private:
    int digit(int index) const { return (walk.at(index / 3) >> (16 - 8 * (index % 3))) & 1; }

    int width;
    int height;
    RowSource source;
    QVector<QRgb> walk;
    QVector<QRgb> row;
    int columns = 1;
    int rowsRead = 0;
};

// What the partial read found.
struct Head
{
    int width = 0;
    int height = 0;
    QString bits;
};

// A non-interlaced PNG file: libpng decodes rows from the top until the walk's pixels are known.
bool readPngHead(QFile *file, Head *head)
{
    PngReader::RowReader reader;
    if (!reader.start(file, CarrierImage::maxSide))
        return false;
    head->width = reader.getWidth();
    head->height = reader.getHeight();
    // libpng decodes whole rows; the walk keeps their first pixels.
    WalkReader walk(head->width, head->height,
                    [&reader](int, int, QRgb *pixels) { return reader.readRow(pixels); });
    return walk.extractBits(&head->bits) && PngReader::restIsWhole(file);
}

// An uncompressed 24- or 32-bit BMP with the common 40-byte info header, which Qt's reader
// decodes as blue, green, red (and an unused byte) from where the header says the pixels start,
// or where the header ends if that is later. Only the pixels the walk needs are read. The guard
// has checked that the file holds every row.
bool readBmpHead(const QString &path, Head *head)
{
    QFile file(path);
    // Unbuffered: each read fetches only the pixels asked for.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray header = file.read(54);
    if (header.size() != 54)
        return false;
    const char *bytes = header.constData();
    const qint64 pixelOffset = qFromLittleEndian<quint32>(bytes + 10);
    const quint32 infoSize = qFromLittleEndian<quint32>(bytes + 14);
    const qint32 width = qFromLittleEndian<qint32>(bytes + 18);
    const qint32 height = qFromLittleEndian<qint32>(bytes + 22); // negative: top-down
    const quint16 planes = qFromLittleEndian<quint16>(bytes + 26);
    const quint16 bitCount = qFromLittleEndian<quint16>(bytes + 28);
    const quint32 compression = qFromLittleEndian<quint32>(bytes + 30);
    if (infoSize != 40 || planes != 1 || compression != 0 || (bitCount != 24 && bitCount != 32) ||
        width <= 0 || height == 0 || width > CarrierImage::maxSide ||
        qAbs(qint64(height)) > CarrierImage::maxSide)
        return false;
    head->width = width;
    head->height = int(qAbs(qint64(height)));
    const qint64 start = qMax(pixelOffset, qint64(54));
    const qint64 rowSize = (qint64(bitCount) * width + 31) / 32 * 4;
    const int pixelSize = bitCount / 8;
    QByteArray row;
    const bool bottomUp = height > 0;
    const int rows = head->height;
    WalkReader walk(head->width, head->height, [&](int y, int columns, QRgb *pixels) {
        const qint64 stored = bottomUp ? rows - 1 - y : y;
        row.resize(columns * pixelSize);
        if (!file.seek(start + stored * rowSize) || file.read(row.data(), row.size()) != row.size())
            return false;
        const auto *in = reinterpret_cast<const uchar *>(row.constData());
        for (int x = 0; x < columns; ++x, in += pixelSize)
            pixels[x] = qRgb(in[2], in[1], in[0]);
        return true;
    });
    return walk.extractBits(&head->bits);
}

} // namespace

CarrierImage::LoadResult FileReveal::read(const QString &path)
{
    *this = FileReveal();
    // The same checks as CarrierImage::load, in its order: regular files only, then the guard.
    if (QFileInfo(path).isFile()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            const PictureGuard::Verdict verdict = PictureGuard::check(&file, CarrierImage::maxSide);
            Head head;
            bool read = false;
            const PictureFormat::Decoder decoder =
                    verdict.outcome == PictureGuard::Outcome::Decodable
                    ? verdict.format->decoder
                    : PictureFormat::Decoder::Qt;
            // An icon's PNG is small; the full load reads it.
            if (decoder == PictureFormat::Decoder::OurPng && verdict.pngSize == 0)
                read = readPngHead(&file, &head);
            else if (decoder == PictureFormat::Decoder::QtIntoClearedPicture)
                read = readBmpHead(path, &head);
            if (read) {
                width = head.width;
                height = head.height;
                capacity = CarrierImage::capacityFor(width, height);
                reveal(head.bits);
                pathTaken = Path::Partial;
                return LoadResult::Loaded;
            }
        }
    }
    return readWhole(path);
}

CarrierImage::LoadResult FileReveal::readWhole(const QString &path)
{
    CarrierImage picture;
    const LoadResult result = picture.load(path);
    pathTaken = Path::Whole;
    if (result != LoadResult::Loaded)
        return result;
    width = picture.getImage().width();
    height = picture.getImage().height();
    capacity = picture.getCapacity();
    found = picture.revealMessage();
    revealedText = picture.getRevealedText();
    revealedBytes = picture.getRevealedBytes();
    return result;
}

void FileReveal::reveal(const QString &bits)
{
    CarrierImage decoder;
    decoder.setBitString(bits);
    found = decoder.bitsToText();
    revealedText = decoder.getRevealedText();
    revealedBytes = decoder.getRevealedBytes();
}

int FileReveal::getWidth() const
{
    return width;
}

int FileReveal::getHeight() const
{
    return height;
}

int FileReveal::getCapacity() const
{
    return capacity;
}

bool FileReveal::hasMessage() const
{
    return found;
}

QString FileReveal::getRevealedText() const
{
    return revealedText;
}

QByteArray FileReveal::getRevealedBytes() const
{
    return revealedBytes;
}

FileReveal::Path FileReveal::getPath() const
{
    return pathTaken;
}

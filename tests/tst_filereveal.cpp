#include "filereveal.h"

#include "carrierimage.h"
#include "fixtures.h"

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QVector>
#include <QtEndian>

#include <png.h>

#include <vector>

namespace {

struct PngKind
{
    PngKind(int colourType, int depth, bool interlaced = false, int paletteSize = 0,
            const QByteArray &transparency = {})
        : colourType(colourType),
          depth(depth),
          interlaced(interlaced),
          paletteSize(paletteSize),
          transparency(transparency)
    { }
    int colourType;
    int depth;
    bool interlaced;
    // PLTE entries, and the tRNS chunk's data.
    int paletteSize;
    QByteArray transparency;
};

extern "C" void appendBytes(png_structp png, png_bytep data, size_t length)
{
    static_cast<QByteArray *>(png_get_io_ptr(png))
            ->append(reinterpret_cast<char *>(data), int(length));
}

extern "C" void flushNothing(png_structp) { }

// Written by libpng, with IDAT chunks of at most 1 KiB so that a tall picture has many.
bool writePng(png_structp png, png_infop info, const PngKind &kind, int width, int height,
              png_bytepp rows, png_colorp palette, QByteArray *out)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, out, appendBytes, flushNothing);
    png_set_compression_buffer_size(png, 1024);
    // Indices past a short palette's end are wanted.
    png_set_check_for_invalid_index(png, 0);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), kind.depth, kind.colourType,
                 kind.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (kind.paletteSize > 0)
        png_set_PLTE(png, info, palette, kind.paletteSize);
    if (!kind.transparency.isEmpty()) {
        png_color_16 colour {};
        const auto *bytes = reinterpret_cast<const uchar *>(kind.transparency.constData());
        const int size = kind.transparency.size();
        colour.gray = size >= 2 ? png_uint_16(bytes[0] << 8 | bytes[1]) : 0;
        if (size == 6) {
            colour.red = colour.gray;
            colour.green = png_uint_16(bytes[2] << 8 | bytes[3]);
            colour.blue = png_uint_16(bytes[4] << 8 | bytes[5]);
        }
        png_set_tRNS(png, info, kind.colourType == 3 ? const_cast<png_bytep>(bytes) : nullptr,
                     kind.colourType == 3 ? size : 0, &colour);
    }
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

int channels(int colourType)
{
    return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
}

// A PNG of the kind whose rows hold the picture's colours where the kind can (8- and 16-bit
// colour, each 8-bit value v as v * 257; a palette whose entry i has the low bits of i), and
// noise samples otherwise.
QByteArray kindPng(const PngKind &kind, const QImage &picture)
{
    const int width = picture.width();
    const int height = picture.height();
    const int rowBytes = (width * channels(kind.colourType) * kind.depth + 7) / 8;
    std::vector<QByteArray> rows(size_t(height), QByteArray(rowBytes, '\0'));
    std::vector<png_bytep> pointers;
    const bool fromPicture = kind.colourType == 2 || kind.colourType == 6 ||
            (kind.colourType == 3 && kind.depth == 8);
    quint32 state = 5;
    for (int y = 0; y < height; ++y) {
        auto *row = reinterpret_cast<uchar *>(rows[size_t(y)].data());
        pointers.push_back(row);
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = picture.pixel(x, y);
            const int rgba[] = {qRed(pixel), qGreen(pixel), qBlue(pixel), qAlpha(pixel)};
            if (kind.colourType == 2 || kind.colourType == 6) {
                for (int c = 0; c < channels(kind.colourType); ++c) {
                    for (int repeat = 0; repeat < kind.depth / 8; ++repeat)
                        *row++ = uchar(rgba[c]);
                }
            } else if (kind.colourType == 3 && kind.depth == 8) {
                *row++ = uchar((rgba[0] & 1) << 2 | (rgba[1] & 1) << 1 | (rgba[2] & 1));
            }
        }
        if (!fromPicture) {
            for (int i = 0; i < rowBytes; ++i) {
                state = state * 1103515245u + 12345u;
                rows[size_t(y)][i] = char(state >> 16);
            }
        }
    }
    std::vector<png_color> palette(256);
    for (int i = 0; i < 256; ++i)
        palette[size_t(i)] = {png_byte(0x40 | (i >> 2 & 1)), png_byte(0x80 | (i >> 1 & 1)),
                              png_byte(0x20 | (i & 1) | (i & 0xF0))};
    QByteArray out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    const bool written =
            writePng(png, info, kind, width, height, pointers.data(), palette.data(), &out);
    png_destroy_write_struct(&png, &info);
    return written ? out : QByteArray();
}

// Noise with the message's header and body in the walk, set digit by digit.
QImage withMessage(QSize size, const QByteArray &message, QImage::Format format)
{
    QImage image = noiseImage(size, format, 11);
    if (message.isEmpty())
        return image;
    QString bits = QString::number(message.size() * 8, 2).rightJustified(12, QLatin1Char('0'));
    for (const char byte : message)
        bits += QString::number(uchar(byte), 2).rightJustified(8, QLatin1Char('0'));
    for (int i = 0; i < bits.size(); ++i)
        setDigit(image, i, bits.at(i) == QLatin1Char('1'));
    return image;
}

// A BMP with a 40-byte info header and the picture's pixels as blue, green, red (and one byte
// of noise at 32 bits), bottom-up or top-down, its pixels `gap` bytes after the header.
QByteArray bmpFile(const QImage &picture, int bitCount, bool topDown, int gap = 0)
{
    const int rowSize = (bitCount * picture.width() + 31) / 32 * 4;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0x4D42) << quint32(54 + gap + rowSize * picture.height()) << quint32(0)
        << quint32(54 + gap) << quint32(40) << qint32(picture.width())
        << qint32(topDown ? -picture.height() : picture.height()) << quint16(1) << quint16(bitCount)
        << quint32(0) << quint32(0) << quint32(2835) << quint32(2835) << quint32(0) << quint32(0);
    bytes += QByteArray(gap, '\x5a');
    for (int row = 0; row < picture.height(); ++row) {
        const int y = topDown ? row : picture.height() - 1 - row;
        QByteArray line(rowSize, '\x33');
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb pixel = picture.pixel(x, y);
            char *at = line.data() + x * bitCount / 8;
            at[0] = char(qBlue(pixel));
            at[1] = char(qGreen(pixel));
            at[2] = char(qRed(pixel));
            if (bitCount == 32)
                at[3] = char(x * 37 + y);
        }
        bytes += line;
    }
    return bytes;
}

int chunkOffset(const QByteArray &png, const QByteArray &type, bool last = false)
{
    return last ? png.lastIndexOf(type) - 4 : png.indexOf(type) - 4;
}

// The file with chunk inserted before IEND.
QByteArray withChunkAfterPixels(const QByteArray &png, const QByteArray &chunk)
{
    const int end = chunkOffset(png, "IEND");
    return png.left(end) + chunk + png.mid(end);
}

using Path = FileReveal::Path;

} // namespace

Q_DECLARE_METATYPE(FileReveal::Path)

class tst_FileReveal : public QObject
{
    Q_OBJECT
private slots:
    void sameAsWholeLoad_data();
    void sameAsWholeLoad();
    void unreadStreamIsNotInflated();
};

// Every kind of file gives exactly the answer of the whole load; the kinds whose pixels come out
// exactly without decoding them all take the partial path.
void tst_FileReveal::sameAsWholeLoad_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<Path>("path");
    const QByteArray text("Qu\xC3\xA9 tal, 10 bytes?");
    const QSize size(7, 300);
    const auto png = [&](const PngKind &kind, const QByteArray &message, QSize at = QSize(7, 300)) {
        return kindPng(kind, withMessage(at, message, QImage::Format_ARGB32));
    };
    for (const QByteArray &message : {text, QByteArray()}) {
        const char *holds = message.isEmpty() ? "none" : "message";
        QTest::addRow("rgb8-%s", holds) << png({2, 8}, message) << Path::Partial;
        QTest::addRow("rgba8-%s", holds) << png({6, 8}, message) << Path::Partial;
        QTest::addRow("rgb16-%s", holds) << png({2, 16}, message) << Path::Partial;
        QTest::addRow("rgba16-%s", holds) << png({6, 16}, message) << Path::Partial;
        QTest::addRow("palette8-%s", holds) << png({3, 8, false, 8}, message) << Path::Partial;
        QTest::addRow("rgb8-interlaced-%s", holds) << png({2, 8, true}, message) << Path::Whole;
        QTest::addRow("one-pixel-wide-%s", holds)
                << png({2, 8}, message, QSize(1, 200)) << Path::Partial;
        QTest::addRow("one-row-%s", holds) << png({2, 8}, message, QSize(200, 1)) << Path::Partial;
        QTest::addRow("bmp24-%s", holds)
                << bmpFile(withMessage(size, message, QImage::Format_RGB32), 24, false)
                << Path::Partial;
        QTest::addRow("bmp24-top-down-%s", holds)
                << bmpFile(withMessage(size, message, QImage::Format_RGB32), 24, true)
                << Path::Partial;
        // 545 pixels wide so that rows are padded.
        QTest::addRow("bmp24-padded-short-%s", holds)
                << bmpFile(withMessage(QSize(545, 3), message, QImage::Format_RGB32), 24, false)
                << Path::Partial;
        QTest::addRow("bmp32-gap-%s", holds)
                << bmpFile(withMessage(size, message, QImage::Format_RGB32), 32, false, 10)
                << Path::Partial;
    }
    // Samples of noise: a random header, often a length that reads part of a body.
    for (const int depth : {1, 2, 4, 8, 16})
        QTest::addRow("grey%d", depth) << png({0, depth}, {}) << Path::Partial;
    QTest::newRow("grey4-trns") << png({0, 4, false, 0, QByteArray("\0\5", 2)}, {})
                                << Path::Partial;
    QTest::newRow("grey-alpha8") << png({4, 8}, {}) << Path::Partial;
    QTest::newRow("rgb8-trns") << png({2, 8, false, 0, QByteArray::fromHex("000100020003")}, {})
                               << Path::Partial;
    QTest::newRow("palette4-short") << png({3, 4, false, 3}, {}) << Path::Partial;
    QTest::newRow("palette2-trns")
            << png({3, 2, false, 4, QByteArray::fromHex("00ff40")}, {}) << Path::Partial;
    QTest::newRow("two-by-two") << png({2, 8}, {}, QSize(2, 2)) << Path::Partial;
    QTest::newRow("one-pixel") << png({2, 8}, {}, QSize(1, 1)) << Path::Partial;
    QBuffer indexed;
    indexed.open(QIODevice::WriteOnly);
    noiseImage(size).convertToFormat(QImage::Format_Indexed8).save(&indexed, "bmp");
    QTest::newRow("bmp8-palette") << indexed.data() << Path::Whole;

    // Damaged files: the partial path must refuse what the whole load refuses.
    const QByteArray tall = png({2, 8}, text, QSize(40, 2000));
    const int lastPixels = chunkOffset(tall, "IDAT", true);
    QTest::newRow("tall-many-idat") << tall << Path::Partial;
    QTest::newRow("cut-after-head-chunks") << tall.left(lastPixels) << Path::Whole;
    QByteArray crc = tall;
    crc[lastPixels + 9] = char(crc.at(lastPixels + 9) ^ 1);
    QTest::newRow("later-idat-damaged") << crc << Path::Whole;
    QTest::newRow("no-iend") << tall.left(chunkOffset(tall, "IEND")) << Path::Whole;
    QByteArray endCrc = tall;
    endCrc[endCrc.size() - 1] = char(endCrc.at(endCrc.size() - 1) ^ 1);
    QTest::newRow("iend-damaged") << endCrc << Path::Whole;
    QTest::newRow("text-after-pixels")
            << withChunkAfterPixels(tall, makeChunk("tEXt", "Comment\0late")) << Path::Partial;
    QTest::newRow("critical-after-pixels")
            << withChunkAfterPixels(tall, makeChunk("ZZZZ", "x")) << Path::Whole;
    QTest::newRow("idat-after-text")
            << withChunkAfterPixels(tall, makeChunk("tEXt", "a\0b") + makeChunk("IDAT"))
            << Path::Whole;
    QTest::newRow("data-after-iend") << tall + "trailing" << Path::Partial;
    const QByteArray bmp = bmpFile(withMessage(size, text, QImage::Format_RGB32), 24, false);
    QTest::newRow("bmp-cut") << bmp.left(bmp.size() - 1) << Path::Whole;
}

void tst_FileReveal::sameAsWholeLoad()
{
    QFETCH(QByteArray, file);
    QFETCH(Path, path);
    QVERIFY(!file.isEmpty());
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("picture"));
    QVERIFY(writeFile(name, file));

    CarrierImage whole;
    const CarrierImage::LoadResult loaded = whole.load(name);
    whole.setBitString(whole.extractBits());
    const bool found = loaded == CarrierImage::LoadResult::Loaded && whole.bitsToText();

    FileReveal partial;
    QCOMPARE(partial.read(name), loaded);
    QCOMPARE(partial.getPath(), path);
    QCOMPARE(partial.hasMessage(), found);
    if (loaded != CarrierImage::LoadResult::Loaded)
        return;
    QCOMPARE(partial.getWidth(), whole.getImage().width());
    QCOMPARE(partial.getHeight(), whole.getImage().height());
    QCOMPARE(partial.getCapacity(), whole.getCapacity());
    if (!found)
        return;
    QCOMPARE(partial.getRevealedBytes(), whole.getRevealedBytes());
    QCOMPARE(partial.getRevealedText(), whole.getRevealedText());
}

// The one way the answers can part: compressed pixels past the rows read are not inflated, so a
// stream damaged there behind intact chunk checksums (no disk or transfer error does that) is
// refused by the whole load and revealed here.
void tst_FileReveal::unreadStreamIsNotInflated()
{
    QByteArray png = kindPng({2, 8}, withMessage(QSize(40, 2000), "hidden", QImage::Format_RGB32));
    const int last = chunkOffset(png, "IDAT", true);
    const int length = qFromBigEndian<quint32>(png.constData() + last);
    QVERIFY(length > 8);
    png.replace(last, length + 12, makeChunk("IDAT", QByteArray(length, '\xff')));
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("picture.png"));
    QVERIFY(writeFile(name, png));
    CarrierImage whole;
    QCOMPARE(whole.load(name), CarrierImage::LoadResult::Unreadable);
    FileReveal partial;
    QCOMPARE(partial.read(name), CarrierImage::LoadResult::Loaded);
    QVERIFY(partial.hasMessage());
    QCOMPARE(partial.getRevealedBytes(), QByteArray("hidden"));
}

QTEST_GUILESS_MAIN(tst_FileReveal)
#include "tst_filereveal.moc"

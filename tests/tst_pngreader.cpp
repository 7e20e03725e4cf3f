#include "pngreader.h"

#include "fixtures.h"

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QImage>
#include <QImageReader>
#include <QTest>
#include <QVector>

#include <zlib.h>

namespace {

struct Kind
{
    Kind(int colourType, int depth, bool interlaced = false, const QByteArray &chunks = {},
         int sampleLimit = 0)
        : colourType(colourType),
          depth(depth),
          interlaced(interlaced),
          chunks(chunks),
          sampleLimit(sampleLimit)
    { }
    int colourType;
    int depth;
    bool interlaced;
    // Chunks between IHDR and IDAT: PLTE, tRNS.
    QByteArray chunks;
    // Samples are drawn below this value, where indices past a short palette's end are wanted.
    int sampleLimit;
};

int channels(int colourType)
{
    return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
}

// One row of samples packed as the PNG layout has it, big-endian, with filter byte 0.
QByteArray packRow(const QVector<int> &samples, int depth)
{
    QByteArray row(1, '\0');
    if (depth >= 8) {
        for (const int sample : samples) {
            if (depth == 16)
                row.append(char(sample >> 8));
            row.append(char(sample));
        }
        return row;
    }
    int bits = 0;
    int filled = 0;
    for (const int sample : samples) {
        bits = (bits << depth) | sample;
        filled += depth;
        if (filled == 8) {
            row.append(char(bits));
            bits = filled = 0;
        }
    }
    if (filled > 0)
        row.append(char(bits << (8 - filled)));
    return row;
}

// A PNG of the given kind whose samples come from a fixed generator; every third sample set is
// the value given, so that a transparent colour occurs.
QByteArray kindPng(const Kind &kind, int width, int height, const QVector<int> &every3rd = {})
{
    const int perPixel = channels(kind.colourType);
    const int limit = kind.sampleLimit > 0 ? kind.sampleLimit : 1 << kind.depth;
    QVector<QVector<int>> pixels(width * height);
    quint32 state = 99;
    for (int i = 0; i < pixels.size(); ++i) {
        for (int c = 0; c < perPixel; ++c) {
            state = state * 1103515245u + 12345u;
            pixels[i] << int((state >> 8) % quint32(limit));
        }
        if (!every3rd.isEmpty() && i % 3 == 0)
            pixels[i] = every3rd;
    }
    // Adam7: the passes' first column and row, and their steps.
    const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                              {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    const int whole[1][4] = {{0, 0, 1, 1}};
    const auto *plan = kind.interlaced ? passes : whole;
    QByteArray raw;
    for (int pass = 0; pass < (kind.interlaced ? 7 : 1); ++pass) {
        const int *p = plan[pass];
        if (p[0] >= width)
            continue;
        for (int y = p[1]; y < height; y += p[3]) {
            QVector<int> samples;
            for (int x = p[0]; x < width; x += p[2])
                samples += pixels[y * width + x];
            raw += packRow(samples, kind.depth);
        }
    }
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out << quint32(width) << quint32(height) << quint8(kind.depth) << quint8(kind.colourType)
        << quint8(0) << quint8(0) << quint8(kind.interlaced ? 1 : 0);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + makeChunk("IHDR", header) + kind.chunks +
            makeChunk("IDAT", qCompress(raw).mid(4)) + makeChunk("IEND");
}

QByteArray palette(int entries)
{
    QByteArray colours;
    for (int i = 0; i < entries; ++i) {
        colours.append(char(40 + 37 * i));
        colours.append(char(200 - 29 * i));
        colours.append(char(13 * i));
    }
    return makeChunk("PLTE", colours);
}

QByteArray bigEndian16(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (const int value : values) {
        bytes.append(char(value >> 8));
        bytes.append(char(value));
    }
    return bytes;
}

PngReader::Result readPng(const QByteArray &bytes, QImage *image)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return PngReader::read(&buffer, 16384, image);
}

} // namespace

Q_DECLARE_METATYPE(PngReader::Result)

class tst_PngReader : public QObject
{
    Q_OBJECT
private slots:
    void sameAsQt_data();
    void sameAsQt();
    void transparentColour16Bit();
    void refuses_data();
    void refuses();
};

// Qt's own reader is right for these kinds; ours must give exactly its pixels, so that a picture
// loads the same as it always did.
void tst_PngReader::sameAsQt_data()
{
    QTest::addColumn<QByteArray>("png");
    for (const bool interlaced : {false, true}) {
        const char *layout = interlaced ? "interlaced" : "plain";
        for (const int depth : {1, 2, 4, 8, 16}) {
            const int top = (1 << depth) - 1;
            QTest::addRow("grey%d-%s", depth, layout) << kindPng({0, depth, interlaced}, 13, 7);
            // A transparent level inside and outside the range of levels.
            for (const int level : {0, top, top / 2 + 1, qMin(top + 1, 0xFFFF)}) {
                QTest::addRow("grey%d-trns%d-%s", depth, level, layout)
                        << kindPng({0, depth, interlaced, makeChunk("tRNS", bigEndian16({level}))},
                                   13, 7, {qMin(level, top)});
            }
        }
        for (const int depth : {8, 16}) {
            QTest::addRow("rgb%d-%s", depth, layout) << kindPng({2, depth, interlaced}, 13, 7);
            QTest::addRow("grey-alpha%d-%s", depth, layout)
                    << kindPng({4, depth, interlaced}, 13, 7);
            QTest::addRow("rgba%d-%s", depth, layout) << kindPng({6, depth, interlaced}, 13, 7);
        }
        QTest::addRow("rgb8-trns-%s", layout) << kindPng(
                {2, 8, interlaced, makeChunk("tRNS", bigEndian16({1, 2, 3}))}, 13, 7, {1, 2, 3});
        for (const int depth : {1, 2, 4, 8}) {
            const int entries = 1 << depth;
            const QByteArray alphas = QByteArray::fromHex("00407fff80").left(qMin(entries, 5));
            QTest::addRow("palette%d-%s", depth, layout)
                    << kindPng({3, depth, interlaced, palette(entries)}, 13, 7);
            QTest::addRow("palette%d-trns-%s", depth, layout) << kindPng(
                    {3, depth, interlaced, palette(entries) + makeChunk("tRNS", alphas)}, 13, 7);
            // Indices past the end of a short palette.
            QTest::addRow("palette%d-short-%s", depth, layout)
                    << kindPng({3, depth, interlaced, palette(1), entries}, 13, 7);
            QTest::addRow("palette%d-short-trns-%s", depth, layout)
                    << kindPng({3, depth, interlaced,
                                palette(1) + makeChunk("tRNS", QByteArray(1, '\x7f')), entries},
                               13, 7);
        }
    }
}

void tst_PngReader::sameAsQt()
{
    QFETCH(QByteArray, png);
    QBuffer buffer;
    buffer.setData(png);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QImageReader reader(&buffer, "png");
    QImage qt;
    // Qt passes on libpng's warnings about out-of-range samples, which these kinds mean to have.
    const QtMessageHandler handler =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const bool read = reader.read(&qt);
    qInstallMessageHandler(handler);
    QVERIFY(read);
    qt = qt.convertToFormat(qt.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);

    QImage ours;
    QCOMPARE(readPng(png, &ours), PngReader::Result::Read);
    QCOMPARE(ours.format(), qt.format());
    QCOMPARE(ours, qt);
}

// Qt fills a quarter of each row of such files from leftover memory; the pixels are built here
// by hand: 16-bit samples scaled to 8 bits with rounding, the transparent colour's alpha 0.
void tst_PngReader::transparentColour16Bit()
{
    const Kind kind {2, 16, false, makeChunk("tRNS", bigEndian16({0x1234, 0x5678, 0x9abc}))};
    const QByteArray png = kindPng(kind, 5, 3, {0x1234, 0x5678, 0x9abc});
    QImage ours;
    QCOMPARE(readPng(png, &ours), PngReader::Result::Read);
    QCOMPARE(ours.format(), QImage::Format_ARGB32);
    quint32 state = 99;
    const auto scaled = [](int sample) {
        return (sample * 255 + 32895) >> 16;
    };
    for (int i = 0; i < 15; ++i) {
        int rgb[3];
        for (int &sample : rgb) {
            state = state * 1103515245u + 12345u;
            sample = int((state >> 8) % 65536u);
        }
        const QRgb expected = i % 3 == 0 ? qRgba(0x12, 0x56, 0x9a, 0)
                                         : qRgb(scaled(rgb[0]), scaled(rgb[1]), scaled(rgb[2]));
        QCOMPARE(ours.pixel(i % 5, i / 5), expected);
    }
}

void tst_PngReader::refuses_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<PngReader::Result>("result");
    const QByteArray rgb = kindPng({2, 8}, 13, 7);
    const int idatEnd = rgb.size() - 12;
    QTest::newRow("cut-in-pixels") << rgb.left(idatEnd - 10) << PngReader::Result::Unreadable;
    QTest::newRow("no-end-chunk") << rgb.left(idatEnd) << PngReader::Result::Unreadable;
    QByteArray damaged = rgb;
    damaged[idatEnd - 6] = char(damaged.at(idatEnd - 6) ^ 0x40);
    QTest::newRow("pixel-data-damaged") << damaged << PngReader::Result::Unreadable;
    QTest::newRow("palette-missing") << kindPng({3, 8}, 13, 7) << PngReader::Result::Unreadable;
    QTest::newRow("wider-than-allowed") << announcingPng(16385, 1) << PngReader::Result::TooLarge;
}

void tst_PngReader::refuses()
{
    QFETCH(QByteArray, png);
    QFETCH(PngReader::Result, result);
    QImage image(1, 1, QImage::Format_RGB32);
    image.fill(Qt::green);
    const QImage before = image;
    QCOMPARE(readPng(png, &image), result);
    QCOMPARE(image, before);
}

QTEST_GUILESS_MAIN(tst_PngReader)
#include "tst_pngreader.moc"

#include "idatencoder_p.h"

#include "fixtures.h"

#include <QImage>
#include <QPainter>
#include <QTest>
#include <QtEndian>

Q_DECLARE_METATYPE(Compressor)

namespace {

// Noise for a photograph; rectangles on a gradient for a drawing, whose rows repeat.
QImage picture(const QString &kind, QSize size, bool alpha)
{
    const QImage::Format format = alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    if (kind == QLatin1String("noise"))
        return noiseImage(size, format);
    QImage image(size, format);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, size.width(), 0);
    gradient.setColorAt(0, QColor(20, 40, 200, 90));
    gradient.setColorAt(1, QColor(250, 200, 10, 255));
    painter.fillRect(image.rect(), gradient);
    for (int i = 0; i < 12; ++i)
        painter.fillRect(i * 37 % size.width(), i * 53 % size.height(), 60, 25,
                         QColor::fromHsv(i * 30, 200, 220, 60 + i * 15));
    return image;
}

// The encoder's stream in a PNG of its own, for an independent decoder to read.
QByteArray pngAround(const QImage &image, bool alpha, const QByteArray &idat)
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(quint32(image.width()), header.data());
    qToBigEndian<quint32>(quint32(image.height()), header.data() + 4);
    header[8] = 8;
    header[9] = alpha ? 6 : 2;
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + makeChunk("IHDR", header) + idat +
            makeChunk("IEND");
}

} // namespace

// Checks that every compressor, on one thread or two and in pieces of any size, writes a stream
// that decodes to the picture's pixels.
class tst_IdatEncoder : public QObject
{
    Q_OBJECT

private slots:
    void decodesToSamePixels_data();
    void decodesToSamePixels();
};

void tst_IdatEncoder::decodesToSamePixels_data()
{
    QTest::addColumn<Compressor>("compressor");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<qint64>("piece");

    // 700 x 500 RGB is just over the size compressed on two threads; 545 pads the rows.
    const QSize twoThreads(700, 500);
    const QSize oneThread(545, 40);
    QTest::newRow("huffman-only-noise")
            << Compressor::HuffmanOnly << "noise" << twoThreads << false << IdatEncoder::pieceBytes;
    QTest::newRow("rle-drawing-rgba")
            << Compressor::Rle << "drawing" << oneThread << true << IdatEncoder::pieceBytes;
    QTest::newRow("zlib6-drawing")
            << Compressor::Zlib6 << "drawing" << twoThreads << false << IdatEncoder::pieceBytes;
    // Pieces of a few rows, so that many are joined, ending at every bit position.
    QTest::newRow("libdeflate6-noise-pieces")
            << Compressor::Libdeflate6 << "noise" << twoThreads << false << qint64(5000);
    QTest::newRow("libdeflate7-drawing-rgba-pieces")
            << Compressor::Libdeflate7 << "drawing" << twoThreads << true << qint64(7000);
    QTest::newRow("libdeflate6-one-piece") << Compressor::Libdeflate6 << "drawing" << oneThread
                                           << false << IdatEncoder::pieceBytes;
    QTest::newRow("chosen-noise-rgba")
            << Compressor::Chosen << "noise" << twoThreads << true << IdatEncoder::pieceBytes;
    QTest::newRow("chosen-drawing")
            << Compressor::Chosen << "drawing" << twoThreads << false << IdatEncoder::pieceBytes;
}

void tst_IdatEncoder::decodesToSamePixels()
{
    QFETCH(Compressor, compressor);
    QFETCH(QString, kind);
    QFETCH(QSize, size);
    QFETCH(bool, alpha);
    QFETCH(qint64, piece);

    const QImage image = picture(kind, size, alpha);
    QByteArray idat;
    const bool written = IdatEncoder::encode(
            image, alpha,
            [&idat](const uchar *data, quint32 bytes) {
                idat += makeChunk("IDAT",
                                  QByteArray(reinterpret_cast<const char *>(data), int(bytes)));
                return true;
            },
            compressor, piece);
    QVERIFY(written);

    QImage decoded;
    QVERIFY(decoded.loadFromData(pngAround(image, alpha, idat), "PNG"));
    QCOMPARE(decoded.convertToFormat(image.format()), image);
}

QTEST_GUILESS_MAIN(tst_IdatEncoder)
#include "tst_idatencoder.moc"

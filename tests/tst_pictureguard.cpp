#include "pictureguard.h"

#include "fixtures.h"
#include "pictureformat.h"

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QTest>

using Outcome = PictureGuard::Outcome;
Q_DECLARE_METATYPE(PictureGuard::Outcome)

namespace {

// An icon whose one picture holds `picture`, announcing the size given in its directory.
QByteArray icon(const QByteArray &picture, qint64 announcedSize = -1)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(1) << quint8(16) << quint8(16) << quint8(0)
        << quint8(0) << quint16(1) << quint16(32)
        << quint32(announcedSize < 0 ? picture.size() : announcedSize) << quint32(22);
    return bytes + picture;
}

// A BMP info header of an icon's picture: its height counts colour and mask rows.
QByteArray iconBitmap(qint32 width, qint32 height)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(40) << width << height << quint16(1) << quint16(32) << quint32(0) << quint32(0)
        << quint32(0) << quint32(0) << quint32(0) << quint32(0);
    // The colour rows of 32 bits a pixel and the mask rows of 1 bit, each padded to 4 bytes.
    return bytes + QByteArray((width * 4 + (width + 31) / 32 * 4) * height / 2, '\0');
}

} // namespace

class tst_PictureGuard : public QObject
{
    Q_OBJECT
private slots:
    void check_data();
    void check();
};

void tst_PictureGuard::check_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("pngInside");

    // Told by content alone; Qt's reader decides later whether the rest is whole.
    QTest::newRow("png") << announcingPng(4, 4) << Outcome::Decodable << "PNG" << false;
    // JPEG and GIF files must reach the end of the picture: Qt fills what is cut off.
    const QByteArray jpeg = QByteArray::fromHex("ffd8ffe000044a46ffda0004aa00ff00bbffd9");
    QTest::newRow("jpeg") << jpeg << Outcome::Decodable << "JPEG" << false;
    QTest::newRow("jpeg-cut-in-scan")
            << jpeg.chopped(3) << Outcome::Unreadable << QString() << false;
    QTest::newRow("jpeg-cut-in-segment")
            << jpeg.left(6) << Outcome::Unreadable << QString() << false;
    QByteArray manyScans = jpeg.chopped(2);
    for (int i = 0; i < 100; ++i)
        manyScans += QByteArray::fromHex("ffda0004aa00");
    QTest::newRow("jpeg-101-scans")
            << manyScans + "\xFF\xD9" << Outcome::Unreadable << QString() << false;
    QImage dot(1, 1, QImage::Format_Indexed8);
    dot.setColorTable({qRgb(1, 2, 3)});
    dot.fill(0);
    const QByteArray gif = gifFile(dot);
    QTest::newRow("gif") << gif << Outcome::Decodable << "GIF" << false;
    QTest::newRow("gif-cut-in-picture")
            << gif.chopped(3) << Outcome::Unreadable << QString() << false;
    QTest::newRow("pbm-raw") << QByteArray("P4\n1 1\n\0", 8) << Outcome::Decodable << "PBM"
                             << false;
    QTest::newRow("pgm-comment") << QByteArray("P2#c\n1 1\n1\n0\n") << Outcome::Decodable << "PGM"
                                 << false;
    QTest::newRow("ppm") << QByteArray("P6 1 1 255 abc") << Outcome::Decodable << "PPM" << false;
    QTest::newRow("xpm") << QByteArray("/* XPM */\n") << Outcome::Decodable << "XPM" << false;
    QTest::newRow("xbm-after-blank-line")
            << QByteArray("\n#define a_width 1\n") << Outcome::Decodable << "XBM" << false;
    QTest::newRow("netpbm-7") << QByteArray("P7\n1 1\n") << Outcome::Unreadable << QString()
                              << false;
    QTest::newRow("text") << QByteArray("P6x is not a header") << Outcome::Unreadable << QString()
                          << false;
    // Icons: a PNG inside goes to our PNG decoder; a bitmap's own header bounds its size.
    QTest::newRow("ico-bitmap") << icon(iconBitmap(16, 32)) << Outcome::Decodable << "ICO" << false;
    QTest::newRow("ico-png") << icon(announcingPng(16, 16)) << Outcome::Decodable << "ICO" << true;
    QTest::newRow("ico-bitmap-too-wide")
            << icon(iconBitmap(16385, 32)) << Outcome::TooLarge << QString() << false;
    QTest::newRow("ico-bitmap-too-high")
            << icon(iconBitmap(16, 2 * 16385)) << Outcome::TooLarge << QString() << false;
    // Qt reads the colour count as signed and would decode into a picture it fills in part.
    QByteArray negativeColours = iconBitmap(16, 32);
    negativeColours[14] = 4;
    negativeColours[35] = char(0x80);
    QTest::newRow("ico-bitmap-colour-count-negative")
            << icon(negativeColours) << Outcome::Unreadable << QString() << false;
    QTest::newRow("ico-picture-past-end")
            << icon(iconBitmap(16, 32), 4096) << Outcome::Unreadable << QString() << false;
    QTest::newRow("ico-no-pictures")
            << QByteArray("\0\0\1\0\0\0", 6) << Outcome::Unreadable << QString() << false;
}

void tst_PictureGuard::check()
{
    QFETCH(QByteArray, contents);
    QFETCH(Outcome, outcome);
    QFETCH(QString, format);
    QFETCH(bool, pngInside);
    QBuffer buffer(&contents);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    const PictureGuard::Verdict verdict = PictureGuard::check(&buffer, 16384);
    QCOMPARE(verdict.outcome, outcome);
    QCOMPARE(verdict.format ? QString::fromLatin1(verdict.format->name) : QString(), format);
    QCOMPARE(verdict.pngSize > 0, pngInside);
}

QTEST_GUILESS_MAIN(tst_PictureGuard)
#include "tst_pictureguard.moc"

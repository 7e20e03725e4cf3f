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
    return bytes + QByteArray(64, '\0');
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
    QTest::newRow("jpeg") << QByteArray("\xFF\xD8\xFF\xE0") << Outcome::Decodable << "JPEG"
                          << false;
    QTest::newRow("gif") << QByteArray("GIF89a\1\0\1\0") << Outcome::Decodable << "GIF" << false;
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

#include "hidingrules.h"

#include <QByteArray>
#include <QString>
#include <QTest>

using MessageCheck = HidingRules::MessageCheck;
Q_DECLARE_METATYPE(HidingRules::MessageCheck)

class tst_HidingRules : public QObject
{
    Q_OBJECT
private slots:
    void outputName_data();
    void outputName();
    void checkMessage_data();
    void checkMessage();
};

void tst_HidingRules::outputName_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("opaque");
    QTest::newRow("png") << "photo.png"
                         << "photo_encrypt.png" << false;
    QTest::newRow("bmp-upper-case") << "photo.BMP"
                                    << "photo_encrypt.BMP" << true;
    QTest::newRow("jpeg") << "photo.jpg"
                          << "photo_encrypt.png" << false;
    QTest::newRow("two-suffixes") << "scan.tar.gif"
                                  << "scan_encrypt.tar.png" << false;
    QTest::newRow("no-suffix") << "photo"
                               << "photo_encrypt.png" << false;
}

// The name proposed for the picture with the message, and whether the format it is saved in
// drops transparency.
void tst_HidingRules::outputName()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(bool, opaque);
    QCOMPARE(HidingRules::outputName(source), output);
    QVERIFY(HidingRules::keepsLowBits(output.mid(output.lastIndexOf(QLatin1Char('.')) + 1)));
    QCOMPARE(HidingRules::writesOpaque(output), opaque);
}

void tst_HidingRules::checkMessage_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<MessageCheck>("check");
    QTest::newRow("fits-exactly") << QByteArray("abcd") << MessageCheck::Fits;
    QTest::newRow("one-byte-over") << QByteArray("abcde") << MessageCheck::TooLong;
    QTest::newRow("empty") << QByteArray() << MessageCheck::Empty;
    QTest::newRow("zero-byte") << QByteArray("a\0b", 3) << MessageCheck::HasZeroByte;
    QTest::newRow("four-byte-character") << QByteArray("\xF0\x9F\x98\x80") << MessageCheck::Fits;
    QTest::newRow("overlong") << QByteArray("\xC0\x80") << MessageCheck::NotUtf8;
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << MessageCheck::NotUtf8;
    QTest::newRow("above-last-code-point")
            << QByteArray("\xF4\x90\x80\x80") << MessageCheck::NotUtf8;
    QTest::newRow("cut-character") << QByteArray("a\xE4\xB8") << MessageCheck::NotUtf8;
    QTest::newRow("lone-continuation") << QByteArray("\x80") << MessageCheck::NotUtf8;
}

// Against a picture that holds 4 bytes.
void tst_HidingRules::checkMessage()
{
    QFETCH(QByteArray, message);
    QFETCH(MessageCheck, check);
    QCOMPARE(HidingRules::checkMessage(message, 4), check);
}

QTEST_GUILESS_MAIN(tst_HidingRules)
#include "tst_hidingrules.moc"

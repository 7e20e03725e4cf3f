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
    void cannotStartMessage_data();
    void cannotStartMessage();
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

void tst_HidingRules::cannotStartMessage_data()
{
    QTest::addColumn<QByteArray>("start");
    QTest::addColumn<bool>("dead");
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("text") << QByteArray("plain \xE4\xB8\xAD text") << false;
    // A character cut short may be completed by what follows.
    QTest::newRow("cut-character") << QByteArray("ab\xF0\x9F\x98") << false;
    QTest::newRow("zero-byte") << QByteArray("ab\0", 3) << true;
    QTest::newRow("bad-lead-then-more") << QByteArray("\xFF"
                                                      "abc")
                                        << true;
    QTest::newRow("overlong-then-more") << QByteArray("x\xC0\x80yz") << true;
    QTest::newRow("lone-continuation-then-more") << QByteArray("\x80"
                                                               "abc")
                                                 << true;
}

// Whatever is appended to a start that cannot begin a message, it is no message.
void tst_HidingRules::cannotStartMessage()
{
    QFETCH(QByteArray, start);
    QFETCH(bool, dead);
    QCOMPARE(HidingRules::cannotStartMessage(start), dead);
    for (const QByteArray &rest : {QByteArray(), QByteArray("a"), QByteArray("\xAD"),
                                   QByteArray("\x80\x80"), QByteArray("\xB8\xAD")}) {
        if (dead)
            QVERIFY(HidingRules::checkMessage(start + rest, 1000) != MessageCheck::Fits);
    }
}

QTEST_GUILESS_MAIN(tst_HidingRules)
#include "tst_hidingrules.moc"

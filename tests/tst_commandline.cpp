#include "carrierimage.h"
#include "hidingrules.h"

#include "fixtures.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int status = -1;
    QByteArray output;
    QByteArray error;
};

// Runs the real program in folder, with no display of any kind: it must need none.
Run runProgram(const QString &folder, const QStringList &arguments, const QByteArray &input = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral(QUORVANE_CLI), arguments);
    process.write(input);
    process.closeWriteChannel();
    Run run;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    run.output = process.readAllStandardOutput();
    run.error = process.readAllStandardError();
    return run;
}

// What the window's engine path reveals from path, or a null array for no message.
QByteArray engineReveal(const QString &path)
{
    CarrierImage picture;
    if (picture.load(path) != CarrierImage::LoadResult::Loaded)
        return QByteArray();
    picture.setBitString(picture.extractBits());
    return picture.bitsToText() ? picture.getRevealedText().toUtf8() : QByteArray();
}

// Hides text as the window does, under the name it proposes.
void engineHide(const QString &source, const QString &text)
{
    CarrierImage picture;
    QCOMPARE(picture.load(source), CarrierImage::LoadResult::Loaded);
    const QString output =
            QFileInfo(source).dir().filePath(HidingRules::outputName(QFileInfo(source).fileName()));
    picture.setMessageText(text);
    picture.textToBits();
    picture.hideBits(HidingRules::writesOpaque(output) ? 1 : 0);
    QVERIFY(picture.saveImage(output));
}

} // namespace

class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void hideThenReveal_data();
    void hideThenReveal();
    void statuses_data();
    void statuses();
    void json_data();
    void json();
    void otherFormats_data();
    void otherFormats();

private:
    QTemporaryDir *folder = nullptr;
};

void tst_CommandLine::init()
{
    folder = new QTemporaryDir;
    QVERIFY(folder->isValid());
    // Half-transparent, so a hide shows whether it kept the alpha or wrote the pixels opaque.
    QVERIFY(noiseImage(QSize(60, 40), QImage::Format_ARGB32, 3, 0x80)
                    .save(folder->filePath("photo.png")));
    QVERIFY(noiseImage(QSize(40, 30), QImage::Format_RGB32, 4).save(folder->filePath("plain.png")));
    QVERIFY(noiseImage(QSize(10, 10)).save(folder->filePath("small.png")));
    QVERIFY(noiseImage(QSize(40, 30)).save(folder->filePath("photo.bmp")));
    QVERIFY(QFile::copy(folder->filePath("plain.png"), folder->filePath("carrier.png")));
    engineHide(folder->filePath("carrier.png"), QStringLiteral("secret"));
    QVERIFY(writeFile(folder->filePath("taken.png"), "an older file"));
    QVERIFY(writeFile(folder->filePath("notes.txt"), "plain words"));
    QVERIFY(writeFile(folder->filePath("huge.png"), announcingPng(20000, 1)));
}

void tst_CommandLine::cleanup()
{
    delete folder;
    folder = nullptr;
}

void tst_CommandLine::hideThenReveal_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("alpha");

    const QByteArray cjk("\xE4\xB8\xAD\xE6\x96\x87");
    // 170 three-byte characters and an 'x': the longest message, split across stdin reads.
    const QByteArray longest = cjk.repeated(85) + 'x';
    QTest::newRow("text-option") << QStringList {"-m", "Meet at noon."} << QByteArray()
                                 << QByteArray("Meet at noon.") << "photo_encrypt.png" << 0x80;
    QTest::newRow("file-with-trailing-newline")
            << QStringList {"-f", "message.txt"} << QByteArray() << QByteArray("one\r\ntwo\n")
            << "photo_encrypt.png" << 0x80;
    QTest::newRow("stdin-511-bytes")
            << QStringList() << longest << longest << "photo_encrypt.png" << 0x80;
    QTest::newRow("dash-byte-order-mark")
            << QStringList {"-f", "-"} << QByteArray("\xEF\xBB\xBFx") << QByteArray("\xEF\xBB\xBFx")
            << "photo_encrypt.png" << 0x80;
    QTest::newRow("bmp-output-is-opaque")
            << QStringList {"-m", cjk, "-o", "out.BMP"} << QByteArray() << cjk << "out.BMP" << 0xFF;
}

void tst_CommandLine::hideThenReveal()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, message);
    QFETCH(QString, output);
    QFETCH(int, alpha);

    if (arguments.contains(QLatin1String("message.txt")))
        QVERIFY(writeFile(folder->filePath("message.txt"), message));
    const Run hide =
            runProgram(folder->path(), QStringList {"hide", "photo.png"} + arguments, input);
    QCOMPARE(hide.error, QByteArray());
    QCOMPARE(hide.status, 0);
    QCOMPARE(hide.output, output.toUtf8() + '\n');
    QCOMPARE(qAlpha(QImage(folder->filePath(output)).pixel(0, 0)), alpha);

    const Run reveal = runProgram(folder->path(), {"reveal", output});
    QCOMPARE(reveal.status, 0);
    QCOMPARE(reveal.output, message + '\n');
    const Run toFile = runProgram(folder->path(), {"reveal", "-o", "revealed.txt", output});
    QCOMPARE(toFile.status, 0);
    QCOMPARE(toFile.output, QByteArray());
    QCOMPARE(readFile(folder->filePath("revealed.txt")), message);
    // The window reads what the command line wrote.
    QCOMPARE(engineReveal(folder->filePath(output)), message);
}

void tst_CommandLine::statuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    // Parts that standard output and error must hold; an empty one must stay empty.
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("help") << QStringList {"--help"} << QByteArray() << 0
                          << QByteArray("5  the output exists") << QByteArray();
    QTest::newRow("help-command") << QStringList {"help", "reveal"} << QByteArray() << 0
                                  << QByteArray("--json") << QByteArray();
    QTest::newRow("version") << QStringList {"--version"} << QByteArray() << 0
                             << QByteArray("quorvane-lsb-cli 1.") << QByteArray();
    QTest::newRow("no-command") << QStringList() << QByteArray() << 2 << QByteArray()
                                << QByteArray("no command");
    QTest::newRow("hide-text-and-file")
            << QStringList {"hide", "plain.png", "-m", "a", "-f", "notes.txt"} << QByteArray() << 2
            << QByteArray() << QByteArray("not both");
    QTest::newRow("hide-lossy-output")
            << QStringList {"hide", "plain.png", "-m", "a", "-o", "x.jpg"} << QByteArray() << 2
            << QByteArray() << QByteArray("x.jpg");
    QTest::newRow("reveal-none") << QStringList {"reveal", "plain.png"} << QByteArray() << 1
                                 << QByteArray()
                                 << QByteArray("plain.png: holds no hidden message");
    QTest::newRow("reveal-several")
            << QStringList {"reveal", "carrier_encrypt.png", "plain.png"} << QByteArray() << 1
            << QByteArray("==> carrier_encrypt.png <==\nsecret\n") << QByteArray("plain.png");
    QTest::newRow("reveal-highest-status")
            << QStringList {"reveal", "notes.txt", "plain.png", "carrier_encrypt.png"}
            << QByteArray() << 3 << QByteArray("secret") << QByteArray("notes.txt");
    QTest::newRow("info") << QStringList {"info", "carrier_encrypt.png", "plain.png"}
                          << QByteArray() << 0
                          << QByteArray("a message of 6 bytes\nplain.png: 40x30 pixels, holds up "
                                        "to 448 bytes, no message\n")
                          << QByteArray();
    QTest::newRow("info-too-large")
            << QStringList {"info", "huge.png"} << QByteArray() << 3 << QByteArray()
            << QByteArray("huge.png: the picture is larger");
    QTest::newRow("hide-unreadable") << QStringList {"hide", "notes.txt", "-m", "a"} << QByteArray()
                                     << 3 << QByteArray() << QByteArray("notes.txt");
    // 10 × 10 holds 36 bytes.
    QTest::newRow("hide-too-long") << QStringList {"hide", "small.png"} << QByteArray(40, 'a') << 4
                                   << QByteArray() << QByteArray("40 bytes, 4 more than the 36");
    QTest::newRow("hide-not-utf8") << QStringList {"hide", "plain.png"} << QByteArray("a\xFF") << 4
                                   << QByteArray() << QByteArray("UTF-8");
    QTest::newRow("hide-zero-byte") << QStringList {"hide", "plain.png"} << QByteArray("a\0b", 3)
                                    << 4 << QByteArray() << QByteArray("zero byte");
    QTest::newRow("hide-empty") << QStringList {"hide", "plain.png"} << QByteArray() << 4
                                << QByteArray() << QByteArray("empty");
    QTest::newRow("hide-output-exists")
            << QStringList {"hide", "plain.png", "-m", "a", "-o", "taken.png"} << QByteArray() << 5
            << QByteArray() << QByteArray("taken.png: already exists");
    QTest::newRow("hide-force") << QStringList {"hide", "plain.png", "-m",     "a",
                                                "-o",   "taken.png", "--force"}
                                << QByteArray() << 0 << QByteArray("taken.png\n") << QByteArray();
    QTest::newRow("hide-folder-missing")
            << QStringList {"hide", "plain.png", "-m", "a", "-o", "missing/x.png"} << QByteArray()
            << 5 << QByteArray() << QByteArray("missing/x.png");
}

void tst_CommandLine::statuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, error);

    const QStringList before = QDir(folder->path()).entryList(QDir::Files);
    const Run run = runProgram(folder->path(), arguments, input);
    QCOMPARE(run.status, status);
    QVERIFY2(output.isEmpty() ? run.output.isEmpty() : run.output.contains(output), run.output);
    QVERIFY2(error.isEmpty() ? run.error.isEmpty() : run.error.contains(error), run.error);
    // Only a forced hide replaces a file; a failed one leaves nothing behind.
    QCOMPARE(readFile(folder->filePath("taken.png")) == "an older file",
             !arguments.contains(QLatin1String("--force")));
    if (status != 0)
        QCOMPARE(QDir(folder->path()).entryList(QDir::Files), before);
}

void tst_CommandLine::json_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("status");

    QTest::newRow("reveal") << "reveal" << 3;
    QTest::newRow("info") << "info" << 3;
}

void tst_CommandLine::json()
{
    QFETCH(QString, command);
    QFETCH(int, status);

    const Run run = runProgram(
            folder->path(), {command, "--json", "carrier_encrypt.png", "plain.png", "notes.txt"});
    QCOMPARE(run.status, status);
    const QList<QByteArray> lines = run.output.split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines.last().isEmpty());
    const QString expected[] = {
            R"({"file":"carrier_encrypt.png","width":40,"height":30,"capacity":448,"bytes":6,)"
            R"("message":"secret","error":null})",
            R"({"file":"plain.png","width":40,"height":30,"capacity":448,"bytes":null,)"
            R"("message":null,"error":null})",
            R"({"file":"notes.txt","width":null,"height":null,"capacity":null,"bytes":null,)"
            R"("message":null,"error":"cannot be read"})"};
    for (int i = 0; i < 3; ++i) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(lines.at(i), &parseError);
        QCOMPARE(parseError.error, QJsonParseError::NoError);
        QCOMPARE(document.object(), QJsonDocument::fromJson(expected[i].toUtf8()).object());
    }
}

void tst_CommandLine::otherFormats_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("jpeg") << "snapshot.jpg";
    QTest::newRow("gif") << "drawing.gif";
}

// Any picture Qt reads can carry a message, which is saved as PNG.
void tst_CommandLine::otherFormats()
{
    QFETCH(QString, source);
    const QImage picture = noiseImage(QSize(40, 30), QImage::Format_RGB32, 8);
    const QString path = folder->filePath(source);
    if (source.endsWith(QLatin1String(".gif")))
        QVERIFY(writeFile(path, gifFile(picture.convertToFormat(QImage::Format_Indexed8))));
    else
        QVERIFY(picture.save(path));
    const Run hide = runProgram(folder->path(), {"hide", source, "-m", "from a photograph"});
    QCOMPARE(hide.error, QByteArray());
    QCOMPARE(hide.status, 0);
    const QString output = QFileInfo(source).completeBaseName() + QStringLiteral("_encrypt.png");
    QCOMPARE(hide.output, output.toUtf8() + '\n');
    const Run reveal = runProgram(folder->path(), {"reveal", output});
    QCOMPARE(reveal.status, 0);
    QCOMPARE(reveal.output, QByteArray("from a photograph\n"));
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"

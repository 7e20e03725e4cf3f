#include "carrierimage.h"
#include "hidingrules.h"

#include "commandline.h"
#include "fixtures.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run
{
    int status = -1;
    QByteArray output;
    QByteArray error;
};

// Runs the real program in folder, with no display of any kind: it must need none. A script for
// /bin/sh finds the program in $CLI.
Run runProgram(const QString &folder, const QStringList &arguments, const QByteArray &input = {},
               bool inputEnds = true, const QString &program = QStringLiteral(QUORVANE_CLI))
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("CLI"), QStringLiteral(QUORVANE_CLI));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    process.write(input);
    if (inputEnds)
        process.closeWriteChannel();
    Run run;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    run.output = process.readAllStandardOutput();
    run.error = process.readAllStandardError();
    return run;
}

// Every file in folder with its bytes, to show that a failed run changed nothing.
QMap<QString, QByteArray> contents(const QString &folder)
{
    QMap<QString, QByteArray> files;
    const QStringList names = QDir(folder).entryList(QDir::Files);
    for (const QString &name : names)
        files.insert(name, readFile(QDir(folder).filePath(name)));
    return files;
}

// What the window's engine path reveals from path, or a null array for no message.
QByteArray engineReveal(const QString &path)
{
    CarrierImage picture;
    if (picture.load(path) != CarrierImage::LoadResult::Loaded)
        return QByteArray();
    return picture.revealMessage() ? picture.getRevealedText().toUtf8() : QByteArray();
}

// Hides text as the window does, under the name it proposes.
void engineHide(const QString &source, const QString &text)
{
    CarrierImage picture;
    QCOMPARE(picture.load(source), CarrierImage::LoadResult::Loaded);
    const QString output =
            QFileInfo(source).dir().filePath(HidingRules::outputName(QFileInfo(source).fileName()));
    picture.hideMessage(text.toUtf8(), HidingRules::writesOpaque(output));
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
    void help_data();
    void help();
    void shell_data();
    void shell();
    void revealIntoFifo();
    void inputThatDoesNotEnd_data();
    void inputThatDoesNotEnd();
    void otherFormats_data();
    void otherFormats();
    void inProcess_data();
    void inProcess();

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
    QVERIFY(writeFile(folder->filePath("forty.txt"), QByteArray(40, 'a')));
    QVERIFY(writeFile(folder->filePath("huge.png"), announcingPng(20000, 1)));
    // Tall enough for a hide to decode only its first rows. The filter type of row 1300, which
    // only the whole stream or the longest messages reach, makes it unreadable.
    const QImage tall = noiseImage(QSize(300, 1500));
    QByteArray rows = handFilteredRows(tall, 1);
    rows[1300 * 901] = 7;
    QVERIFY(writeFile(folder->filePath("late.png"),
                      pngWithStream(tall, zlibInBlocks(rows, 4000), 8192)));
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
    // 10 × 10 holds 36 bytes. A pipe is read one byte past that; a file's length is known.
    QTest::newRow("hide-too-long")
            << QStringList {"hide", "small.png"} << QByteArray(40, 'a') << 4 << QByteArray()
            << QByteArray("longer than the 36 bytes this picture holds");
    QTest::newRow("hide-too-long-file")
            << QStringList {"hide", "small.png", "-f", "forty.txt"} << QByteArray() << 4
            << QByteArray() << QByteArray("forty.txt: the message is 40 bytes, 4 more than the 36");
    QTest::newRow("hide-endless-file")
            << QStringList {"hide", "small.png", "-f", "/dev/zero"} << QByteArray() << 4
            << QByteArray() << QByteArray("longer than the 36 bytes");
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
    QTest::newRow("hide-force-onto-source")
            << QStringList {"hide", "plain.png", "-m", "a", "-o", "./plain.png", "--force"}
            << QByteArray() << 5 << QByteArray()
            << QByteArray("./plain.png: is a picture being read");
    QTest::newRow("reveal-onto-its-picture")
            << QStringList {"reveal", "-o", "carrier_encrypt.png", "carrier_encrypt.png"}
            << QByteArray() << 5 << QByteArray()
            << QByteArray("carrier_encrypt.png: is a picture being read");
    // The parser's own error in our style: lower case, no full stop.
    QTest::newRow("unknown-option")
            << QStringList {"hide", "plain.png", "--bogus"} << QByteArray() << 2 << QByteArray()
            << QByteArray("quorvane-lsb-cli: unknown option 'bogus'\nTry");
    // Damage found only once the whole picture is checked still comes first, and alone, as the
    // picture's error.
    const QByteArray lateDamage("quorvane-lsb-cli: late.png: cannot be read as a picture");
    QTest::newRow("hide-late-damage") << QStringList {"hide", "late.png", "-m", "a"} << QByteArray()
                                      << 3 << QByteArray() << lateDamage;
    QTest::newRow("hide-late-damage-empty")
            << QStringList {"hide", "late.png"} << QByteArray() << 3 << QByteArray() << lateDamage;
    QTest::newRow("hide-damage-in-message-rows")
            << QStringList {"hide", "late.png", "-m", QString(500, 'a')} << QByteArray() << 3
            << QByteArray() << lateDamage;
    QTest::newRow("hide-late-damage-output-exists")
            << QStringList {"hide", "late.png", "-m", "a", "-o", "taken.png"} << QByteArray() << 3
            << QByteArray() << lateDamage;
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

    const QMap<QString, QByteArray> before = contents(folder->path());
    const Run run = runProgram(folder->path(), arguments, input);
    QCOMPARE(run.status, status);
    QVERIFY2(output.isEmpty() ? run.output.isEmpty() : run.output.contains(output), run.output);
    // An error given from the program's name on must be the first and whole start of the output.
    QVERIFY2(error.isEmpty()                                  ? run.error.isEmpty()
                     : error.startsWith("quorvane-lsb-cli: ") ? run.error.startsWith(error)
                                                              : run.error.contains(error),
             run.error);
    // Only a forced hide replaces a file; a failed run leaves every file as it was.
    QCOMPARE(readFile(folder->filePath("taken.png")) == "an older file",
             !arguments.contains(QLatin1String("--force")) ||
                     !arguments.contains(QLatin1String("taken.png")));
    if (status != 0)
        QVERIFY(contents(folder->path()) == before);
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

void tst_CommandLine::help_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("usage");
    QTest::addColumn<QString>("statuses");

    QTest::newRow("hide") << "hide" << QStringLiteral("hide [options] PICTURE") << "02345";
    QTest::newRow("reveal") << "reveal" << QStringLiteral("reveal [options] PICTURE...") << "01235";
    QTest::newRow("info") << "info" << QStringLiteral("info [options] PICTURE...") << "0235";
    QTest::newRow("all") << "" << QStringLiteral("COMMAND [options] PICTURE...") << "012345";
}

void tst_CommandLine::help()
{
    QFETCH(QString, command);
    QFETCH(QString, usage);
    QFETCH(QString, statuses);

    const Run run =
            runProgram(folder->path(),
                       command.isEmpty() ? QStringList {"--help"} : QStringList {"help", command});
    QCOMPARE(run.status, 0);
    const QString help = QString::fromUtf8(run.output);
    QCOMPARE(help.section(QLatin1Char('\n'), 0, 0), "Usage: quorvane-lsb-cli " + usage);
    // The argument list names the argument as the usage line does.
    if (!command.isEmpty())
        QVERIFY2(help.contains("\nArguments:\n  " + usage.section(' ', -1) + ' '),
                 qPrintable(help));
    QString listed;
    QRegularExpressionMatchIterator status =
            QRegularExpression(QStringLiteral("^  (\\d)  "), QRegularExpression::MultilineOption)
                    .globalMatch(help.section(QStringLiteral("Exit status:"), 1));
    while (status.hasNext())
        listed += status.next().captured(1);
    QCOMPARE(listed, statuses);
    if (!command.isEmpty())
        QCOMPARE(runProgram(folder->path(), {command, "--help"}).output, run.output);
}

void tst_CommandLine::shell_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("error");

    // Opened anew, /dev/stdout would start the redirected file over or be replaced.
    QTest::newRow("stdout-into-file")
            << R"sh(echo before > log; "$CLI" reveal -o /dev/stdout carrier_encrypt.png >> log;
                    status=$?; cat log; exit $status)sh"
            << 0 << QByteArray("before\nsecret") << QByteArray();
    // Any other descriptor named as /dev/fd/N is written through, not replaced.
    QTest::newRow("descriptor-3-into-file")
            << R"sh({ echo before >&3; "$CLI" reveal -o /dev/fd/3 carrier_encrypt.png; status=$?;
                    echo after >&3; } 3> log; cat log; exit $status)sh"
            << 0 << QByteArray("before\nsecretafter\n") << QByteArray();
    // Bytes that QProcess would pass as text: a leading U+FEFF, and a name that is not UTF-8.
    QTest::newRow("message-byte-order-mark")
            << R"sh("$CLI" hide plain.png -m "$(printf '\357\273\277bom')" > /dev/null &&
                    "$CLI" reveal plain_encrypt.png)sh"
            << 0 << QByteArray("\xEF\xBB\xBF") + "bom\n"
            << QByteArray();
    QTest::newRow("name-not-utf8")
            << R"sh("$CLI" hide plain.png -m a -o "$(printf 'out\376.png')"; status=$?;
                    ls out* 2> /dev/null; exit $status)sh"
            << 2 << QByteArray() << QByteArray("is not valid UTF-8");
    // Standard output is flushed before each error, so that one log keeps the pictures' order.
    QTest::newRow("order-through-one-pipe")
            << R"sh("$CLI" reveal carrier_encrypt.png plain.png carrier_encrypt.png 2>&1)sh" << 1
            << QByteArray("==> carrier_encrypt.png <==\nsecret\n"
                          "quorvane-lsb-cli: plain.png: holds no hidden message\n"
                          "==> carrier_encrypt.png <==\nsecret\n")
            << QByteArray();
}

void tst_CommandLine::shell()
{
    QFETCH(QString, script);
    QFETCH(int, status);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, error);

    const Run run = runProgram(folder->path(), {"-c", script}, {}, true, QStringLiteral("/bin/sh"));
    QCOMPARE(run.status, status);
    QCOMPARE(run.output, output);
    // An error given from the program's name on must be the first and whole start of the output.
    QVERIFY2(error.isEmpty()                                  ? run.error.isEmpty()
                     : error.startsWith("quorvane-lsb-cli: ") ? run.error.startsWith(error)
                                                              : run.error.contains(error),
             run.error);
}

void tst_CommandLine::revealIntoFifo()
{
    const QByteArray fifo = QFile::encodeName(folder->filePath("pipe"));
    QCOMPARE(mkfifo(fifo.constData(), 0600), 0);
    // Opened without waiting for a writer, so that a program that never writes fails the test
    // instead of hanging it.
    const int reader = open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    const Run run = runProgram(folder->path(), {"reveal", "-o", "pipe", "carrier_encrypt.png"});
    char received[64];
    const ssize_t size = read(reader, received, sizeof received);
    close(reader);
    QCOMPARE(run.status, 0);
    QCOMPARE(QByteArray(received, int(qMax<ssize_t>(size, 0))), QByteArray("secret"));
    struct stat file;
    QVERIFY(stat(fifo.constData(), &file) == 0 && S_ISFIFO(file.st_mode));
}

void tst_CommandLine::inputThatDoesNotEnd_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("one-byte-too-many")
            << QStringList {"hide", "small.png"} << QByteArray(40, 'a') << 4
            << QByteArray("standard input: the message is longer than "
                          "the 36 bytes");
    // Nor does it wait for a message for a picture that turns out unreadable.
    QTest::newRow("damaged-picture") << QStringList {"hide", "late.png"} << QByteArray() << 3
                                     << QByteArray("late.png: cannot be read as a picture");
}

// The pipe stays open: the program must answer as soon as it can.
void tst_CommandLine::inputThatDoesNotEnd()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QByteArray, error);
    const Run run = runProgram(folder->path(), arguments, input, false);
    QCOMPARE(run.status, status);
    QVERIFY2(run.error.contains(error), run.error);
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

void tst_CommandLine::inProcess_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::newRow("unknown-command") << QStringList {"show", "plain.png"} << 2;
    QTest::newRow("hide-lossy-output")
            << QStringList {"hide", "plain.png", "-m", "a", "-o", "out.jpg"} << 2;
    QTest::newRow("hide-output-exists")
            << QStringList {"hide", "plain.png", "-m", "a", "-o", "taken.png"} << 5;
    QTest::newRow("info-not-a-picture") << QStringList {"info", "notes.txt"} << 3;
}

// The rules without a process: the status, and no file changed on failure.
void tst_CommandLine::inProcess()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    const QMap<QString, QByteArray> before = contents(folder->path());
    QList<QByteArray> raw {"quorvane-lsb-cli"};
    for (const QString &argument : arguments)
        raw << argument.toUtf8();
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder->path()));
    // The program's messages go to standard error; a passing test prints nothing.
    std::fflush(stderr);
    const int savedError = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    CommandLine commandLine(raw);
    const int result = commandLine.run();
    std::fflush(stderr);
    dup2(savedError, STDERR_FILENO);
    close(savedError);
    close(null);
    QVERIFY(QDir::setCurrent(previous));
    QCOMPARE(result, status);
    QCOMPARE(contents(folder->path()), before);
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"

#include "carrierimage.h"

#include "fixtures.h"

#include <QByteArray>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(CarrierImage::LoadResult)

namespace {

using LoadResult = CarrierImage::LoadResult;

// What a fixture really is, read from its header: "png 8 3" (bit depth, colour type), "bmp 24".
QByteArray fileKind(const QByteArray &bytes)
{
    if (bytes.startsWith("\x89PNG") && bytes.size() > 25)
        return "png " + QByteArray::number(uchar(bytes.at(24))) + ' ' +
                QByteArray::number(uchar(bytes.at(25)));
    if (bytes.startsWith("BM") && bytes.size() > 29)
        return "bmp " + QByteArray::number(uchar(bytes.at(28)));
    return "unknown";
}

// Qt writes only 24-bit bottom-up BMPs, so the other layouts are written here.
QByteArray bmpBytes(const QImage &image, int bitCount, bool topDown)
{
    const int rowBytes = image.width() * bitCount / 8;
    const int rowSize = (rowBytes + 3) / 4 * 4;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    for (int row = 0; row < image.height(); ++row) {
        const int y = topDown ? row : image.height() - 1 - row;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb value = image.pixel(x, y);
            out << quint8(qBlue(value)) << quint8(qGreen(value)) << quint8(qRed(value));
            if (bitCount == 32)
                out << quint8(0);
        }
        for (int pad = rowBytes; pad < rowSize; ++pad)
            out << quint8(0);
    }
    const int height = image.height();
    return bmpFile(info40(image.width(), topDown ? -height : height, quint16(bitCount)), {}, bytes);
}

// What a run-length BMP must give: palette entry 0 wherever the runs write nothing.
QImage redWithBlue(std::initializer_list<QPoint> blue)
{
    QImage image(4, 4, QImage::Format_RGB32);
    image.fill(qRgb(255, 0, 0));
    for (const QPoint &point : blue)
        image.setPixel(point, qRgb(0, 0, 255));
    return image;
}

// 34 bytes: an info header of 16 bytes, which Qt reads in the 12-byte layout as a 64 x 64
// picture, and 8 bytes of pixels.
QByteArray oddInfoSizeBmp(quint32 infoSize)
{
    return bmpFile(littleEndian(infoSize, qint16(64), qint16(64), quint16(1), quint16(24)), {},
                   QByteArray(8, '\x7f'));
}

// An RGB PNG with one chunk after IHDR or after the pixel data that announces 0x7ffffff0 bytes
// but holds none: libpng would allocate them all before finding out.
QByteArray pngAnnouncingHugeChunk(bool afterPixels)
{
    const QByteArray png = announcingPng(4, 4);
    const QByteArray huge = QByteArray::fromHex("7ffffff0") + "tEXt";
    return afterPixels ? png.left(png.size() - 12) + huge : png.left(33) + huge;
}

// The picture a hide must leave: the first `rewritten` pixels of the walk carry the digits,
// with 0 past the last one, and get alpha 0xFF when forced; all other pixels stay as they were.
QImage expectedAfterHide(const QImage &source, const QString &bits, int rewritten, bool forceOpaque)
{
    QImage image = source.convertToFormat(QImage::Format_ARGB32);
    for (int index = 0; index < 3 * rewritten; ++index)
        setDigit(image, index, index < bits.size() && bits.at(index) == QLatin1Char('1'));
    for (int pixel = 0; forceOpaque && pixel < rewritten; ++pixel) {
        const QPoint point = walkPoint(image, pixel);
        image.setPixel(point, image.pixel(point) | 0xFF000000u);
    }
    return image;
}

QString byteDigits(const QByteArray &bytes)
{
    QString digits;
    for (const char byte : bytes) {
        for (int bit = 7; bit >= 0; --bit)
            digits += (uchar(byte) >> bit) & 1 ? QLatin1Char('1') : QLatin1Char('0');
    }
    return digits;
}

// Empty when both pictures hold the same pixel values, else the first difference.
QByteArray pixelDifference(const QImage &actual, const QImage &expected)
{
    if (actual.size() != expected.size())
        return "sizes differ";
    for (int x = 0; x < actual.width(); ++x) {
        for (int y = 0; y < actual.height(); ++y) {
            if (actual.pixel(x, y) != expected.pixel(x, y))
                return QString::asprintf("pixel (%d,%d) is %08x, expected %08x", x, y,
                                         actual.pixel(x, y), expected.pixel(x, y))
                        .toLatin1();
        }
    }
    return QByteArray();
}

// Should the engine open the pipe, a writer opening and closing it gives the blocked reader an
// end of file, so the test finishes either way; `opened` records that the rescue was needed.
LoadResult loadFromPipe(CarrierImage &engine, const QString &path, bool *opened)
{
    std::atomic<bool> done {false};
    std::atomic<bool> rescued {false};
    const QByteArray name = QFile::encodeName(path);
    std::thread writer([&] {
        while (!done) {
            const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                rescued = true;
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const LoadResult result = engine.load(path);
    done = true;
    writer.join();
    if (rescued)
        *opened = true;
    return result;
}

enum DiskSpace { Plenty, FullEarly, FullNearEnd };

} // namespace

class tst_CarrierImage : public QObject
{
    Q_OBJECT
private slots:
    void capacity_data();
    void capacity();
    void load_data();
    void load();
    void save_data();
    void save();
    void getImageReturnsCopies();
    void bitsToText_data();
    void bitsToText();
    void hide_data();
    void hide();
    void secondHide_data();
    void secondHide();
    void roundTrip_data();
    void roundTrip();
    void extractHandWritten_data();
    void extractHandWritten();
    void sameInEveryProcess_data();
    void sameInEveryProcess();
};

void tst_CarrierImage::capacity_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("capacity");
    // Bytes behind the 12-digit header, 8 positions each, 3 positions per pixel, at most 511.
    const struct
    {
        int width, height, capacity;
    } rows[] = {{100, 100, 511}, {10, 10, 36},   {7, 1, 1},    {1, 7, 1},
                {4, 5, 6},       {5, 1, 0},      {2, 2, 0},    {1, 1, 0},
                {1366, 1, 510},  {1367, 1, 511}, {545, 9, 511}};
    for (const auto &row : rows)
        QTest::addRow("%dx%d", row.width, row.height)
                << QSize(row.width, row.height) << row.capacity;
}

void tst_CarrierImage::capacity()
{
    QFETCH(QSize, size);
    QFETCH(int, capacity);
    QTemporaryDir dir;
    const QString path = dir.filePath("picture.png");
    QVERIFY(writeFile(path, encoded(noiseImage(size, QImage::Format_RGB32, 7), "png")));
    CarrierImage engine;
    QCOMPARE(engine.load(path), LoadResult::Loaded);
    QCOMPARE(engine.getCapacity(), capacity);
}

void tst_CarrierImage::load_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<LoadResult>("result");
    QTest::addColumn<QImage>("expected");

    // 545 pixels wide so that 24-bit rows are padded.
    const QImage rgb = noiseImage(QSize(545, 7), QImage::Format_RGB32, 1);
    const QImage rgba = noiseImage(QSize(545, 7), QImage::Format_ARGB32, 2);
    const QImage palette = noiseImage(QSize(545, 7), QImage::Format_Indexed8, 3);
    const QImage gray = noiseImage(QSize(545, 7), QImage::Format_Grayscale8, 4);
    const QByteArray rgbPng = encoded(rgb, "png");
    QImage black(4, 4, QImage::Format_RGB32);
    black.fill(Qt::black);

    QTest::newRow("png-rgb") << "file" << rgbPng << LoadResult::Loaded << rgb;
    QTest::newRow("png-rgba") << "file" << encoded(rgba, "png") << LoadResult::Loaded << rgba;
    QTest::newRow("png-palette") << "file" << encoded(palette, "png") << LoadResult::Loaded
                                 << palette;
    QTest::newRow("png-grayscale") << "file" << encoded(gray, "png") << LoadResult::Loaded << gray;
    QTest::newRow("png-crafted-4x4")
            << "file" << announcingPng(4, 4) << LoadResult::Loaded << black;
    for (int bitCount : {24, 32}) {
        for (bool topDown : {false, true}) {
            const QByteArray bmp = bmpBytes(rgb, bitCount, topDown);
            const char *order = topDown ? "top-down" : "bottom-up";
            QTest::addRow("bmp-%d-%s", bitCount, order)
                    << "file" << bmp << LoadResult::Loaded << rgb;
            QTest::addRow("bmp-%d-%s-cut-in-rows", bitCount, order)
                    << "file" << bmp.left(54 + bmp.size() / 2) << LoadResult::Unreadable
                    << QImage();
            QTest::addRow("bmp-%d-%s-cut-in-last-pixel", bitCount, order)
                    << "file" << bmp.left(bmp.size() - 2) << LoadResult::Unreadable << QImage();
        }
    }
    QImage coreBmp(2, 2, QImage::Format_RGB32);
    coreBmp.fill(qRgb(1, 2, 3));
    coreBmp.setPixel(1, 0, qRgb(4, 5, 6));
    QTest::newRow("bmp-core-header")
            << "file"
            << bmpFile(littleEndian(quint32(12), qint16(2), qint16(2), quint16(1), quint16(24)), {},
                       QByteArray::fromHex("0302010302010000"
                                           "0302010605040000"))
            << LoadResult::Loaded << coreBmp;
    QTest::newRow("bmp-info-size-16")
            << "file" << oddInfoSizeBmp(16) << LoadResult::Unreadable << QImage();
    QTest::newRow("bmp-info-size-0")
            << "file" << oddInfoSizeBmp(0) << LoadResult::Unreadable << QImage();
    // The reader starts after the palette when the offset points into it.
    QTest::newRow("bmp-8-offset-in-palette-cut-in-rows")
            << "file" << bmpFile(info40(4, 4, 8, 0, 2), redBluePalette, QByteArray(12, '\1'), 0)
            << LoadResult::Unreadable << QImage();
    QTest::newRow("bmp-huge-dimensions-and-bit-count")
            << "file" << bmpFile(info40(0x7FFFFFFF, -0x7FFFFFFF, 0xFFFF), {}, {})
            << LoadResult::TooLarge << QImage();
    QTest::newRow("bmp-rle8-ends-early") << "file" << runLengthBmp(8, QByteArray("\2\1", 2))
                                         << LoadResult::Loaded << redWithBlue({{0, 3}, {1, 3}});
    QTest::newRow("bmp-rle8-ends-at-once") << "file" << runLengthBmp(8, QByteArray("\0\1", 2))
                                           << LoadResult::Loaded << redWithBlue({});
    QTest::newRow("bmp-rle8-delta") << "file" << runLengthBmp(8, QByteArray("\0\2\1\1\1\1\0\1", 8))
                                    << LoadResult::Loaded << redWithBlue({{1, 2}});
    QTest::newRow("bmp-rle8-line-ends-early")
            << "file" << runLengthBmp(8, QByteArray("\1\1\0\0\2\1\0\1", 8)) << LoadResult::Loaded
            << redWithBlue({{0, 3}, {0, 2}, {1, 2}});
    QTest::newRow("bmp-rle4-ends-early")
            << "file" << runLengthBmp(4, QByteArray("\3\x11", 2)) << LoadResult::Loaded
            << redWithBlue({{0, 3}, {1, 3}, {2, 3}});
    QTest::newRow("png-announcing-65535x65535")
            << "file" << announcingPng(65535, 65535) << LoadResult::TooLarge << QImage();
    QTest::newRow("png-announcing-16385x1")
            << "file" << announcingPng(16385, 1) << LoadResult::TooLarge << QImage();
    QTest::newRow("png-truncated")
            << "file" << rgbPng.left(rgbPng.size() / 2) << LoadResult::Unreadable << QImage();
    QTest::newRow("not-a-picture")
            << "file" << QByteArray("just some text\n") << LoadResult::Unreadable << QImage();
    QTest::newRow("empty-file") << "file" << QByteArray() << LoadResult::Unreadable << QImage();
    QTest::newRow("named-pipe") << "fifo" << QByteArray() << LoadResult::Unreadable << QImage();
    QTest::newRow("directory") << "directory" << QByteArray() << LoadResult::Unreadable << QImage();
}

void tst_CarrierImage::load()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, contents);
    QFETCH(LoadResult, result);
    QFETCH(QImage, expected);

    QTemporaryDir dir;
    const QString path = dir.filePath("fixture.png");
    if (kind == QLatin1String("fifo"))
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("fixture.png")));
    else
        QVERIFY(writeFile(path, contents));
    bool pipeOpened = false;
    const auto loadFixture = [&](CarrierImage &engine) {
        return kind == QLatin1String("fifo") ? loadFromPipe(engine, path, &pipeOpened)
                                             : engine.load(path);
    };

    CarrierImage first;
    QCOMPARE(loadFixture(first), result);
    if (result == LoadResult::Loaded) {
        const QImage loaded = first.getImage();
        // 32 bits per pixel, so that every low bit a hide writes survives.
        QCOMPARE(loaded.format(),
                 expected.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        QCOMPARE(pixelDifference(loaded, expected), QByteArray());
        return;
    }
    QVERIFY(first.getImage().isNull());
    QCOMPARE(first.getCapacity(), 0);
    QCOMPARE(first.extractBits(), QString());

    // A failed load leaves the picture loaded before as it was, hidden message included.
    const QString previousPath = dir.filePath("previous.png");
    QVERIFY(writeFile(previousPath,
                      encoded(noiseImage(QSize(30, 20), QImage::Format_ARGB32, 5), "png")));
    CarrierImage engine;
    QCOMPARE(engine.load(previousPath), LoadResult::Loaded);
    engine.setMessageText(QStringLiteral("A"));
    engine.textToBits();
    engine.hideBits(0);
    const QImage before = engine.getImage();
    const int capacity = engine.getCapacity();
    QCOMPARE(loadFixture(engine), result);
    QCOMPARE(engine.getCapacity(), capacity);
    QCOMPARE(pixelDifference(engine.getImage(), before), QByteArray());
    QCOMPARE(engine.extractBits(), QStringLiteral("01000001"));
    QVERIFY2(!pipeOpened, "the named pipe was opened: with no writer that blocks forever");
}

void tst_CarrierImage::save_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("diskSpace");
    QTest::addColumn<QByteArray>("magic");

    const QByteArray png("\x89PNG\r\n\x1a\n");
    QTest::newRow("png") << "out.png" << int(Plenty) << png;
    QTest::newRow("bmp") << "out.bmp" << int(Plenty) << QByteArray("BM");
    QTest::newRow("upper-case-png") << "out.PNG" << int(Plenty) << png;
    QTest::newRow("unknown-suffix") << "out.xyz" << int(Plenty) << QByteArray();
    QTest::newRow("no-suffix") << "out" << int(Plenty) << QByteArray();
    // Near the end only the last buffered block fails to reach the disk, which surfaces in the
    // final flush rather than in a write.
    for (const char *suffix : {"png", "bmp"}) {
        QTest::addRow("%s-disk-full-early", suffix)
                << QStringLiteral("out.") + suffix << int(FullEarly) << QByteArray();
        QTest::addRow("%s-disk-full-near-end", suffix)
                << QStringLiteral("out.") + suffix << int(FullNearEnd) << QByteArray();
    }
}

void tst_CarrierImage::save()
{
    QFETCH(QString, fileName);
    QFETCH(int, diskSpace);
    QFETCH(QByteArray, magic);

    QTemporaryDir dir;
    const QString source = dir.filePath("source.png");
    QVERIFY(writeFile(source,
                      encoded(noiseImage(QSize(300, 200), QImage::Format_RGB32, 6), "png")));
    CarrierImage engine;
    QCOMPARE(engine.load(source), LoadResult::Loaded);
    QVERIFY(QFile::remove(source));
    engine.setMessageText(QStringLiteral("saved"));
    engine.textToBits();
    engine.hideBits(1);

    const QString path = dir.filePath(fileName);
    const QByteArray previous = encoded(noiseImage(QSize(8, 8), QImage::Format_RGB32, 9), "png");
    QVERIFY(writeFile(path, previous));
    // Both encodings of 300 × 200 noise take far more than 16 KiB. The size is that of the
    // engine's own output, which is not Qt's for PNG.
    qint64 fullSize = 0;
    if (diskSpace == FullNearEnd) {
        const QString probe = dir.filePath(QStringLiteral("probe.") + QFileInfo(path).suffix());
        QVERIFY(engine.saveImage(probe));
        fullSize = QFileInfo(probe).size();
        QVERIFY(QFile::remove(probe));
    }
    const rlim_t limit = diskSpace == Plenty ? 0
            : diskSpace == FullEarly         ? 16 * 1024
                                             : fullSize - 100;
    bool saved = false;
    {
        FileSizeLimit fileSizeLimit(limit);
        QVERIFY(fileSizeLimit.active);
        saved = engine.saveImage(path);
    }
    QCOMPARE(saved, !magic.isEmpty());
    const QByteArray written = readFile(path);
    if (saved) {
        QVERIFY2(written.startsWith(magic), written.left(8).toHex().constData());
        QCOMPARE(pixelDifference(QImage::fromData(written), engine.getImage()), QByteArray());
    } else {
        QCOMPARE(written, previous);
    }
    // Nothing half-written or temporary is left beside the target.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {fileName});
}

void tst_CarrierImage::getImageReturnsCopies()
{
    QTemporaryDir dir;
    const QImage source = noiseImage(QSize(20, 10), QImage::Format_RGB32, 10);
    const QString path = dir.filePath("picture.png");
    QVERIFY(writeFile(path, encoded(source, "png")));
    CarrierImage engine;
    QCOMPARE(engine.load(path), LoadResult::Loaded);

    QImage copy = engine.getImage();
    copy.fill(Qt::red);
    QCOMPARE(pixelDifference(engine.getImage(), source), QByteArray());

    // A copy taken before a hide keeps showing the picture as it was.
    const QImage beforeHide = engine.getImage();
    engine.setMessageText(QStringLiteral("a hidden line"));
    engine.textToBits();
    engine.hideBits(0);
    QCOMPARE(pixelDifference(beforeHide, source), QByteArray());
    QVERIFY(!pixelDifference(engine.getImage(), source).isEmpty());
}

void tst_CarrierImage::bitsToText_data()
{
    QTest::addColumn<QString>("bits");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    const auto bytes = [](const char *data) {
        return byteDigits(QByteArray(data));
    };
    QTest::newRow("two-letters") << "0100000101000010" << QStringLiteral("AB") << true;
    QTest::newRow("trailing-partial-group") << "01000001010" << QStringLiteral("A") << false;
    QTest::newRow("empty") << QString() << QString() << false;
    QTest::newRow("zero-byte-ends-text")
            << "010000010000000001000010" << QStringLiteral("A") << false;
    QTest::newRow("zero-byte-first") << "0000000001000001" << QString() << false;
    QTest::newRow("cjk") << "111001001011100010101101" << QString(QChar(0x4E2D)) << true;
    QTest::newRow("emoji") << bytes("\xF0\x9F\x98\x80") << QString::fromUtf8("\xF0\x9F\x98\x80")
                           << true;
    // Part of the message, not a marker to drop.
    QTest::newRow("leading-byte-order-marks")
            << bytes("\xEF\xBB\xBF\xEF\xBB\xBFhi")
            << QString(2, QChar(QChar::ByteOrderMark)) + QStringLiteral("hi") << true;
    QTest::newRow("highest-code-point")
            << bytes("\xF4\x8F\xBF\xBF") << QString::fromUtf8("\xF4\x8F\xBF\xBF") << true;
    // Malformed input decodes as Qt's decoder does, but is no message of ours.
    const char *malformed[][2] = {
            {"overlong-slash", "\xC0\xAF"}, {"overlong-three-bytes", "\xE0\x80\xAF"},
            {"surrogate", "\xED\xA0\x80"},  {"truncated-sequence", "A\xE4\xB8"},
            {"lone-continuation", "\x80"},  {"above-highest-code-point", "\xF4\x90\x80\x80"},
            {"invalid-lead-byte", "\xFF"}};
    for (const auto &row : malformed)
        QTest::newRow(row[0]) << bytes(row[1]) << QString::fromUtf8(row[1]) << false;
}

void tst_CarrierImage::bitsToText()
{
    QFETCH(QString, bits);
    QFETCH(QString, text);
    QFETCH(bool, valid);

    CarrierImage engine;
    engine.setBitString(bits);
    QCOMPARE(engine.bitsToText(), valid);
    QCOMPARE(engine.getRevealedText(), text);
}

void tst_CarrierImage::hide_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("alpha");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("bits");
    QTest::addColumn<int>("forceOpaque");
    QTest::addColumn<int>("rewritten");

    const QString a = QStringLiteral("A");
    const QString aBits = QStringLiteral("000000001000"
                                         "01000001");
    const QString cjk(QChar(0x4E2D));
    const QString cjkBits = QStringLiteral("000000011000"
                                           "111001001011100010101101");
    const QSize wide(545, 7);
    // 20 digits: pixels 0-6, the blue of pixel 6 cleared.
    QTest::newRow("ascii-opaque-source") << wide << 0xFF << a << aBits << 0 << 7;
    QTest::newRow("ascii-alpha-kept") << wide << 0x80 << a << aBits << 0 << 7;
    QTest::newRow("ascii-alpha-forced") << wide << 0x80 << a << aBits << 1 << 7;
    // 36 digits fill pixels 0-11; pixel 12 follows with all three low bits cleared.
    QTest::newRow("cjk-alpha-kept") << wide << 0x80 << cjk << cjkBits << 0 << 13;
    QTest::newRow("cjk-alpha-forced") << wide << 0x80 << cjk << cjkBits << 1 << 13;
    QTest::newRow("empty-message") << wide << 0x80 << QString() << "000000000000" << 0 << 5;
    QTest::newRow("emoji") << wide << 0x80 << QString::fromUtf8("\xF0\x9F\x98\x80")
                           << "000000100000"
                              "11110000100111111001100010000000"
                           << 0 << 15;
    QTest::newRow("one-pixel-wide") << QSize(1, 40) << 0x80 << a << aBits << 0 << 7;
    QTest::newRow("one-pixel-high") << QSize(40, 1) << 0x80 << cjk << cjkBits << 0 << 13;
    QTest::newRow("exactly-seven-pixels") << QSize(7, 1) << 0x80 << a << aBits << 0 << 7;
    // 13 pixels' worth of digits in 9 pixels: the walk ends with the picture full.
    QTest::newRow("message-longer-than-picture") << QSize(3, 3) << 0x80 << cjk << cjkBits << 0 << 9;
}

void tst_CarrierImage::hide()
{
    QFETCH(QSize, size);
    QFETCH(int, alpha);
    QFETCH(QString, message);
    QFETCH(QString, bits);
    QFETCH(int, forceOpaque);
    QFETCH(int, rewritten);

    QTemporaryDir dir;
    const QImage source = noiseImage(
            size, alpha == 0xFF ? QImage::Format_RGB32 : QImage::Format_ARGB32, 11, alpha);
    const QString path = dir.filePath("picture.png");
    QVERIFY(writeFile(path, encoded(source, "png")));
    CarrierImage engine;
    QCOMPARE(engine.load(path), LoadResult::Loaded);
    engine.setMessageText(message);
    engine.textToBits();
    engine.hideBits(forceOpaque);
    QCOMPARE(pixelDifference(engine.getImage(),
                             expectedAfterHide(source, bits, rewritten, forceOpaque)),
             QByteArray());
}

void tst_CarrierImage::secondHide_data()
{
    QTest::addColumn<int>("firstForceOpaque");
    QTest::addColumn<int>("secondForceOpaque");

    QTest::newRow("alpha-kept-twice") << 0 << 0;
    QTest::newRow("forced-then-kept") << 1 << 0;
    QTest::newRow("kept-then-forced") << 0 << 1;
}

void tst_CarrierImage::secondHide()
{
    QFETCH(int, firstForceOpaque);
    QFETCH(int, secondForceOpaque);

    QTemporaryDir dir;
    const QImage source = noiseImage(QSize(545, 7), QImage::Format_ARGB32, 12, 0x80);
    const QString path = dir.filePath("picture.png");
    QVERIFY(writeFile(path, encoded(source, "png")));
    CarrierImage engine;
    QCOMPARE(engine.load(path), LoadResult::Loaded);
    engine.setMessageText(QStringLiteral("a much longer secret that must not outlive its removal"));
    engine.textToBits();
    engine.hideBits(firstForceOpaque);
    engine.setMessageText(QStringLiteral("A"));
    engine.textToBits();
    engine.hideBits(secondForceOpaque);
    // Only the seven pixels of A differ from the picture as loaded.
    const QString bits = QStringLiteral("000000001000"
                                        "01000001");
    QCOMPARE(pixelDifference(engine.getImage(),
                             expectedAfterHide(source, bits, 7, secondForceOpaque)),
             QByteArray());
    QCOMPARE(engine.extractBits(), QStringLiteral("01000001"));
}

void tst_CarrierImage::roundTrip_data()
{
    QTest::addColumn<QImage>("source");
    QTest::addColumn<QByteArray>("sourceFormat");
    QTest::addColumn<QByteArray>("sourceKind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("suffix");

    const struct
    {
        const char *tag;
        QImage::Format format;
        const char *fileFormat;
        const char *kind;
    } sources[] = {{"rgb-png", QImage::Format_RGB32, "png", "png 8 2"},
                   {"rgba-png", QImage::Format_ARGB32, "png", "png 8 6"},
                   {"palette-png", QImage::Format_Indexed8, "png", "png 8 3"},
                   {"grayscale-png", QImage::Format_Grayscale8, "png", "png 8 0"},
                   {"rgba16-png", QImage::Format_RGBA64, "png", "png 16 6"},
                   {"one-bit-png", QImage::Format_Mono, "png", "png 1 3"},
                   {"rgb-bmp", QImage::Format_RGB32, "bmp", "bmp 24"},
                   {"one-bit-bmp", QImage::Format_Mono, "bmp", "bmp 1"},
                   {"palette-bmp", QImage::Format_Indexed8, "bmp", "bmp 8"}};
    // 170 three-byte characters and one ASCII letter: 511 bytes.
    const QString longest = QString(170, QChar(0x4E2D)) + QLatin1Char('z');
    const struct
    {
        const char *tag;
        QString text;
        QSize size;
    } messages[] = {
            {"ascii", QStringLiteral("Meet me at the old mill at nine."), QSize(545, 9)},
            {"cjk", QString::fromUtf8("中文消息：今晚九点在老磨坊见。"), QSize(545, 9)},
            {"emoji", QString::fromUtf8("\xF0\x9F\x98\x80 ok \xF0\x9F\x8E\x89"), QSize(545, 9)},
            {"line-breaks", QStringLiteral("first\nsecond\r\n\nlast\n"), QSize(545, 9)},
            {"511-bytes", longest, QSize(545, 9)},
            // 12 + 36 × 8 = 300 digits: every position of a 10 × 10 picture.
            {"fills-10x10", QStringLiteral("exactly thirty-six characters long!!"), QSize(10, 10)},
    };
    quint32 seed = 100;
    for (const auto &source : sources) {
        for (const auto &message : messages) {
            const QImage image = noiseImage(message.size, source.format, ++seed);
            for (const char *suffix : {"png", "bmp"})
                QTest::addRow("%s-%s-to-%s", source.tag, message.tag, suffix)
                        << image << QByteArray(source.fileFormat) << QByteArray(source.kind)
                        << message.text << QString::fromLatin1(suffix);
        }
    }
}

void tst_CarrierImage::roundTrip()
{
    QFETCH(QImage, source);
    QFETCH(QByteArray, sourceFormat);
    QFETCH(QByteArray, sourceKind);
    QFETCH(QString, message);
    QFETCH(QString, suffix);

    const QByteArray sourceBytes = encoded(source, sourceFormat);
    if (source.format() == QImage::Format_RGBA64 && fileKind(sourceBytes) != sourceKind)
        QSKIP("this Qt writes no 16-bit PNG");
    QCOMPARE(fileKind(sourceBytes), sourceKind);

    QTemporaryDir dir;
    const QString input = dir.filePath("source." + QString::fromLatin1(sourceFormat));
    const QString output = dir.filePath("source_encrypt." + suffix);
    QVERIFY(writeFile(input, sourceBytes));
    CarrierImage sender;
    QCOMPARE(sender.load(input), LoadResult::Loaded);
    QVERIFY(message.toUtf8().size() <= sender.getCapacity());
    sender.setMessageText(message);
    sender.textToBits();
    sender.hideBits(suffix == QLatin1String("png") ? 0 : 1);
    QVERIFY(sender.saveImage(output));

    CarrierImage receiver;
    QCOMPARE(receiver.load(output), LoadResult::Loaded);
    receiver.setBitString(receiver.extractBits());
    QVERIFY(receiver.bitsToText());
    QCOMPARE(receiver.getRevealedText(), message);
}

void tst_CarrierImage::extractHandWritten_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QString>("body");

    const QString a = QStringLiteral("01000001");
    // Period 7 lines up with neither the 3 channels nor the 8 digits of a byte.
    const QString pattern = QStringLiteral("1101000").repeated(600);
    const QString body288 = pattern.left(288);
    const QString body4095 = pattern.left(4095);
    QTest::newRow("ascii") << QSize(545, 7) << "000000001000" + a << a;
    QTest::newRow("ascii-one-pixel-wide") << QSize(1, 30) << "000000001000" + a << a;
    QTest::newRow("ascii-one-pixel-high") << QSize(30, 1) << "000000001000" + a << a;
    QTest::newRow("header-zero") << QSize(545, 7) << "000000000000" + a << QString();
    QTest::newRow("header-zero-2x2") << QSize(2, 2) << "000000000000" << QString();
    QTest::newRow("header-only-picture") << QSize(2, 2) << "000000001000" << QString();
    QTest::newRow("fewer-positions-than-header") << QSize(1, 1) << "101" << QString();
    // 10 × 10 holds 300 digits: a body of 288 ends in the last one, 289 do not fit.
    QTest::newRow("body-ends-in-last-position")
            << QSize(10, 10) << "000100100000" + body288 << body288;
    QTest::newRow("header-larger-than-picture")
            << QSize(10, 10) << "000100100001" + body288 << QString();
    QTest::newRow("largest-header") << QSize(545, 9) << "111111111111" + body4095 << body4095;
    QTest::newRow("null-picture") << QSize() << QString() << QString();
}

void tst_CarrierImage::extractHandWritten()
{
    QFETCH(QSize, size);
    QFETCH(QString, digits);
    QFETCH(QString, body);

    CarrierImage engine;
    if (size.isValid()) {
        // Alpha varies too: it must play no part in what is read.
        QImage image = noiseImage(size, QImage::Format_ARGB32, 15);
        for (int index = 0; index < digits.size(); ++index)
            setDigit(image, index, digits.at(index) == QLatin1Char('1'));
        QTemporaryDir dir;
        const QString path = dir.filePath("written.png");
        QVERIFY(writeFile(path, encoded(image, "png")));
        QCOMPARE(engine.load(path), LoadResult::Loaded);
    }
    QCOMPARE(engine.extractBits(), body);
}

void tst_CarrierImage::sameInEveryProcess_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<LoadResult>("result");
    QTest::newRow("bmp-info-size-16") << oddInfoSizeBmp(16) << LoadResult::Unreadable;
    // 64 x 64, so that the allocator hands out fresh blocks rather than recycled ones.
    QTest::newRow("bmp-rle8-delta")
            << runLengthBmp(8, QByteArray("\0\2\1\1\1\1\0\1", 8), 64) << LoadResult::Loaded;
    QTest::newRow("bmp-rle4-ends-early")
            << runLengthBmp(4, QByteArray("\3\x11", 2), 64) << LoadResult::Loaded;
    QTest::newRow("png-chunk-past-end-before-pixels")
            << pngAnnouncingHugeChunk(false) << LoadResult::Unreadable;
    QTest::newRow("png-chunk-past-end-after-pixels")
            << pngAnnouncingHugeChunk(true) << LoadResult::Unreadable;
}

// Each load runs in a child process whose fresh heap blocks hold other garbage, so a pixel the
// file did not give differs between the two. A tiny file must not cost much memory either.
void tst_CarrierImage::sameInEveryProcess()
{
    QFETCH(QByteArray, contents);
    QFETCH(LoadResult, result);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fixture.bmp"));
    QVERIFY(writeFile(path, contents));
    QByteArray pixels[2];
    // New heap blocks hold bytes of 0 in one child and 1 in the other: indices of the fixtures'
    // two palette entries, so that an unwritten pixel shows in either format.
    for (const int garbage : {0, 1}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MALLOC_PERTURB_"), QString::number(garbage ^ 0xFF));
        environment.insert(
                QStringLiteral("ASAN_OPTIONS"),
                environment.value(QStringLiteral("ASAN_OPTIONS")) +
                        QStringLiteral(":max_malloc_fill_size=16777216:malloc_fill_byte=") +
                        QString::number(garbage));
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral(PIXELDUMP), {path});
        QVERIFY(child.waitForFinished(-1));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        const QByteArray output = child.readAllStandardOutput();
        QCOMPARE(output.left(2), QByteArray::number(int(result)) + '\n');
        pixels[garbage] = output.mid(2);
        // The last line; libpng may have warned before.
        const long peakKib = child.readAllStandardError().trimmed().split('\n').last().toLong();
        QVERIFY2(peakKib > 0 && peakKib < 256 * 1024, QByteArray::number(qlonglong(peakKib)));
    }
    QCOMPARE(pixels[0], pixels[1]);
}

QTEST_GUILESS_MAIN(tst_CarrierImage)
#include "tst_carrierimage.moc"

#include "pngwriter.h"

#include "carrierimage.h"
#include "fixtures.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

struct Chunk
{
    QByteArray type;
    QByteArray whole; // length, type, data and CRC as stored
    bool crcValid;
};

// The chunks of a PNG file in order; empty if the signature or a length is wrong.
QVector<Chunk> readChunks(const QByteArray &file)
{
    QVector<Chunk> chunks;
    if (!file.startsWith("\x89PNG\r\n\x1a\n"))
        return chunks;
    qint64 pos = 8;
    while (pos + 12 <= file.size()) {
        const qint64 length = qFromBigEndian<quint32>(file.constData() + pos);
        if (pos + 12 + length > file.size())
            return {};
        const QByteArray typeAndData = file.mid(int(pos + 4), int(length + 4));
        const quint32 crc = qFromBigEndian<quint32>(file.constData() + pos + 8 + length);
        chunks.append({typeAndData.left(4), file.mid(int(pos), int(length + 12)),
                       crc == crc32(typeAndData)});
        pos += 12 + length;
    }
    return pos == file.size() ? chunks : QVector<Chunk>();
}

// Noise, so that every filter and every strategy gets exercised. Every seventh pixel of an
// ARGB32 picture is fully transparent yet coloured; RGB32 pictures keep noise in their filler
// bytes, which must not reach the file.
QImage makePicture(int width, int height, QImage::Format format)
{
    QImage image =
            noiseImage(QSize(width, height), QImage::Format_ARGB32, quint32(width * 31 + height));
    if (format == QImage::Format_RGB32)
        return QImage(image.constBits(), width, height, image.bytesPerLine(), format).copy();
    for (int y = 0; y < height; ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            if ((x + y) % 7 == 0)
                row[x] &= 0x00FFFFFFu;
        }
    }
    return image;
}

// Random tiles of 13 x 5 pixels repeated, so that deflate finds matches a few rows back: a
// picture large enough to be compressed in two halves then depends on the second half seeing
// the end of the first.
QImage makeTiles(int width, int height, QImage::Format format)
{
    const QImage tile = makePicture(13, 5, format);
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            reinterpret_cast<QRgb *>(image.scanLine(y))[x] = tile.pixel(x % 13, y % 5);
    }
    return image;
}

// A PNG file with the given chunks inserted after IHDR and others after the pixel data.
QByteArray sourcePng(const QByteArray &before, const QByteArray &after = QByteArray(),
                     QImage::Format format = QImage::Format_RGB32)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    makePicture(40, 30, QImage::Format_RGB32).convertToFormat(format).save(&buffer, "png");
    QByteArray file = buffer.data().left(8);
    for (const Chunk &chunk : readChunks(buffer.data())) {
        // Qt writes pHYs itself; leave it out so each test controls every chunk.
        if (chunk.type == "pHYs")
            continue;
        if (chunk.type == "IEND")
            file += after;
        file += chunk.whole;
        if (chunk.type == "IHDR")
            file += before;
    }
    return file;
}

QByteArray zlibStream(const QByteArray &data)
{
    return qCompress(data).mid(4); // qCompress puts the length in front of the zlib stream
}

const QString message = QStringLiteral("Ünïcode message, 11 words long, kept in the lowest bits.");

bool hideAndSave(CarrierImage &picture, const QString &path)
{
    picture.hideMessage(message.toUtf8(), false);
    return picture.saveImage(path);
}

QString revealFrom(const QString &path)
{
    CarrierImage picture;
    if (picture.load(path) != CarrierImage::LoadResult::Loaded)
        return QString();
    picture.revealMessage();
    return picture.getRevealedText();
}

} // namespace

class tst_PngWriter : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void sameBytesEverySave_data();
    void sameBytesEverySave();
    void keepsMetadata_data();
    void keepsMetadata();
    void dropsStaleChunks_data();
    void dropsStaleChunks();
    void keepsOnlyWellFormedChunks_data();
    void keepsOnlyWellFormedChunks();
    void stopsAtDamagedChunk();
    void paletteSourceBecomesRgba();
    void metadataFollowsLoadedPicture();
    void pngcheckAcceptsOutput();
};

void tst_PngWriter::roundTrip_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("tiles");
    const QList<QSize> sizes = {{1, 1}, {1, 300},   {300, 1},  {545, 7},
                                {2, 2}, {16384, 2}, {256, 256}};
    for (const QSize &size : sizes) {
        QTest::addRow("rgb32-%dx%d", size.width(), size.height())
                << QImage::Format_RGB32 << size.width() << size.height() << false;
        QTest::addRow("argb32-%dx%d", size.width(), size.height())
                << QImage::Format_ARGB32 << size.width() << size.height() << false;
    }
    // Over a megabyte of pixel data: compressed in two halves.
    QTest::addRow("rgb32-noise-1201x400") << QImage::Format_RGB32 << 1201 << 400 << false;
    QTest::addRow("argb32-tiles-700x800") << QImage::Format_ARGB32 << 700 << 800 << true;
    QTest::addRow("rgb32-tiles-545x1001") << QImage::Format_RGB32 << 545 << 1001 << true;
    QTest::addRow("premultiplied-33x9") << QImage::Format_ARGB32_Premultiplied << 33 << 9 << false;
    QTest::addRow("rgb888-545x3") << QImage::Format_RGB888 << 545 << 3 << false;
}

void tst_PngWriter::roundTrip()
{
    QFETCH(QImage::Format, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, tiles);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QImage source = (tiles ? makeTiles : makePicture)(width, height, QImage::Format_ARGB32)
                                  .convertToFormat(format);
    const QString ours = dir.filePath(QStringLiteral("ours.png"));
    const QString theirs = dir.filePath(QStringLiteral("qt.png"));
    {
        QFile file(ours);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(PngWriter::write(source, QByteArray(), &file));
    }
    QVERIFY(source.save(theirs));

    const QVector<Chunk> chunks = readChunks(readFile(ours));
    QVERIFY2(chunks.size() >= 3, "not a sequence of chunks");
    for (const Chunk &chunk : chunks)
        QVERIFY2(chunk.crcValid, chunk.type.constData());
    QCOMPARE(chunks.first().type, QByteArray("IHDR"));
    QCOMPARE(chunks.last().type, QByteArray("IEND"));
    const bool alpha = source.hasAlphaChannel();
    QCOMPARE(int(chunks.first().whole.at(8 + 9)), alpha ? 6 : 2);

    // Qt's writer is the reference for what a picture's pixels become in a PNG file, including
    // the colour of fully transparent pixels and the dropped filler byte.
    const QImage expected = QImage(theirs).convertToFormat(QImage::Format_ARGB32);
    const QImage decoded = QImage(ours).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(decoded.size(), source.size());
    const QImage plain = source.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb wanted = alpha ? plain.pixel(x, y) : (plain.pixel(x, y) | 0xFF000000u);
            if (decoded.pixel(x, y) != wanted || expected.pixel(x, y) != wanted)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2: ours %3, Qt's %4, source %5")
                                         .arg(x)
                                         .arg(y)
                                         .arg(decoded.pixel(x, y), 8, 16)
                                         .arg(expected.pixel(x, y), 8, 16)
                                         .arg(wanted, 8, 16)));
        }
    }
}

void tst_PngWriter::sameBytesEverySave_data()
{
    QTest::addColumn<QImage>("source");
    // A photograph goes to a fast compressor, a drawing to string matching; the first two are
    // large enough to be compressed in two halves.
    QTest::newRow("photo-like-700x500") << photoLikeImage(QSize(700, 500));
    QTest::newRow("tiles-rgba-600x500") << makeTiles(600, 500, QImage::Format_ARGB32);
    QTest::newRow("noise-rgb-545x40") << makePicture(545, 40, QImage::Format_RGB32);
}

// The same picture and message must give the same file every time, whatever the machine was
// busy with: people compare checksums and back up by hash.
void tst_PngWriter::sameBytesEverySave()
{
    QFETCH(QImage, source);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("source.png"));
    QVERIFY(source.save(path));
    CarrierImage picture;
    QCOMPARE(picture.load(path), CarrierImage::LoadResult::Loaded);
    QByteArray first;
    for (int save = 0; save < 10; ++save) {
        const QString saved = dir.filePath(QStringLiteral("saved%1.png").arg(save));
        QVERIFY(hideAndSave(picture, saved));
        const QByteArray bytes = readFile(saved);
        QVERIFY(!bytes.isEmpty());
        if (save == 0)
            first = bytes;
        else
            QVERIFY2(bytes == first, qPrintable(QStringLiteral("save %1 differs").arg(save)));
    }
    QCOMPARE(revealFrom(dir.filePath(QStringLiteral("saved9.png"))), message);
}

void tst_PngWriter::keepsMetadata_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QByteArray>("kept");

    const QByteArray profile = zlibStream(QColorSpace(QColorSpace::SRgb).iccProfile());
    // libpng wants more than 92 bytes of chunk data, hence the long profile name.
    const QByteArray iccp =
            makeChunk("iCCP",
                      QByteArray("Camera profile calibrated in daylight, seventh of December") +
                              '\0' + '\0' + profile);
    const QByteArray srgb = makeChunk("sRGB", QByteArray(1, '\0'));
    const QByteArray gama = makeChunk("gAMA", QByteArray::fromHex("0000b18f"));
    const QByteArray chrm =
            makeChunk("cHRM",
                      QByteArray::fromHex(
                              "00007a26000080840000fa00000080e8000075300000ea6000003a9800001770"));
    const QByteArray phys = makeChunk("pHYs", QByteArray::fromHex("00000b1300000b1301"));
    const QByteArray text = makeChunk("tEXt", QByteArray("Comment\0taken at dawn", 21));
    const QByteArray ztxt =
            makeChunk("zTXt", QByteArray("Description\0\0", 13) + zlibStream("a long description"));
    const QByteArray itxt =
            makeChunk("iTXt", QByteArray("Title\0\0\0fr\0Titre\0Lever du jour", 30));
    const QByteArray exif = makeChunk("eXIf", QByteArray::fromHex("4d4d002a000000080000"));
    const QByteArray time = makeChunk("tIME", QByteArray::fromHex("07e70c070c0000"));

    QTest::newRow("iCCP") << iccp + time << QByteArray() << iccp;
    QTest::newRow("sRGB") << time + srgb << QByteArray() << srgb;
    QTest::newRow("gAMA") << gama << time << gama;
    QTest::newRow("cHRM") << chrm << QByteArray() << chrm;
    QTest::newRow("pHYs") << phys << QByteArray() << phys;
    QTest::newRow("tEXt") << text << QByteArray() << text;
    QTest::newRow("zTXt") << ztxt << QByteArray() << ztxt;
    QTest::newRow("iTXt") << itxt << QByteArray() << itxt;
    QTest::newRow("eXIf") << exif << QByteArray() << exif;
    QTest::newRow("text-after-pixels") << time << text + itxt << text + itxt;
    QTest::newRow("all-in-order") << gama + chrm + iccp + phys + time + exif + text << ztxt + time
                                  << gama + chrm + iccp + phys + exif + text + ztxt;
}

void tst_PngWriter::keepsMetadata()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, kept);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("source.png"));
    const QString saved = dir.filePath(QStringLiteral("saved.PNG"));
    QVERIFY(writeFile(source, sourcePng(before, after)));

    CarrierImage picture;
    QCOMPARE(picture.load(source), CarrierImage::LoadResult::Loaded);
    QVERIFY(hideAndSave(picture, saved));

    // Kept chunks come whole, in their source order, before the pixel data; nothing else is added.
    const QVector<Chunk> chunks = readChunks(readFile(saved));
    QVERIFY2(!chunks.isEmpty(), "not a sequence of chunks");
    QByteArray between;
    for (int i = 1; i < chunks.size() && chunks.at(i).type != "IDAT"; ++i)
        between += chunks.at(i).whole;
    QCOMPARE(between, kept);
    for (const Chunk &chunk : chunks) {
        QVERIFY2(chunk.crcValid, chunk.type.constData());
        QVERIFY2(chunk.type == "IHDR" || chunk.type == "IDAT" || chunk.type == "IEND" ||
                         kept.contains(chunk.whole),
                 chunk.type.constData());
    }
    QCOMPARE(revealFrom(saved), message);
}

void tst_PngWriter::dropsStaleChunks_data()
{
    QTest::addColumn<QByteArray>("stale");
    QTest::addColumn<bool>("afterPixels");
    QTest::addColumn<QImage::Format>("format");
    const QImage::Format rgb = QImage::Format_RGB32;
    QTest::newRow("tIME") << makeChunk("tIME", QByteArray::fromHex("07e70c070c0000")) << false
                          << rgb;
    QTest::newRow("sBIT") << makeChunk("sBIT", QByteArray::fromHex("050605")) << false << rgb;
    QTest::newRow("bKGD") << makeChunk("bKGD", QByteArray::fromHex("00ff00ff00ff")) << false << rgb;
    QTest::newRow("private") << makeChunk("prVt", QByteArray("private data")) << false << rgb;

    // A grey source's profile, which would describe the RGB output wrongly: the sRGB profile
    // with the grey colour space written into its header.
    QByteArray grey = QColorSpace(QColorSpace::SRgb).iccProfile();
    grey.replace(16, 4, "GRAY");
    const QByteArray iccp = makeChunk("iCCP", QByteArray("Grey\0\0", 6) + zlibStream(grey));
    QTest::newRow("grey-profile") << iccp << false << QImage::Format_Grayscale8;
    // Decoders ignore these after the pixel data; moved before it they would take effect.
    const QByteArray colourAndSize[] = {
            makeChunk("gAMA", QByteArray::fromHex("0000b18f")),
            makeChunk("pHYs", QByteArray::fromHex("00000b1300000b1301")),
            makeChunk("sRGB", QByteArray(1, '\0')),
            makeChunk("cHRM", QByteArray(32, '\x10')),
            makeChunk("iCCP",
                      QByteArray("RGB\0\0", 5) +
                              zlibStream(QColorSpace(QColorSpace::SRgb).iccProfile())),
    };
    for (const QByteArray &chunk : colourAndSize)
        QTest::addRow("%s-after-pixels", chunk.mid(4, 4).constData()) << chunk << true << rgb;
}

void tst_PngWriter::dropsStaleChunks()
{
    QFETCH(QByteArray, stale);
    QFETCH(bool, afterPixels);
    QFETCH(QImage::Format, format);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("source.png"));
    const QString saved = dir.filePath(QStringLiteral("saved.png"));
    const QByteArray text = makeChunk("tEXt", QByteArray("Comment\0kept", 12));
    QVERIFY(writeFile(source,
                      afterPixels ? sourcePng(text, stale) : sourcePng(stale + text, {}, format)));

    CarrierImage picture;
    // libpng and Qt complain about such sources in words that vary between versions; what is
    // tested is the saved file.
    const QtMessageHandler handler =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const CarrierImage::LoadResult loaded = picture.load(source);
    qInstallMessageHandler(handler);
    QCOMPARE(loaded, CarrierImage::LoadResult::Loaded);
    QVERIFY(hideAndSave(picture, saved));
    const QByteArray file = readFile(saved);
    QVERIFY(!file.contains(stale.mid(4, 4)));
    QVERIFY(file.contains(text));
    QCOMPARE(revealFrom(saved), message);
}

void tst_PngWriter::keepsOnlyWellFormedChunks_data()
{
    QTest::addColumn<QByteArray>("chunks");
    QTest::addColumn<QByteArray>("kept");
    const QByteArray gama = makeChunk("gAMA", QByteArray::fromHex("0000b18f"));
    const QByteArray srgb = makeChunk("sRGB", QByteArray(1, '\0'));
    const QByteArray iccp = makeChunk(
            "iCCP",
            QByteArray("sRGB\0\0", 6) + zlibStream(QColorSpace(QColorSpace::SRgb).iccProfile()));
    const QByteArray exif = makeChunk("eXIf", QByteArray::fromHex("4d4d002a000000080000"));
    const QByteArray text = makeChunk("tEXt", QByteArray("Title\0Sunrise", 13));
    const QByteArray compressedText =
            makeChunk("iTXt", QByteArray("Title\0\1\0fr\0Titre\0", 17) + zlibStream("Lever"));
    const auto keyed = [](const char *type, const QByteArray &keyword, const QByteArray &rest) {
        return makeChunk(type, keyword + '\0' + rest);
    };

    QTest::newRow("well-formed") << gama + iccp + exif + text + compressedText
                                 << gama + iccp + exif + text + compressedText;
    QTest::newRow("gAMA-twice") << gama + makeChunk("gAMA", QByteArray::fromHex("000186a0"))
                                << gama;
    QTest::newRow("eXIf-twice") << exif + makeChunk("eXIf", QByteArray::fromHex("49492a00"))
                                << exif;
    QTest::newRow("iCCP-then-sRGB") << iccp + srgb << iccp;
    QTest::newRow("sRGB-then-iCCP") << srgb + iccp << srgb;
    QTest::newRow("gAMA-zero") << makeChunk("gAMA", QByteArray(4, '\0')) + text << text;
    QTest::newRow("cHRM-31-bytes") << makeChunk("cHRM", QByteArray(31, '\1')) + text << text;
    QTest::newRow("cHRM-white-point-off-the-chart")
            << makeChunk("cHRM", QByteArray(32, '\xFF')) + text << text;
    const QByteArray srgbPrimaries =
            QByteArray::fromHex("00007a26000080840000fa00000080e8000075300000ea6000003a9800001770");
    QTest::newRow("cHRM-srgb-primaries")
            << makeChunk("cHRM", srgbPrimaries) + text << makeChunk("cHRM", srgbPrimaries) + text;
    QTest::newRow("tEXt-text-holds-nul")
            << keyed("tEXt", "Title", QByteArray("a\0b", 3)) + text << text;
    // Other decoders refuse a text chunk that inflates to more than 1 MiB.
    QTest::newRow("zTXt-over-1-MiB")
            << keyed("zTXt", "Title", '\0' + zlibStream(QByteArray(1024 * 1024 + 1, 'x'))) + text
            << text;
    QTest::newRow("sRGB-intent-4") << makeChunk("sRGB", QByteArray(1, '\4')) + text << text;
    QTest::newRow("pHYs-unit-2") << makeChunk("pHYs", QByteArray::fromHex("00000b1300000b1302")) +
                    text << text;
    QTest::newRow("eXIf-not-tiff") << makeChunk("eXIf", QByteArray("Exif\0\0", 6)) + text << text;
    QTest::newRow("tEXt-empty-keyword") << keyed("tEXt", "", "words") + text << text;
    QTest::newRow("tEXt-keyword-80-long") << keyed("tEXt", QByteArray(80, 'k'), "x") + text << text;
    QTest::newRow("tEXt-keyword-double-space") << keyed("tEXt", "a  b", "x") + text << text;
    QTest::newRow("tEXt-keyword-control") << keyed("tEXt", "a\tb", "x") + text << text;
    QTest::newRow("tEXt-no-keyword-end") << makeChunk("tEXt", "Title") + text << text;
    QTest::newRow("zTXt-method-1") << keyed("zTXt", "Title", '\1' + zlibStream("x")) + text << text;
    QTest::newRow("zTXt-cut-stream")
            << keyed("zTXt", "Title", '\0' + zlibStream(QByteArray(100, 'x')).chopped(3)) + text
            << text;
    QTest::newRow("iTXt-flag-2") << keyed("iTXt", "Title", QByteArray("\2\0\0\0x", 5)) + text
                                 << text;
    QTest::newRow("iTXt-no-language-end")
            << keyed("iTXt", "Title", QByteArray("\0\0fr", 4)) + text << text;
}

// A source's faulty chunks are left out, so that the saved file is valid PNG; the pixels and
// the well-formed metadata stay.
void tst_PngWriter::keepsOnlyWellFormedChunks()
{
    QFETCH(QByteArray, chunks);
    QFETCH(QByteArray, kept);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("source.png"));
    QVERIFY(writeFile(source, sourcePng(chunks)));
    QFile file(source);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(PngWriter::readKeptChunks(&file), kept);

    const QString pngcheck = QStandardPaths::findExecutable(QStringLiteral("pngcheck"));
    if (pngcheck.isEmpty())
        QSKIP("pngcheck is not installed");
    CarrierImage picture;
    QCOMPARE(picture.load(source), CarrierImage::LoadResult::Loaded);
    const QString saved = dir.filePath(QStringLiteral("saved.png"));
    QVERIFY(hideAndSave(picture, saved));
    QProcess process;
    process.start(pngcheck, {QStringLiteral("-q"), saved});
    QVERIFY(process.waitForFinished());
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
             process.readAll().constData());
    QCOMPARE(revealFrom(saved), message);
}

void tst_PngWriter::stopsAtDamagedChunk()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray good = makeChunk("tEXt", QByteArray("Comment\0intact", 14));
    QByteArray damaged = makeChunk("tEXt", QByteArray("Comment\0damaged", 15));
    damaged[damaged.size() - 1] = char(damaged.at(damaged.size() - 1) ^ 1);
    const QByteArray later = makeChunk("gAMA", QByteArray::fromHex("0000b18f"));
    const QString source = dir.filePath(QStringLiteral("source.png"));
    QVERIFY(writeFile(source, sourcePng(good + damaged + later)));

    QFile file(source);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(PngWriter::readKeptChunks(&file), good);

    // A length that runs past the end of the file ends the list just the same.
    QBuffer truncated;
    truncated.setData(sourcePng(good + makeChunk("tEXt", QByteArray(64, 'x')).left(40)));
    QVERIFY(truncated.open(QIODevice::ReadOnly));
    QCOMPARE(PngWriter::readKeptChunks(&truncated), good);

    QBuffer bmp;
    bmp.setData(QByteArray("BM") + QByteArray(60, '\0'));
    QVERIFY(bmp.open(QIODevice::ReadOnly));
    QCOMPARE(PngWriter::readKeptChunks(&bmp), QByteArray());
}

void tst_PngWriter::paletteSourceBecomesRgba()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QImage palette(37, 11, QImage::Format_Indexed8);
    palette.setColorTable({qRgba(0, 0, 0, 0), qRgba(200, 10, 10, 255), qRgba(10, 200, 10, 128),
                           qRgba(10, 10, 200, 255)});
    for (int y = 0; y < palette.height(); ++y) {
        for (int x = 0; x < palette.width(); ++x)
            palette.setPixel(x, y, uint((x * 3 + y) % 4));
    }
    const QString source = dir.filePath(QStringLiteral("palette.png"));
    const QString saved = dir.filePath(QStringLiteral("saved.png"));
    QVERIFY(palette.save(source));
    const QByteArray sourceFile = readFile(source);
    QVERIFY2(sourceFile.contains("PLTE") && sourceFile.contains("tRNS"), "fixture lacks a palette");

    CarrierImage picture;
    QCOMPARE(picture.load(source), CarrierImage::LoadResult::Loaded);
    QVERIFY(hideAndSave(picture, saved));
    const QVector<Chunk> chunks = readChunks(readFile(saved));
    QVERIFY2(!chunks.isEmpty(), "not a sequence of chunks");
    for (const Chunk &chunk : chunks)
        QVERIFY2(chunk.type != "PLTE" && chunk.type != "tRNS", chunk.type.constData());
    QCOMPARE(int(chunks.first().whole.at(8 + 9)), 6);
    QCOMPARE(QImage(saved).convertToFormat(QImage::Format_ARGB32), picture.getImage());
    QCOMPARE(revealFrom(saved), message);
}

void tst_PngWriter::metadataFollowsLoadedPicture()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray text = makeChunk("tEXt", QByteArray("Comment\0first picture", 21));
    const QString png = dir.filePath(QStringLiteral("source.png"));
    const QString bmp = dir.filePath(QStringLiteral("source.bmp"));
    const QString junk = dir.filePath(QStringLiteral("junk.png"));
    QVERIFY(writeFile(png, sourcePng(text)));
    QVERIFY(makePicture(20, 10, QImage::Format_RGB32).save(bmp));
    QVERIFY(writeFile(junk, "not a picture"));

    // A failed load keeps the picture, and so its metadata.
    CarrierImage picture;
    QCOMPARE(picture.load(png), CarrierImage::LoadResult::Loaded);
    QCOMPARE(picture.load(junk), CarrierImage::LoadResult::Unreadable);
    const QString kept = dir.filePath(QStringLiteral("kept.png"));
    QVERIFY(hideAndSave(picture, kept));
    QVERIFY(readFile(kept).contains(text));

    // A picture from another file does not inherit the previous one's metadata.
    QCOMPARE(picture.load(bmp), CarrierImage::LoadResult::Loaded);
    const QString fresh = dir.filePath(QStringLiteral("fresh.png"));
    QVERIFY(hideAndSave(picture, fresh));
    QVERIFY(!readFile(fresh).contains("tEXt"));
    QCOMPARE(revealFrom(fresh), message);
}

void tst_PngWriter::pngcheckAcceptsOutput()
{
    const QString pngcheck = QStandardPaths::findExecutable(QStringLiteral("pngcheck"));
    if (pngcheck.isEmpty())
        QSKIP("pngcheck is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray profile = zlibStream(QColorSpace(QColorSpace::SRgb).iccProfile());
    const QByteArray metadata = makeChunk("gAMA", QByteArray::fromHex("0000b18f")) +
            makeChunk("iCCP", QByteArray("sRGB\0\0", 6) + profile) +
            makeChunk("pHYs", QByteArray::fromHex("00000b1300000b1301")) +
            makeChunk("iTXt", QByteArray("Title\0\0\0fr\0Titre\0Lever du jour", 30)) +
            makeChunk("eXIf", QByteArray::fromHex("4d4d002a000000080000"));
    const QVector<QImage> pictures = {makePicture(545, 20, QImage::Format_RGB32),
                                      makePicture(1, 1, QImage::Format_ARGB32),
                                      makePicture(3000, 3, QImage::Format_ARGB32),
                                      makeTiles(700, 400, QImage::Format_ARGB32)};
    QStringList files;
    for (int i = 0; i < pictures.size(); ++i) {
        files << dir.filePath(QStringLiteral("picture%1.png").arg(i));
        QFile file(files.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(PngWriter::write(pictures.at(i), metadata, &file));
    }
    QProcess process;
    process.start(pngcheck, QStringList {QStringLiteral("-q")} + files);
    QVERIFY(process.waitForFinished());
    const QByteArray output = process.readAllStandardOutput() + process.readAllStandardError();
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
             output.constData());
}

QTEST_GUILESS_MAIN(tst_PngWriter)
#include "tst_pngwriter.moc"

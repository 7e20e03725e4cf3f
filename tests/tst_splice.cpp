#include "splice.h"
#include "splice_p.h"

#include "carrierimage.h"
#include "fixtures.h"
#include "pngwriter.h"
#include "rowfilter.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace {

// A photograph-like picture, with an alpha channel that varies if format is ARGB32.
QImage sourcePicture(QSize size, QImage::Format format)
{
    QImage image = photoLikeImage(size).convertToFormat(format);
    if (format == QImage::Format_ARGB32) {
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y,
                               (image.pixel(x, y) & 0xFFFFFF) | uint((x * 7 + y) % 256) << 24);
        }
    }
    return image;
}

// The first pixel of each of the first rows with its low bits flipped, as a hide changes them.
QImage changedPicture(const QImage &source, int rows)
{
    QImage image = source.copy();
    for (int y = 0; y < rows; ++y)
        image.setPixel(0, y, image.pixel(0, y) ^ 0x010101u);
    return image;
}

// The picture a spliced stream decodes to, through Qt's reader: not the libpng reader the engine
// uses. Null unless zlib finds the stream whole, with the right Adler-32, whatever the reader
// checks.
QImage decodedStream(const QImage &image, const SplicedStream &spliced)
{
    std::vector<uchar> stream;
    for (const auto &[data, size] : spliced.pieces())
        stream.insert(stream.end(), data, data + size);
    QByteArray rows(int(RowFilter::filteredRowBytes(image.width(), image.hasAlphaChannel())) *
                            image.height(),
                    '\0');
    uLongf size = uLongf(rows.size());
    if (uncompress(reinterpret_cast<Bytef *>(rows.data()), &size, stream.data(),
                   uLong(stream.size())) != Z_OK ||
        size != uLongf(rows.size()))
        return QImage();
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!PngWriter::writeStream(image.size(), image.format() == QImage::Format_ARGB32, QByteArray(),
                                spliced.pieces(), &buffer))
        return QImage();
    return QImage::fromData(buffer.data(), "png").convertToFormat(image.format());
}

// Whether the splice writes image over source, and the pixels it then writes.
bool splice(const QByteArray &source, const QImage &image, int changedRows, QImage *decoded,
            Splice::SizeRule rule = Splice::SizeRule::Ignored)
{
    QBuffer buffer;
    buffer.setData(source);
    buffer.open(QIODevice::ReadOnly);
    SpliceLayout layout = Splice::readLayout(&buffer);
    std::vector<uchar> data;
    if (!Splice::readIdatData(&buffer, layout, &data))
        return false;
    Splice::checkStream(data, &layout);
    SplicedStream stream;
    if (!Splice::buildStream(image, changedRows, &buffer, layout, &stream, rule))
        return false;
    *decoded = decodedStream(image, stream);
    return true;
}

QByteArray fullFile(const QImage &image)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    return PngWriter::write(image, QByteArray(), &buffer) ? buffer.data() : QByteArray();
}

} // namespace

class tst_Splice : public QObject
{
    Q_OBJECT

private slots:
    void decodesToChangedPixels_data();
    void decodesToChangedPixels();
    void refusesDoubtfulSources_data();
    void refusesDoubtfulSources();
    void savesWhatTheFullWriterSaves_data();
    void savesWhatTheFullWriterSaves();
    void headLoadAnswersAsWholeLoad_data();
    void headLoadAnswersAsWholeLoad();
};

void tst_Splice::decodesToChangedPixels_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("filters");
    QTest::addColumn<int>("changedRows");
    QTest::addColumn<int>("blockBytes");
    QTest::addColumn<int>("idatBytes");

    const char *names[] = {"none", "sub", "up", "average", "paeth", "cycle"};
    for (int filters = 0; filters <= everyFilter; ++filters) {
        QTest::addRow("rgb-%s", names[filters])
                << QSize(97, 700) << int(QImage::Format_RGB32) << filters << 40 << 3001 << 8192;
        QTest::addRow("rgba-%s", names[filters])
                << QSize(97, 700) << int(QImage::Format_ARGB32) << filters << 40 << 2999 << 8192;
    }
    // Boundaries every few bytes land at every bit offset; IDAT chunks of one byte and of odd
    // sizes split the stream anywhere.
    for (int block = 997; block < 1005; ++block)
        QTest::addRow("block-%d", block)
                << QSize(61, 900) << int(QImage::Format_RGB32) << everyFilter << 3 << block << 777;
    QTest::newRow("one-byte-idats")
            << QSize(50, 400) << int(QImage::Format_RGB32) << everyFilter << 10 << 1500 << 1;
    QTest::newRow("nothing-changed")
            << QSize(50, 800) << int(QImage::Format_RGB32) << everyFilter << 0 << 4000 << 65536;
    // Over a megabyte of rows written anew: compressed in two halves on two threads.
    QTest::newRow("head-in-halves") << QSize(2000, 500) << int(QImage::Format_RGB32) << everyFilter
                                    << 200 << 50000 << 65536;
    QTest::newRow("one-pixel-wide")
            << QSize(1, 30000) << int(QImage::Format_RGB32) << everyFilter << 1368 << 2000 << 5000;
}

// The spliced stream decodes to the changed picture, whatever filters the source used around
// the rows written anew.
void tst_Splice::decodesToChangedPixels()
{
    QFETCH(QSize, size);
    QFETCH(int, format);
    QFETCH(int, filters);
    QFETCH(int, changedRows);
    QFETCH(int, blockBytes);
    QFETCH(int, idatBytes);
    const QImage source = sourcePicture(size, QImage::Format(format));
    const QByteArray file = pngWithStream(
            source, zlibInBlocks(handFilteredRows(source, filters), blockBytes), idatBytes);
    QCOMPARE(QImage::fromData(file, "png").convertToFormat(source.format()), source);

    const QImage changed = changedPicture(source, changedRows);
    QImage decoded;
    QVERIFY2(splice(file, changed, changedRows, &decoded), "the source was not spliced");
    QCOMPARE(decoded, changed);
}

void tst_Splice::refusesDoubtfulSources_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<bool>("sizeRule");

    const QImage picture = sourcePicture(QSize(80, 600), QImage::Format_RGB32);
    const QByteArray stream = zlibInBlocks(handFilteredRows(picture, everyFilter), 2000);
    const auto file = [&picture](const QByteArray &stream) {
        return pngWithStream(picture, stream, 4096);
    };
    QByteArray wrongChecksum = stream;
    wrongChecksum[wrongChecksum.size() - 1] = char(wrongChecksum.back() ^ 1);
    QByteArray corrupt = stream;
    corrupt[corrupt.size() * 3 / 4] = char(corrupt.at(corrupt.size() * 3 / 4) ^ 0x10);
    // The dictionary flag set, and the header's check made right again.
    QByteArray dictionary = stream;
    const int flags = (uchar(stream.at(1)) | 0x20) & 0xE0;
    dictionary[1] = char(flags + (31 - (uchar(stream.at(0)) * 256 + flags) % 31) % 31);
    QByteArray damagedCrc = file(stream);
    damagedCrc[int(damagedCrc.size() * 0.8)] =
            char(damagedCrc.at(int(damagedCrc.size() * 0.8)) ^ 4);

    QTest::newRow("wrong-adler32") << file(wrongChecksum) << picture << false;
    QTest::newRow("corrupt-byte") << file(corrupt) << picture << false;
    QTest::newRow("cut-stream") << file(stream.left(stream.size() - 200)) << picture << false;
    QTest::newRow("data-after-stream") << file(stream + QByteArray(3, 'x')) << picture << false;
    QTest::newRow("preset-dictionary") << file(dictionary) << picture << false;
    QTest::newRow("wrong-chunk-crc") << damagedCrc << picture << false;
    // zlib at level 9 writes a flat picture in one block, which leaves no boundary to cut at.
    QImage flat(300, 300, QImage::Format_RGB32);
    flat.fill(0xFF336699u);
    QTest::newRow("one-block") << pngWithStream(flat,
                                                zlibInBlocks(handFilteredRows(flat, 1), 1 << 30),
                                                8192)
                               << flat << false;
    // The row after the changed ones is the last: nothing is left to carry over.
    const QImage row = sourcePicture(QSize(20000, 1), QImage::Format_RGB32);
    QTest::newRow("one-row") << pngWithStream(row, zlibInBlocks(handFilteredRows(row, 4), 1000),
                                              8192)
                             << row << false;
    // Unfiltered rows in small blocks compress worse than Qt's writer would.
    QTest::newRow("larger-than-qt")
            << file(zlibInBlocks(handFilteredRows(picture, 0), 500)) << picture << true;
    QTest::newRow("interlaced") << [&] {
        QByteArray interlaced = file(stream);
        QByteArray header = interlaced.mid(16, 13);
        header[12] = 1;
        return interlaced.replace(8, 25, makeChunk("IHDR", header));
    }() << picture << false;
}

// Nothing is written from a source in doubt; the full writer then writes the file.
void tst_Splice::refusesDoubtfulSources()
{
    QFETCH(QByteArray, file);
    QFETCH(QImage, picture);
    QFETCH(bool, sizeRule);
    QImage decoded;
    QVERIFY2(!splice(file, changedPicture(picture, 1), 1, &decoded,
                     sizeRule ? Splice::SizeRule::NoLargerThanQt : Splice::SizeRule::Ignored),
             "a doubtful source was spliced");
}

void tst_Splice::savesWhatTheFullWriterSaves_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("spliced");

    // The source is held open from load: a file replaced or deleted is still read as loaded.
    QTest::newRow("unchanged") << "unchanged" << true;
    QTest::newRow("replaced") << "replaced" << true;
    QTest::newRow("deleted") << "deleted" << true;
    QTest::newRow("changed-in-place") << "changed-in-place" << false;
    QTest::newRow("cut-short") << "cut-short" << false;
}

// Through the engine's save: the message survives, and the file has the full writer's pixels,
// or is the full writer's file byte for byte where the source is no longer the one loaded.
void tst_Splice::savesWhatTheFullWriterSaves()
{
    QFETCH(QString, change);
    QFETCH(bool, spliced);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("source.png"));
    const QImage source = sourcePicture(QSize(400, 500), QImage::Format_RGB32);
    const QByteArray file = fullFile(source);
    QVERIFY(writeFile(path, file));
    CarrierImage picture;
    QCOMPARE(picture.load(path), CarrierImage::LoadResult::Loaded);
    picture.hideMessage("a message of some length, to change several rows", false);

    if (change == QLatin1String("replaced")) {
        const QString other = dir.filePath(QStringLiteral("other.png"));
        QVERIFY(writeFile(other, fullFile(noiseImage(QSize(400, 500)))));
        QVERIFY(QFile::remove(path) && QFile::rename(other, path));
    } else if (change == QLatin1String("deleted")) {
        QVERIFY(QFile::remove(path));
    } else if (change == QLatin1String("changed-in-place")) {
        QFile rewritten(path);
        QVERIFY(rewritten.open(QIODevice::ReadWrite) && rewritten.seek(file.size() / 2));
        QVERIFY(rewritten.write("\x55\x55\x55\x55", 4) == 4);
    } else if (change == QLatin1String("cut-short")) {
        QFile cut(path);
        QVERIFY(cut.open(QIODevice::ReadWrite) && cut.resize(file.size() - 100));
    }

    const QString saved = dir.filePath(QStringLiteral("saved.png"));
    QVERIFY(picture.saveImage(saved));
    const QByteArray bytes = readFile(saved);
    QCOMPARE(bytes != fullFile(picture.getImage()), spliced);
    CarrierImage reloaded;
    QCOMPARE(reloaded.load(saved), CarrierImage::LoadResult::Loaded);
    QCOMPARE(reloaded.getImage(), picture.getImage());
    QCOMPARE(QImage::fromData(bytes, "png").convertToFormat(QImage::Format_RGB32),
             picture.getImage());
    QVERIFY(reloaded.revealMessage());
    QCOMPARE(reloaded.getRevealedText(),
             QStringLiteral("a message of some length, to change several rows"));
}

void tst_Splice::headLoadAnswersAsWholeLoad_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("messageBytes");
    QTest::addColumn<bool>("spliced");

    // Taller than the rows the head-only load decodes for its sample.
    const QImage rgb = sourcePicture(QSize(300, 1500), QImage::Format_RGB32);
    const QImage rgba = sourcePicture(QSize(200, 1700), QImage::Format_ARGB32);
    QTest::newRow("rgb") << fullFile(rgb) << 10 << true;
    // The longest message changes 1,367 rows: spliced where that is at most half the picture.
    const QImage tall = sourcePicture(QSize(100, 2800), QImage::Format_RGB32);
    QTest::newRow("rgb-511-bytes") << fullFile(tall) << 511 << true;
    QTest::newRow("rgb-511-bytes-most-rows") << fullFile(rgb) << 511 << false;
    QTest::newRow("rgba") << fullFile(rgba) << 100 << true;
    // Rows of one colour each compress into blocks longer than the pieces inflated at a time: the
    // source's bits for the sample are still read off the first boundary past it.
    QImage bands(300, 2400, QImage::Format_RGB32);
    for (int y = 0; y < bands.height(); ++y)
        std::fill_n(reinterpret_cast<QRgb *>(bands.scanLine(y)), bands.width(),
                    0xFF000000u | uint(y) * 0x010203u);
    QTest::newRow("long-blocks") << pngWithStream(bands,
                                                  zlibInBlocks(handFilteredRows(bands, 2), 400000),
                                                  8192)
                                 << 10 << true;
    // Damage past the rows decoded, under valid chunk checksums: only the whole stream tells.
    const QByteArray rows = handFilteredRows(rgb, everyFilter);
    const QByteArray stream = zlibInBlocks(rows, 4000);
    const auto file = [&rgb](const QByteArray &stream) {
        return pngWithStream(rgb, stream, 8192);
    };
    QByteArray badFilter = rows;
    badFilter[int(badFilter.size() - RowFilter::filteredRowBytes(rgb.width(), false))] = 7;
    QByteArray wrongChecksum = stream;
    wrongChecksum[wrongChecksum.size() - 1] = char(wrongChecksum.back() ^ 1);
    QByteArray corrupt = stream;
    corrupt[corrupt.size() - 300] = char(corrupt.at(corrupt.size() - 300) ^ 0x10);
    QTest::newRow("bad-filter-in-last-row") << file(zlibInBlocks(badFilter, 4000)) << 10 << false;
    QTest::newRow("wrong-adler32") << file(wrongChecksum) << 10 << false;
    QTest::newRow("corrupt-late-byte") << file(corrupt) << 10 << false;
    QTest::newRow("cut-stream") << file(stream.left(stream.size() - 500)) << 10 << false;
    QTest::newRow("data-after-stream") << file(stream + QByteArray(3, 'x')) << 10 << false;
    QTest::newRow("one-block") << file(zlibInBlocks(rows, 1 << 30)) << 10 << false;
    // Transparency from tRNS: not the kind a splice writes.
    QByteArray transparent = fullFile(rgb);
    transparent.insert(33, makeChunk("tRNS", QByteArray(6, '\0')));
    QTest::newRow("rgb-with-trns") << transparent << 10 << false;
}

// The command line's hide loads only the head of a PNG: whatever the file, it ends as the whole
// load does, with the same answer and a file with the same pixels.
void tst_Splice::headLoadAnswersAsWholeLoad()
{
    QFETCH(QByteArray, file);
    QFETCH(int, messageBytes);
    QFETCH(bool, spliced);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("source.png"));
    QVERIFY(writeFile(path, file));
    const QByteArray message(messageBytes, 'm');

    CarrierImage whole;
    const CarrierImage::LoadResult expected = whole.load(path);
    CarrierImage head;
    head.load(path, CarrierImage::LoadDepth::Head);
    head.hideMessage(message, false);
    const QString fromHead = dir.filePath(QStringLiteral("head.png"));
    const bool saved = head.saveImage(fromHead);
    QCOMPARE(head.confirmLoad(), expected);
    if (expected != CarrierImage::LoadResult::Loaded) {
        QVERIFY(!saved);
        return;
    }
    QVERIFY(saved);
    whole.hideMessage(message, false);
    QCOMPARE(readFile(fromHead) != fullFile(whole.getImage()), spliced);
    CarrierImage reloaded;
    QCOMPARE(reloaded.load(fromHead), CarrierImage::LoadResult::Loaded);
    QCOMPARE(reloaded.getImage(), whole.getImage());
    QVERIFY(reloaded.revealMessage());
    QCOMPARE(reloaded.getRevealedBytes(), message);
}

QTEST_GUILESS_MAIN(tst_Splice)
#include "tst_splice.moc"

#include "splice.h"
#include "splice_p.h"

#include "carrierimage.h"
#include "fixtures.h"
#include "fuzzsupport.h"
#include "pngwriter.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

QImage decoded(const QByteArray &file, QImage::Format format)
{
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    QImage image;
    return reader.read(&image) ? image.convertToFormat(format) : QImage();
}

} // namespace

// The input gives a source PNG built by hand (size, alpha, filter types, where deflate ends its
// blocks, how the stream is cut into IDAT chunks, pixels), an optional damaged byte, and a message.
// Through the engine, the save after a hide must give the pixels the full writer gives and the
// message back, spliced or not. On its own, the splice must give the changed pixels or nothing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (silenceQt(), true);
    Q_UNUSED(quiet);
    if (size <= 16)
        return 0;
    const int width = 1 + data[0] % 48;
    const int height = 1 + (data[1] | data[2] << 8) % 1024;
    const bool alpha = data[3] & 1;
    const int filter = data[4] % (everyFilter + 1);
    const int blockBytes = 64 + 64 * data[5];
    const int idatBytes = 1 + 97 * data[6];
    const int changedRows = data[7] % 64;
    const size_t damage = data[8] | data[9] << 8;
    const int messageBytes = data[10] % 48;
    const uint8_t *pixels = data + 16;
    const size_t pixelBytes = size - 16;

    QImage image(width, height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    uchar *bits = image.bits();
    for (qsizetype i = 0; i < image.sizeInBytes(); ++i)
        bits[i] = pixels[size_t(i) % pixelBytes];
    if (!alpha)
        image = image.convertToFormat(QImage::Format_RGB32);
    QByteArray file = pngWithStream(
            image, zlibInBlocks(handFilteredRows(image, filter), blockBytes), idatBytes);
    if (damage > 0) {
        const int at = int(damage % size_t(file.size()));
        file[at] = char(file.at(at) ^ char(data[11] | 1));
    }

    if (damage == 0) {
        QImage changed = image.copy();
        for (int y = 0; y < qMin(changedRows, height); ++y)
            changed.setPixel(0, y, changed.pixel(0, y) ^ 0x010101u);
        QBuffer buffer;
        buffer.setData(file);
        require(buffer.open(QIODevice::ReadOnly));
        SpliceLayout layout = Splice::readLayout(&buffer);
        std::vector<uchar> idat;
        require(layout.isValid() && Splice::readIdatData(&buffer, layout, &idat));
        Splice::checkStream(idat, &layout);
        require(layout.whole);
        const auto requireChanged = [&changed](const SplicedStream &stream) {
            QBuffer written;
            require(written.open(QIODevice::WriteOnly));
            require(PngWriter::writeStream(changed.size(),
                                           changed.format() == QImage::Format_ARGB32, QByteArray(),
                                           stream.pieces(), &written));
            require(decoded(written.data(), changed.format()) == changed);
        };
        SplicedStream stream;
        if (Splice::buildStream(changed, changedRows, &buffer, layout, &stream,
                                Splice::SizeRule::Ignored))
            requireChanged(stream);
        // From the first rows alone, as the command line's hide builds it.
        const int rows = qMin(height - 1, qMax(changedRows + 1, int(data[13])));
        if (rows > 0 &&
            Splice::buildHead(changed.copy(0, 0, width, rows), changedRows, layout,
                              std::make_shared<const std::vector<uchar>>(idat), &stream,
                              Splice::SizeRule::Ignored))
            requireChanged(stream);
    }

    QTemporaryDir dir;
    require(dir.isValid());
    const QString source = dir.filePath(QStringLiteral("source.png"));
    require(writeFile(source, file));
    CarrierImage picture;
    const CarrierImage::LoadResult result = picture.load(source);
    // The command line's hide, from the head of the file, ends as the whole load does.
    CarrierImage head;
    head.load(source, CarrierImage::LoadDepth::Head);
    QByteArray message;
    for (int i = 0; i < qMin(messageBytes, head.getCapacity()); ++i)
        message += char('a' + data[12 + i % 4] % 26);
    head.hideMessage(message, false);
    const QString fromHead = dir.filePath(QStringLiteral("head.png"));
    const bool headSaved = head.saveImage(fromHead);
    require(head.confirmLoad() == result);
    if (result != CarrierImage::LoadResult::Loaded) {
        require(!headSaved);
        return 0;
    }
    picture.hideMessage(message, false);
    require(headSaved &&
            decoded(readFile(fromHead), picture.getImage().format()) == picture.getImage());
    const QString saved = dir.filePath(QStringLiteral("saved.png"));
    require(picture.saveImage(saved));
    QBuffer full;
    require(full.open(QIODevice::WriteOnly));
    require(PngWriter::write(picture.getImage(), QByteArray(), &full));
    const QImage fullPixels = decoded(full.data(), picture.getImage().format());
    require(!fullPixels.isNull() && decoded(readFile(saved), fullPixels.format()) == fullPixels);
    CarrierImage reloaded;
    require(reloaded.load(saved) == CarrierImage::LoadResult::Loaded);
    require(reloaded.getImage() == picture.getImage());
    if (!message.isEmpty())
        require(reloaded.revealMessage() && reloaded.getRevealedBytes() == message);
    return 0;
}

#include "pngwriter.h"

#include "fuzzsupport.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include <cstdint>

namespace {

const char signature[] = "\x89PNG\r\n\x1a\n";

const QImage::Format formats[] = {
        QImage::Format_RGB32,  QImage::Format_ARGB32,     QImage::Format_ARGB32_Premultiplied,
        QImage::Format_RGB888, QImage::Format_Grayscale8, QImage::Format_RGBA64};

} // namespace

// The input gives a picture (width, height and format in its first three bytes, then pixel
// bytes, repeated as needed) and, after the pixels, a chunk list read as a source's metadata.
// The written PNG must decode to the same pixels and carry exactly the metadata that was kept.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (silenceQt(), true);
    Q_UNUSED(quiet);
    if (size < 4)
        return 0;
    const int width = 1 + data[0] % 64;
    const int height = 1 + data[1] % 64;
    QImage image(width, height, formats[data[2] % (sizeof(formats) / sizeof(formats[0]))]);
    const size_t pixelBytes = qMin(size - 3, size_t(image.sizeInBytes()));
    uchar *bits = image.bits();
    for (qsizetype i = 0; i < image.sizeInBytes(); ++i)
        bits[i] = data[3 + size_t(i) % (size - 3)];
    const QByteArray metadata(reinterpret_cast<const char *>(data) + 3 + pixelBytes,
                              int(size - 3 - pixelBytes));

    QBuffer source;
    source.setData(QByteArray(signature, 8) + metadata);
    require(source.open(QIODevice::ReadOnly));
    const QByteArray kept = PngWriter::readKeptChunks(&source);

    QBuffer written;
    require(written.open(QIODevice::WriteOnly));
    require(PngWriter::write(image, kept, &written));
    written.close();
    require(written.open(QIODevice::ReadOnly));
    require(PngWriter::readKeptChunks(&written) == kept);

    require(written.seek(0));
    QImageReader reader(&written, "png");
    QImage decoded;
    require(reader.read(&decoded));
    require(samePixels(decoded, PngWriter::to32Bit(image)));
    return 0;
}

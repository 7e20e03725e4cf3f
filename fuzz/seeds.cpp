#include "fixtures.h"

#include <QByteArray>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>

#include <cstdio>

// Writes the seed corpora of the fuzz targets below the folder given: load/ gets small PNG and BMP
// files of every layout the reader knows, pngwriter/ a few picture descriptions with metadata.
namespace {

QImage noise(QImage::Format format)
{
    return noiseImage(QSize(7, 5), format, 12345);
}

QByteArray metadata()
{
    return makeChunk("tEXt", QByteArray("Comment\0seed", 12)) +
            makeChunk("gAMA", QByteArray::fromHex("0000b18f")) +
            makeChunk("iCCP",
                      QByteArray("sRGB\0\0", 6) +
                              qCompress(QColorSpace(QColorSpace::SRgb).iccProfile()).mid(4));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QDir root(QFile::decodeName(argv[1]));
    if (!root.mkpath(QStringLiteral("load")) || !root.mkpath(QStringLiteral("pngwriter")))
        return 1;
    const QDir load(root.filePath(QStringLiteral("load")));
    const QDir writer(root.filePath(QStringLiteral("pngwriter")));

    bool ok = true;
    const QImage::Format formats[] = {QImage::Format_RGB32, QImage::Format_ARGB32,
                                      QImage::Format_Indexed8, QImage::Format_Grayscale8,
                                      QImage::Format_RGBA64};
    for (const QImage::Format format : formats) {
        const QByteArray png = encoded(noise(format), "png");
        ok &= writeFile(load.filePath(QStringLiteral("format-%1.png").arg(int(format))), png);
        // The metadata goes after IHDR: signature 8 bytes, IHDR 25.
        ok &= writeFile(load.filePath(QStringLiteral("format-%1-metadata.png").arg(int(format))),
                        png.left(33) + metadata() + png.mid(33));
    }
    ok &= writeFile(load.filePath(QStringLiteral("rgb.bmp")),
                    encoded(noise(QImage::Format_RGB32), "bmp"));
    ok &= writeFile(load.filePath(QStringLiteral("indexed.bmp")),
                    encoded(noise(QImage::Format_Indexed8), "bmp"));
    ok &= writeFile(load.filePath(QStringLiteral("rle8.bmp")),
                    runLengthBmp(8, QByteArray("\3\1\0\0\2\1\0\2\1\1\1\1\0\1", 14)));
    ok &= writeFile(load.filePath(QStringLiteral("rle4.bmp")),
                    runLengthBmp(4, QByteArray("\3\x12\0\1", 4)));

    // Width, height, format, then pixel bytes and a chunk list.
    ok &= writeFile(writer.filePath(QStringLiteral("rgb-metadata")),
                    QByteArray("\3\3\0", 3) + QByteArray(4 * 16, '\x5a') + metadata());
    ok &= writeFile(writer.filePath(QStringLiteral("argb-after-pixels")),
                    QByteArray("\5\2\1", 3) + QByteArray(4 * 18, '\xa5') + makeChunk("IDAT", {}) +
                            metadata());
    return ok ? 0 : 1;
}

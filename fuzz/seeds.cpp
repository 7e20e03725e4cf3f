#include "fixtures.h"

#include <QByteArray>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>

#include <cstdio>

// Writes the seed corpora of the fuzz targets below the folder given: load/ gets small files of
// every format and layout the loader reads, pngwriter/ a few picture descriptions with metadata.
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

// A 3 x 3 PNG of the given colour type, bit depth and interlacing, with chunks before the pixel
// data and the filtered rows given.
QByteArray rawPng(int colourType, int depth, int interlace, const QByteArray &chunks,
                  const QByteArray &rows)
{
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out << quint32(3) << quint32(3) << quint8(depth) << quint8(colourType) << quint8(0) << quint8(0)
        << quint8(interlace);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + makeChunk("IHDR", header) + chunks +
            makeChunk("IDAT", qCompress(rows).mid(4)) + makeChunk("IEND", {});
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
    // Every other format read, from Qt's writers where it has one.
    const QImage rgb = noise(QImage::Format_RGB32);
    for (const char *format : {"jpeg", "ppm", "pgm", "pbm", "xbm", "xpm", "ico"})
        ok &= writeFile(load.filePath(QStringLiteral("seed.%1")).arg(QLatin1String(format)),
                        encoded(rgb, format));
    ok &= writeFile(load.filePath(QStringLiteral("seed.gif")),
                    QByteArray::fromHex("47494638376103000200810000ff000000ff000000ffffffff2c00000"
                                        "00003000200000809000104103040408080003b"));
    ok &= writeFile(load.filePath(QStringLiteral("ascii.pgm")),
                    QByteArray("P2\n3 2\n255\n0 9 99 255 7 1\n"));
    ok &= writeFile(load.filePath(QStringLiteral("png-inside.ico")),
                    iconWithPng(encoded(rgb, "png"), 7, 5));
    // PNG kinds whose pixels take a table or a transformation: 16-bit with a transparent colour,
    // 2-bit grey with one, a palette shorter than its indices reach, interlaced.
    ok &= writeFile(load.filePath(QStringLiteral("rgb16-trns.png")),
                    rawPng(2, 16, 0, makeChunk("tRNS", QByteArray::fromHex("000100020003")),
                           QByteArray((1 + 6 * 3) * 3, '\0')));
    ok &= writeFile(load.filePath(QStringLiteral("grey2-trns.png")),
                    rawPng(0, 2, 0, makeChunk("tRNS", QByteArray::fromHex("0001")),
                           QByteArray::fromHex("001b00e4001b")));
    ok &= writeFile(load.filePath(QStringLiteral("palette-short.png")),
                    rawPng(3, 8, 0, makeChunk("PLTE", QByteArray::fromHex("ff0000")),
                           QByteArray::fromHex("000001020001020000020100")));
    ok &= writeFile(load.filePath(QStringLiteral("interlaced.png")),
                    rawPng(2, 8, 1, QByteArray(), QByteArray(33, '\0')));
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

#ifndef FIXTURES_H
#define FIXTURES_H

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QImage>
#include <QPoint>
#include <QSize>
#include <QString>

#include <sys/resource.h>

// Pictures and files that the tests, the fuzz targets and the bench build by hand, independently
// of the code they test.

// The next value of a xorshift32 generator, whose state must not be 0.
quint32 nextNoise(quint32 &state);

// Deterministic noise, so that a digit written to the wrong bit or pixel shows. alpha < 0 gives
// every pixel its own alpha where the format keeps one.
QImage noiseImage(QSize size, QImage::Format format = QImage::Format_RGB32, quint32 seed = 7,
                  int alpha = -1);

// An RGB32 picture that PNG compresses about as poorly as a photograph: smooth gradients plus
// noise of up to 8 levels. A flat picture would make encoding look far cheaper than it is.
QImage photoLikeImage(QSize size, quint32 seed = 2463534242u);

// image encoded by Qt's writer for format; empty if that fails.
QByteArray encoded(const QImage &image, const QByteArray &format);

// The walk of the layout: column by column from the left, each column from the top.
QPoint walkPoint(const QImage &image, int index);

// Digit `index` of the layout is the low bit of red, green or blue of pixel index / 3.
void setDigit(QImage &image, int index, bool one);

// Bit by bit, independently of the zlib that the encoder uses.
quint32 crc32(const QByteArray &data);

// A whole PNG chunk: length, type, data and CRC.
QByteArray makeChunk(const QByteArray &type, const QByteArray &data = QByteArray());

// The values in little-endian order, each as wide as its type.
template<typename... Values> QByteArray littleEndian(Values... values)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    (out << ... << values);
    return bytes;
}

// A BMP's 40-byte info header.
QByteArray info40(qint32 width, qint32 height, quint16 bitCount, quint32 compression = 0,
                  quint32 colours = 0);

// A BMP file whose pixel data follows the info header and palette, or starts at offset if given.
QByteArray bmpFile(const QByteArray &info, const QByteArray &palette, const QByteArray &pixels,
                   qint64 offset = -1);

// A BMP palette whose entry 0 is red and entry 1 blue.
extern const QByteArray redBluePalette;

// A square run-length BMP with that palette: RLE8 for bitCount 8, RLE4 for 4.
QByteArray runLengthBmp(quint16 bitCount, const QByteArray &runs, qint32 side = 4);

// A black 8-bit RGB PNG whose header announces width × height, with at most 64 bytes of rows:
// a tiny file for a possibly huge picture.
QByteArray announcingPng(quint32 width, quint32 height);

// A GIF of a picture of at most 256 colours, written by hand since Qt writes none: 9-bit codes
// that each stand for one pixel, the code table cleared before it would need wider ones.
QByteArray gifFile(const QImage &indexed);

// An icon file whose one picture is the PNG file given.
QByteArray iconWithPng(const QByteArray &png, int width, int height);

// The filter argument of handFilteredRows for a different one of PNG's five filter types on each
// row in turn; 0 to 4 give that type on every row.
constexpr int everyFilter = 5;

// The picture's rows (RGB32 as RGB, ARGB32 as RGBA) filtered by hand, independently of the
// writer's filter.
QByteArray handFilteredRows(const QImage &image, int filter);

// A zlib stream that ends a block every blockBytes of input without aligning it to a byte, so
// that its block boundaries fall at every bit offset; empty if zlib fails.
QByteArray zlibInBlocks(const QByteArray &data, int blockBytes, int level = 9);

// An 8-bit RGB or RGBA PNG file of image's size whose zlib stream is cut into IDAT chunks of
// idatBytes.
QByteArray pngWithStream(const QImage &image, const QByteArray &stream, int idatBytes);

QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

// Lowers the file-size limit (unless 0) for its lifetime, as a full disk would; SIGXFSZ is
// ignored so that the write fails with EFBIG instead of killing the test.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    bool active = false;

private:
    rlimit saved {};
    void (*previousHandler)(int) = nullptr;
};

#endif // FIXTURES_H

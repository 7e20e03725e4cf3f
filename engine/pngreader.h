#ifndef PNGREADER_H
#define PNGREADER_H

#include <QImage>

#include <memory>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// Decodes PNG files with libpng into the 32-bit pictures the engine works on. Qt's own PNG reader
// fills some valid files partly from leftover memory and inflates every text chunk; this one reads
// only the chunks that decide the pixels, and gives the pixels Qt gives wherever Qt is right.
namespace PngReader {

enum class Result { Read, Unreadable, TooLarge };

// Reads the PNG file in device, from its start, into image as RGB32, or ARGB32 where the file has
// transparency. Pictures with a side longer than maxSide are TooLarge. Leaves image unchanged
// unless the whole file up to its end chunk was read.
Result read(QIODevice *device, int maxSide, QImage *image);

// Decodes a PNG file's rows from the top, one at a time, into the pixels read() gives, so that a
// caller that needs only the first rows reads no further. Interlaced files are not read: their
// first rows are complete only after the last pass.
class RowReader
{
public:
    RowReader();
    ~RowReader();
    RowReader(const RowReader &) = delete;
    RowReader &operator=(const RowReader &) = delete;

    // Reads the file in device, from its start, up to its first row. False where libpng fails,
    // the file is interlaced, or a side is longer than maxSide.
    bool start(QIODevice *device, int maxSide);
    int getWidth() const;
    int getHeight() const;
    // Whether read() would give an ARGB32 picture.
    bool hasAlpha() const;
    // Decodes the next row into width pixels. False where libpng fails.
    bool readRow(QRgb *pixels);

private:
    struct State;
    std::unique_ptr<State> state;
};

// Whether reading the rest of the file in device, past the rows a RowReader read, would succeed as
// read() reads it, judged without inflating the pixels: the image data chunks follow one another
// with intact checksums, after them come only ancillary chunks, and the file ends with an intact
// IEND. libpng refuses a file whose critical chunks fail their checksum or that ends before IEND;
// anything this does not judge (a critical chunk after the pixels, a damaged ancillary one, an
// IEND with data) answers false. The compressed stream itself is not inflated.
bool restIsWhole(QIODevice *device);

} // namespace PngReader

#endif // PNGREADER_H

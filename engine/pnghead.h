#ifndef PNGHEAD_H
#define PNGHEAD_H

#include "splice.h"

#include <QByteArray>
#include <QImage>

#include <future>
#include <memory>
#include <vector>

// A PNG file held in memory whose first rows are decoded alone, for a hide that changes only those
// and a save that carries the compressed data of the others over. Only a file the full load would
// read can be taken for it, so that every answer is the full load's: each chunk's checksum is
// checked at once, and the whole compressed stream, with each row's filter type, on another core
// while the caller goes on (isWhole).
class PngHead
{
public:
    // The PNG in bytes, if it is an 8-bit RGB or RGBA picture, not interlaced, without a tRNS
    // chunk that makes an RGB picture transparent, with no side longer than maxSide, whose chunks
    // the full load reads. Its first rows, as many as a sample for the compressor takes, go to
    // image, as the full load decodes them. Null otherwise.
    static std::shared_ptr<const PngHead> open(const QByteArray &bytes, int maxSide, QImage *image);

    // Whether the compressed stream is whole, as Splice::isWhole finds it; waits for the check.
    // If not, only the full load can tell whether the file is read.
    bool isWhole() const;
    // Whether isWhole would answer without waiting for the other core.
    bool isChecked() const;
    // Decodes the first rows again, into a new image.
    bool readRows(int rows, QImage *image) const;
    // Decodes the whole picture, as the full load does.
    bool readWhole(QImage *image) const;
    const SpliceLayout &getLayout() const { return layout; }
    const std::shared_ptr<const std::vector<uchar>> &getData() const { return data; }

private:
    PngHead() = default;

    QByteArray bytes;
    int maxSide = 0;
    SpliceLayout layout;
    std::shared_ptr<const std::vector<uchar>> data;
    std::shared_future<bool> whole;
};

#endif // PNGHEAD_H

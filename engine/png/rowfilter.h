#ifndef ROWFILTER_H
#define ROWFILTER_H

#include <QtGlobal>

#include <vector>

QT_BEGIN_NAMESPACE
class QImage;
QT_END_NAMESPACE

// Turns picture rows into PNG's filtered rows: the filter type byte, then the filtered bytes.
class RowFilter
{
public:
    // How a row's filter is chosen among the five.
    enum class Heuristic {
        // The smallest sum of absolute values, read as signed bytes: the usual rule, and Qt's.
        SmallestSum,
        // The fewest bits if each byte were coded by its frequency in the row: closer to what
        // deflate pays, and a few per cent smaller on some photographs and drawings.
        SmallestEntropy
    };

    // image must be RGB32 or ARGB32; its rows become RGBA if alpha is set, RGB otherwise.
    RowFilter(const QImage &image, bool alpha, Heuristic heuristic);

    static qint64 filteredRowBytes(int width, bool alpha);
    qint64 filteredRowBytes() const { return rowBytes + 1; }

    // Prepares for filtering from row first on: the row above it is the first row's "prior".
    void seek(int first);
    // Writes the filtered row y, which must follow the row given to seek() or the last one
    // filtered, to out (filteredRowBytes() bytes).
    void filterRow(int y, uchar *out);
    // Filters rows first to first + rows - 1 into out, one after the other.
    void filterRows(int first, int rows, uchar *out);

private:
    int smallestSumType() const;
    int smallestEntropyType() const;
    void packRow(int y, uchar *out) const;

    const QImage &image;
    const int bytesPerPixel;
    const qint64 rowBytes;
    const Heuristic heuristic;
    std::vector<uchar> current;
    std::vector<uchar> prior;
    std::vector<uchar> candidates;
    // count * log2(count) for every count a row can hold.
    std::vector<float> countLogCount;
};

#endif // ROWFILTER_H

#include "rowfilter.h"

#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

enum FilterType { FilterNone, FilterSub, FilterUp, FilterAverage, FilterPaeth, filterTypeCount };

// The loops below are kept free of branches and aliasing so that the compiler vectorises them; the
// first pixel of a row has no left neighbour and is handled apart.
void filterSub(const uchar *__restrict row, qint64 size, int bpp, uchar *__restrict out)
{
    for (qint64 i = 0; i < bpp; ++i)
        out[i] = row[i];
    for (qint64 i = bpp; i < size; ++i)
        out[i] = uchar(row[i] - row[i - bpp]);
}

void filterUp(const uchar *__restrict row, const uchar *__restrict above, qint64 size,
              uchar *__restrict out)
{
    for (qint64 i = 0; i < size; ++i)
        out[i] = uchar(row[i] - above[i]);
}

void filterAverage(const uchar *__restrict row, const uchar *__restrict above, qint64 size, int bpp,
                   uchar *__restrict out)
{
    for (qint64 i = 0; i < bpp; ++i)
        out[i] = uchar(row[i] - (above[i] >> 1));
    for (qint64 i = bpp; i < size; ++i)
        out[i] = uchar(row[i] - ((row[i - bpp] + above[i]) >> 1));
}

void filterPaeth(const uchar *__restrict row, const uchar *__restrict above, qint64 size, int bpp,
                 uchar *__restrict out)
{
    // Without a left neighbour the Paeth predictor is the byte above.
    for (qint64 i = 0; i < bpp; ++i)
        out[i] = uchar(row[i] - above[i]);
    for (qint64 i = bpp; i < size; ++i) {
        const int left = row[i - bpp];
        const int up = above[i];
        const int upLeft = above[i - bpp];
        // Distances of the estimate left + up - upLeft from each neighbour.
        const int toLeft = std::abs(up - upLeft);
        const int toUp = std::abs(left - upLeft);
        const int toUpLeft = std::abs(left + up - 2 * upLeft);
        const int predictor = (toLeft <= toUp && toLeft <= toUpLeft) ? left
                : toUp <= toUpLeft                                   ? up
                                                                     : upLeft;
        out[i] = uchar(row[i] - predictor);
    }
}

quint64 absoluteSum(const uchar *__restrict data, qint64 size)
{
    quint64 sum = 0;
    for (qint64 i = 0; i < size; ++i)
        sum += uint(std::abs(int(static_cast<signed char>(data[i]))));
    return sum;
}

} // namespace

RowFilter::RowFilter(const QImage &image, bool alpha, Heuristic heuristic)
    : image(image),
      bytesPerPixel(alpha ? 4 : 3),
      rowBytes(filteredRowBytes(image.width(), alpha) - 1),
      heuristic(heuristic),
      current(size_t(rowBytes)),
      prior(size_t(rowBytes)),
      candidates(size_t(rowBytes) * filterTypeCount)
{
    if (heuristic == Heuristic::SmallestEntropy) {
        countLogCount.resize(size_t(rowBytes) + 1);
        for (size_t count = 1; count < countLogCount.size(); ++count)
            countLogCount[count] = float(double(count) * std::log2(double(count)));
    }
}

qint64 RowFilter::filteredRowBytes(int width, bool alpha)
{
    return qint64(width) * (alpha ? 4 : 3) + 1;
}

void RowFilter::seek(int first)
{
    if (first == 0)
        std::fill(prior.begin(), prior.end(), uchar(0));
    else
        packRow(first - 1, prior.data());
}

void RowFilter::filterRow(int y, uchar *out)
{
    packRow(y, current.data());
    const uchar *row = current.data();
    const uchar *above = prior.data();
    const int bpp = bytesPerPixel;
    const qint64 size = rowBytes;
    uchar *none = candidates.data();
    uchar *sub = none + size;
    uchar *up = sub + size;
    uchar *average = up + size;
    uchar *paeth = average + size;
    std::memcpy(none, row, size_t(size));
    filterSub(row, size, bpp, sub);
    filterUp(row, above, size, up);
    filterAverage(row, above, size, bpp, average);
    filterPaeth(row, above, size, bpp, paeth);

    const int best =
            heuristic == Heuristic::SmallestSum ? smallestSumType() : smallestEntropyType();
    out[0] = uchar(best);
    std::memcpy(out + 1, none + best * size, size_t(size));
    current.swap(prior);
}

void RowFilter::filterRows(int first, int rows, uchar *out)
{
    seek(first);
    for (int row = 0; row < rows; ++row)
        filterRow(first + row, out + row * filteredRowBytes());
}

int RowFilter::smallestSumType() const
{
    int best = FilterNone;
    quint64 bestSum = absoluteSum(candidates.data(), rowBytes);
    for (int type = FilterSub; type < filterTypeCount; ++type) {
        const quint64 sum = absoluteSum(candidates.data() + type * rowBytes, rowBytes);
        if (sum < bestSum) {
            bestSum = sum;
            best = type;
        }
    }
    return best;
}

// The row's coded size is n log n - sum of c log c over the byte counts c, so the filter with the
// largest sum wins.
int RowFilter::smallestEntropyType() const
{
    int best = FilterNone;
    float bestSum = -1;
    for (int type = FilterNone; type < filterTypeCount; ++type) {
        const uchar *data = candidates.data() + type * rowBytes;
        // Four tables, so that a run of equal bytes, common in drawings, does not make each count
        // wait for the one before.
        quint32 counts[4][256] = {};
        qint64 i = 0;
        for (; i + 4 <= rowBytes; i += 4) {
            ++counts[0][data[i]];
            ++counts[1][data[i + 1]];
            ++counts[2][data[i + 2]];
            ++counts[3][data[i + 3]];
        }
        for (; i < rowBytes; ++i)
            ++counts[0][data[i]];
        float sum = 0;
        for (int value = 0; value < 256; ++value) {
            sum += countLogCount[counts[0][value] + counts[1][value] + counts[2][value] +
                                 counts[3][value]];
        }
        if (sum > bestSum) {
            bestSum = sum;
            best = type;
        }
    }
    return best;
}

// QImage holds 0xAARRGGBB values; PNG wants R, G, B (and A) bytes. RGB32's top byte is filler.
void RowFilter::packRow(int y, uchar *__restrict out) const
{
    const QRgb *__restrict pixels = reinterpret_cast<const QRgb *>(image.constScanLine(y));
    const int width = image.width();
    if (bytesPerPixel == 4) {
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = pixels[x];
            out[4 * x] = uchar(pixel >> 16);
            out[4 * x + 1] = uchar(pixel >> 8);
            out[4 * x + 2] = uchar(pixel);
            out[4 * x + 3] = uchar(pixel >> 24);
        }
    } else {
        for (int x = 0; x < width; ++x) {
            const QRgb pixel = pixels[x];
            out[3 * x] = uchar(pixel >> 16);
            out[3 * x + 1] = uchar(pixel >> 8);
            out[3 * x + 2] = uchar(pixel);
        }
    }
}

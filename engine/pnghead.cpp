#include "pnghead.h"

#include "compressorchoice.h"
#include "pngreader.h"
#include "rowfilter.h"

#include <QBuffer>

#include <chrono>
#include <system_error>

namespace {

bool decodeRows(const QByteArray &bytes, int maxSide, int rows, QImage *image)
{
    QBuffer buffer;
    buffer.setData(bytes);
    PngReader::RowReader reader;
    if (!buffer.open(QIODevice::ReadOnly) || !reader.start(&buffer, maxSide) ||
        rows > reader.getHeight())
        return false;
    QImage decoded(reader.getWidth(), rows,
                   reader.hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (decoded.isNull())
        return false;
    for (int y = 0; y < rows; ++y) {
        if (!reader.readRow(reinterpret_cast<QRgb *>(decoded.scanLine(y))))
            return false;
    }
    *image = decoded;
    return true;
}

} // namespace

std::shared_ptr<const PngHead> PngHead::open(const QByteArray &bytes, int maxSide, QImage *image)
{
    std::shared_ptr<PngHead> head(new PngHead);
    head->bytes = bytes;
    head->maxSide = maxSide;
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return nullptr;
    SpliceLayout &layout = head->layout;
    layout = Splice::readLayout(&buffer);
    if (!layout.isValid() || layout.width > maxSide || layout.height > maxSide)
        return nullptr;
    // Copied straight from the bytes; their checksums are checked with the other chunks' below.
    auto data = std::make_shared<std::vector<uchar>>();
    data->reserve(size_t(layout.dataBytes()));
    for (const SpliceLayout::Idat &idat : layout.idats) {
        if (idat.start < 0 || idat.start + 12 + idat.length > bytes.size())
            return nullptr;
        const uchar *start = reinterpret_cast<const uchar *>(bytes.constData()) + idat.start + 8;
        data->insert(data->end(), start, start + idat.length);
    }
    head->data = data;
    const qint64 rowBytes = RowFilter::filteredRowBytes(layout.width, layout.alpha);
    const qint64 sampleRows =
            (CompressorChoice::sampleBytes(rowBytes * layout.height) + rowBytes - 1) / rowBytes;
    QImage first;
    if (!decodeRows(bytes, maxSide, int(qMin(qint64(layout.height), sampleRows)), &first) ||
        (first.format() == QImage::Format_ARGB32) != layout.alpha)
        return nullptr;

    // The stream is inflated on the other core while this one checks the chunks' checksums, the
    // IDAT chunks' among them, and the caller goes on; only the whole stream stands for decoding
    // the rest.
    const auto check = [data, layout] {
        return Splice::isWhole(*data, layout);
    };
    try {
        head->whole = std::async(std::launch::async, check).share();
    } catch (const std::system_error &) {
        head->whole = std::async(std::launch::deferred, check).share();
    }
    if (!PngReader::restIsWhole(&buffer))
        return nullptr;
    *image = first;
    return head;
}

bool PngHead::isWhole() const
{
    return whole.get();
}

bool PngHead::isChecked() const
{
    // A check that could not get a thread of its own runs when asked.
    return whole.wait_for(std::chrono::seconds(0)) != std::future_status::timeout;
}

bool PngHead::readRows(int rows, QImage *image) const
{
    return decodeRows(bytes, maxSide, rows, image);
}

bool PngHead::readWhole(QImage *image) const
{
    QBuffer buffer;
    buffer.setData(bytes);
    return buffer.open(QIODevice::ReadOnly) &&
            PngReader::read(&buffer, maxSide, image) == PngReader::Result::Read;
}

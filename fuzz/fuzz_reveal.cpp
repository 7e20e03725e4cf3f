#include "carrierimage.h"
#include "filereveal.h"
#include "fuzzsupport.h"

#include <QByteArray>
#include <QString>
#include <QtEndian>

#include <zlib.h>

#include <cstdint>

namespace {

// Whether a PNG's first run of IDAT chunks inflates to exactly its rows, each with a valid
// filter byte: the part of the file that the partial reveal reads only as far as it needs.
bool pixelStreamIsWhole(const QByteArray &png)
{
    if (png.size() < 33)
        return false;
    const auto *header = reinterpret_cast<const uchar *>(png.constData() + 16);
    const qint64 width = qFromBigEndian<quint32>(header);
    const qint64 height = qFromBigEndian<quint32>(header + 4);
    const int depth = header[8];
    const int colourType = header[9];
    const int channels = colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
    const qint64 rowBytes = (width * channels * depth + 7) / 8 + 1;
    QByteArray stream;
    bool inPixels = false;
    for (int at = 8; at + 12 <= png.size();) {
        const qint64 length = qFromBigEndian<quint32>(png.constData() + at);
        if (length > png.size() - at - 12)
            break;
        const bool pixels = png.mid(at + 4, 4) == "IDAT";
        if (inPixels && !pixels)
            break;
        inPixels = pixels;
        if (pixels)
            stream += png.mid(at + 8, int(length));
        at += 12 + int(length);
    }
    QByteArray rows(int(qMin<qint64>(rowBytes * height, 1 << 26)), '\0');
    z_stream inflater {};
    inflater.next_in = reinterpret_cast<Bytef *>(stream.data());
    inflater.avail_in = uInt(stream.size());
    inflater.next_out = reinterpret_cast<Bytef *>(rows.data());
    inflater.avail_out = uInt(rows.size());
    const bool inflated = inflateInit(&inflater) == Z_OK &&
            inflate(&inflater, Z_FINISH) == Z_STREAM_END &&
            qint64(inflater.total_out) == rowBytes * height;
    inflateEnd(&inflater);
    for (qint64 row = 0; inflated && row < height; ++row) {
        if (uchar(rows.at(int(row * rowBytes))) > 4)
            return false;
    }
    return inflated;
}

} // namespace

// The partial reveal must give the whole load's answer: the same result, size, capacity and
// message. They may part only where a PNG's compressed pixels are damaged past the rows read,
// which the partial reveal does not inflate.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (silenceQt(), true);
    Q_UNUSED(quiet);
    if (announcesCostlyPicture(data, size, CarrierImage::maxSide))
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QString path = writeInput(data, size);

    CarrierImage whole;
    const CarrierImage::LoadResult loaded = whole.load(path);
    const bool found = loaded == CarrierImage::LoadResult::Loaded && whole.revealMessage();
    FileReveal partial;
    const CarrierImage::LoadResult read = partial.read(path);
    if (read != loaded) {
        require(loaded == CarrierImage::LoadResult::Unreadable &&
                read == CarrierImage::LoadResult::Loaded &&
                partial.getPath() == FileReveal::Path::Partial && bytes.startsWith("\x89PNG") &&
                !pixelStreamIsWhole(bytes));
        return 0;
    }
    require(partial.hasMessage() == found);
    if (loaded != CarrierImage::LoadResult::Loaded)
        return 0;
    require(partial.getWidth() == whole.getImage().width());
    require(partial.getHeight() == whole.getImage().height());
    require(partial.getCapacity() == whole.getCapacity());
    if (!found)
        return 0;
    require(partial.getRevealedBytes() == whole.getRevealedBytes());
    require(partial.getRevealedText() == whole.getRevealedText());
    return 0;
}

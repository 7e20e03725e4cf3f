#include "pictureguard.h"

#include "pngwriter.h"

#include <QByteArray>
#include <QIODevice>
#include <QtEndian>

namespace {

using Verdict = PictureGuard::Verdict;

constexpr qint64 bmpFileHeaderSize = 14;

// Qt's reader allocates and clears a chunk's announced length before it reads the data, so every
// length is checked against the file first; the data itself is skipped, never read.
Verdict checkPng(QIODevice *device)
{
    if (!device->seek(PngWriter::signatureSize))
        return Verdict::Unreadable;
    const qint64 fileSize = device->size();
    for (;;) {
        const QByteArray head = device->read(8);
        // A file that ends between chunks is left to the reader, which knows what it needs.
        if (head.isEmpty())
            return Verdict::Png;
        if (head.size() != 8)
            return Verdict::Unreadable;
        const qint64 length = qFromBigEndian<quint32>(head.constData());
        const qint64 next = device->pos() + length + 4; // data, then CRC
        if (length > 0x7FFFFFFF || next > fileSize)
            return Verdict::Unreadable;
        if (head.endsWith("IEND"))
            return Verdict::Png;
        if (!device->seek(next))
            return Verdict::Unreadable;
    }
}

// Qt's BMP reader decodes an uncompressed file that is shorter than its header says into a
// full-size picture whose missing rows hold leftover memory, so such a file is refused. The
// check must read the header with the layout the reader uses: the 40-byte one for info headers
// of 40, 64, 108 and 124 bytes, the 12-byte core one for every other size. Sizes that no writer
// produces are refused outright.
Verdict checkBmp(QIODevice *device, int maxSide)
{
    const QByteArray header = device->peek(bmpFileHeaderSize + 40);
    if (header.size() < bmpFileHeaderSize + 4)
        return Verdict::Unreadable;
    const char *bytes = header.constData();
    const qint64 pixelOffset = qFromLittleEndian<quint32>(bytes + 10);
    const qint64 infoSize = qFromLittleEndian<quint32>(bytes + 14);
    const bool full = infoSize == 40 || infoSize == 64 || infoSize == 108 || infoSize == 124;
    if (!full && infoSize != 12 && infoSize != 52 && infoSize != 56)
        return Verdict::Unreadable;
    const qint64 layoutSize = full ? 40 : 12;
    if (header.size() < bmpFileHeaderSize + layoutSize)
        return Verdict::Unreadable;
    // Read as the reader reads them: signed, 16 bits wide in the core layout.
    const qint64 width =
            full ? qFromLittleEndian<qint32>(bytes + 18) : qFromLittleEndian<qint16>(bytes + 18);
    const qint64 height = full ? qFromLittleEndian<qint32>(bytes + 22) // negative: top-down
                               : qFromLittleEndian<qint16>(bytes + 20);
    const qint64 bitCount = qFromLittleEndian<quint16>(bytes + (full ? 28 : 24));
    const qint64 compression = full ? qFromLittleEndian<quint32>(bytes + 30) : 0;
    const qint64 colorsUsed = full ? qFromLittleEndian<quint32>(bytes + 46) : 0;
    // Bounded before any product is formed, so that none can overflow.
    if (qAbs(width) > maxSide || qAbs(height) > maxSide)
        return Verdict::TooLarge;
    // Only pictures of up to 8 bits per pixel have a palette the reader reads, of at most 256.
    const qint64 paletteEntries = bitCount > 8 ? 0 : colorsUsed > 0 ? colorsUsed : 1 << bitCount;
    if (bitCount > 32 || paletteEntries > 256)
        return Verdict::Unreadable;
    // Run-length data has no fixed size to check; the caller decodes it into a cleared picture.
    if (compression == 1 || compression == 2)
        return Verdict::Bmp;

    // The reader starts on the pixels at the offset the header gives, or where the header, the
    // colour masks and the palette end if that is later. Where the reader might stop short of
    // the whole info header, the later end is assumed.
    const qint64 masks = infoSize == 40 && compression == 3 ? 12 : 0;
    const qint64 palette = paletteEntries * (infoSize == 12 ? 3 : 4);
    const qint64 infoEnd = bmpFileHeaderSize + infoSize + masks + palette;
    const qint64 rowSize = (bitCount * qAbs(width) + 31) / 32 * 4;
    const qint64 dataEnd = qMax(pixelOffset, infoEnd) + rowSize * qAbs(height);
    return dataEnd > device->size() ? Verdict::Unreadable : Verdict::Bmp;
}

} // namespace

PictureGuard::Verdict PictureGuard::check(QIODevice *device, int maxSide)
{
    if (!device->seek(0))
        return Verdict::Unreadable;
    const QByteArray signature = device->peek(PngWriter::signatureSize);
    if (signature == QByteArray(PngWriter::signature, PngWriter::signatureSize))
        return checkPng(device);
    if (signature.startsWith("BM"))
        return checkBmp(device, maxSide);
    return Verdict::Unreadable;
}

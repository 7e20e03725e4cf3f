#include "pictureguard.h"

#include "pictureformat.h"
#include "chunkreader.h"
#include "pngwriter.h"

#include <QByteArray>
#include <QIODevice>
#include <QImageReader>
#include <QtEndian>

namespace {

using Outcome = PictureGuard::Outcome;
using Verdict = PictureGuard::Verdict;

constexpr qint64 bmpFileHeaderSize = 14;

Verdict verdict(Outcome outcome, const PictureFormat *format = nullptr)
{
    Verdict found;
    found.outcome = outcome;
    found.format = outcome == Outcome::Decodable ? format : nullptr;
    return found;
}

// Reads a file forward a byte at a time, through a buffer; a byte past the end reads as -1.
class ByteReader
{
public:
    ByteReader(QIODevice *device, qint64 start) : device(device), position(start) { }
    int next()
    {
        if (offset == buffer.size()) {
            if (!device->seek(position))
                return -1;
            buffer = device->read(64 * 1024);
            position += buffer.size();
            offset = 0;
            if (buffer.isEmpty())
                return -1;
        }
        return uchar(buffer.at(offset++));
    }
    bool skip(qint64 count)
    {
        while (count-- > 0) {
            if (next() < 0)
                return false;
        }
        return true;
    }
    // Moves past the next byte of value; false if the file ends first.
    bool skipPast(char value)
    {
        for (;;) {
            const int found = buffer.indexOf(value, offset);
            if (found >= 0) {
                offset = found + 1;
                return true;
            }
            offset = buffer.size();
            if (next() < 0)
                return false;
            if (buffer.at(offset - 1) == value)
                return true;
        }
    }

private:
    QIODevice *device;
    qint64 position;
    QByteArray buffer;
    int offset = 0;
};

// A decoder may allocate a chunk's announced length before it reads the data, so every length is
// checked against the file first; the data itself is skipped, never read.
Outcome checkPng(QIODevice *device, int maxSide)
{
    if (!device->seek(PngWriter::signatureSize))
        return Outcome::Unreadable;
    // The header chunk comes first and gives the picture's size.
    const QByteArray header = device->peek(16);
    if (header.size() != 16 || !header.startsWith(QByteArray("\0\0\0\x0dIHDR", 8)))
        return Outcome::Unreadable;
    if (qFromBigEndian<quint32>(header.constData() + 8) > quint32(maxSide) ||
        qFromBigEndian<quint32>(header.constData() + 12) > quint32(maxSide))
        return Outcome::TooLarge;
    ChunkReader reader(device);
    ChunkReader::Chunk chunk;
    while (reader.next(&chunk)) {
        if (chunk.type == "IEND")
            return Outcome::Decodable;
    }
    // A file that ends between chunks is left to the reader, which knows what it needs.
    return reader.atEnd() ? Outcome::Decodable : Outcome::Unreadable;
}

// Qt's reader paints a run whose colour byte is missing, or a delta whose steps are, from a
// variable the file never set. So a run-length stream must not end inside a run, an escape, a
// delta or an absolute block; where it ends between them, the pixels left out keep the cleared
// picture's colour.
bool runsEndCleanly(QIODevice *device, qint64 start, bool fourBits)
{
    ByteReader reader(device, start);
    for (;;) {
        const int count = reader.next();
        if (count < 0)
            return true;
        const int code = reader.next();
        if (code < 0)
            return false;
        if (count > 0)
            continue; // a run of count pixels of colour code
        if (code == 1)
            return true; // end of the picture
        if (code == 2 && !reader.skip(2))
            return false; // a delta: steps right and up
        if (code >= 3) {
            // An absolute block of code pixels, padded to a whole number of 16-bit words.
            const int bytes = fourBits ? (code + 1) / 2 : code;
            if (!reader.skip(bytes + bytes % 2))
                return false;
        }
    }
}

// Qt's BMP reader decodes an uncompressed file that is shorter than its header says into a
// full-size picture whose missing rows hold leftover memory, so such a file is refused. The
// check must read the header with the layout the reader uses: the 40-byte one for info headers
// of 40, 64, 108 and 124 bytes, the 12-byte core one for every other size. Sizes that no writer
// produces are refused outright.
Outcome checkBmp(QIODevice *device, int maxSide)
{
    const QByteArray header = device->peek(bmpFileHeaderSize + 40);
    if (header.size() < bmpFileHeaderSize + 4)
        return Outcome::Unreadable;
    const char *bytes = header.constData();
    const qint64 pixelOffset = qFromLittleEndian<quint32>(bytes + 10);
    const qint64 infoSize = qFromLittleEndian<quint32>(bytes + 14);
    const bool full = infoSize == 40 || infoSize == 64 || infoSize == 108 || infoSize == 124;
    if (!full && infoSize != 12 && infoSize != 52 && infoSize != 56)
        return Outcome::Unreadable;
    const qint64 layoutSize = full ? 40 : 12;
    if (header.size() < bmpFileHeaderSize + layoutSize)
        return Outcome::Unreadable;
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
        return Outcome::TooLarge;
    // Only pictures of up to 8 bits per pixel have a palette the reader reads, of at most 256.
    const qint64 paletteEntries = bitCount > 8 ? 0 : colorsUsed > 0 ? colorsUsed : 1 << bitCount;
    if (bitCount > 32 || paletteEntries > 256)
        return Outcome::Unreadable;
    // The reader starts on the pixels at the offset the header gives, or where the header, the
    // colour masks and the palette end if that is later. Where the reader might stop short of
    // the whole info header, the later end is assumed.
    const qint64 masks = infoSize == 40 && compression == 3 ? 12 : 0;
    const qint64 palette = paletteEntries * (infoSize == 12 ? 3 : 4);
    const qint64 infoEnd = bmpFileHeaderSize + infoSize + masks + palette;
    const qint64 pixelStart = qMax(pixelOffset, infoEnd);
    // Run-length data has no fixed size; the caller decodes it into a cleared picture.
    if (compression == 1 || compression == 2)
        return runsEndCleanly(device, pixelStart, compression == 2) ? Outcome::Decodable
                                                                    : Outcome::Unreadable;
    const qint64 rowSize = (bitCount * qAbs(width) + 31) / 32 * 4;
    const qint64 dataEnd = pixelStart + rowSize * qAbs(height);
    return dataEnd > device->size() ? Outcome::Unreadable : Outcome::Decodable;
}

// Qt's JPEG reader decodes a file that ends early into a whole picture, grey where the data is
// missing, and says so only in a warning. So the file's segments are walked to the end-of-image
// marker, the compressed data of each scan up to the marker after it.
Outcome checkJpeg(QIODevice *device)
{
    constexpr int maxScans = 100;
    int scans = 0;
    ByteReader reader(device, 2);
    for (;;) {
        // Bytes between segments are skipped, as the decoder skips them.
        if (!reader.skipPast('\xFF'))
            return Outcome::Unreadable;
        int marker = reader.next();
        while (marker == 0xFF) // fill bytes
            marker = reader.next();
        if (marker < 0)
            return Outcome::Unreadable;
        if (marker == 0xD9) // end of image
            return Outcome::Decodable;
        if (marker == 0 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue; // a stuffed zero, or a marker without a length
        // Each scan of a progressive picture costs a pass over the whole picture, and an empty
        // one takes ten bytes; encoders write a dozen or so.
        if (marker == 0xDA && ++scans > maxScans)
            return Outcome::Unreadable;
        const int high = reader.next();
        const int low = reader.next();
        if (low < 0 || (high << 8 | low) < 2 || !reader.skip((high << 8 | low) - 2))
            return Outcome::Unreadable;
        // After a scan header, its compressed data runs to the next marker, which the loop finds.
    }
}

// Qt reads a GIF's first picture, so its blocks are walked to the end of that picture's data.
Outcome checkGif(QIODevice *device)
{
    const QByteArray screen = device->peek(13);
    if (screen.size() < 13)
        return Outcome::Unreadable;
    const auto colourTable = [](int flags) {
        return flags & 0x80 ? 3 << ((flags & 7) + 1) : 0;
    };
    ByteReader reader(device, 13 + colourTable(uchar(screen.at(10))));
    const auto skipSubBlocks = [&reader] {
        for (;;) {
            const int size = reader.next();
            if (size <= 0 || !reader.skip(size))
                return size == 0;
        }
    };
    for (;;) {
        const int block = reader.next();
        if (block == 0x21) { // an extension: its label, then data
            if (reader.next() < 0 || !skipSubBlocks())
                return Outcome::Unreadable;
        } else if (block == 0x2C) { // a picture: where, how large, its colours, then data
            for (int i = 0; i < 8; ++i)
                reader.next();
            const int flags = reader.next();
            if (flags < 0 || !reader.skip(colourTable(flags)) || reader.next() < 0)
                return Outcome::Unreadable;
            return skipSubBlocks() ? Outcome::Decodable : Outcome::Unreadable;
        } else {
            return Outcome::Unreadable; // the trailer, or anything else, before any picture
        }
    }
}

// Qt's icon reader decodes the first picture of an icon file: a PNG, which would go to Qt's own
// PNG reader and so is read by ours instead, or a BMP without its file header, whose size must be
// bounded before anything is allocated for it.
Verdict checkIcon(QIODevice *device, const PictureFormat *icon, int maxSide)
{
    const QByteArray directory = device->peek(6 + 16);
    if (directory.size() < 6 + 16 || qFromLittleEndian<quint16>(directory.constData() + 4) == 0)
        return verdict(Outcome::Unreadable);
    const qint64 size = qFromLittleEndian<quint32>(directory.constData() + 14);
    const qint64 offset = qFromLittleEndian<quint32>(directory.constData() + 18);
    if (offset + size > device->size() || !device->seek(offset))
        return verdict(Outcome::Unreadable);
    const QByteArray head = device->peek(PngWriter::signatureSize);
    if (head == QByteArray(PngWriter::signature, PngWriter::signatureSize)) {
        Verdict found = verdict(Outcome::Decodable, icon);
        found.pngStart = offset;
        found.pngSize = size;
        return found;
    }
    const QByteArray info = device->peek(40);
    if (size < 40 || info.size() < 40 || qFromLittleEndian<quint32>(info.constData()) != 40)
        return verdict(Outcome::Unreadable);
    // The height counts the colour rows and the mask rows.
    const qint64 width = qAbs(qint64(qFromLittleEndian<qint32>(info.constData() + 4)));
    const qint64 height = qAbs(qint64(qFromLittleEndian<qint32>(info.constData() + 8))) / 2;
    if (width > maxSide || height > maxSide)
        return verdict(Outcome::TooLarge);
    // Qt reads the colour count as signed, so a huge one passes its own check and a 4-bit
    // picture is then decoded into a 32-bit one it fills only in part. Only the layouts icons
    // use, uncompressed, with a palette no longer than the bit count allows, are read; and all
    // of their rows, colour and mask, must be in the file.
    const int bitCount = qFromLittleEndian<quint16>(info.constData() + 14);
    const quint32 compression = qFromLittleEndian<quint32>(info.constData() + 16);
    const qint64 coloursUsed = qFromLittleEndian<quint32>(info.constData() + 32);
    const bool paletted = bitCount == 1 || bitCount == 4 || bitCount == 8;
    if ((!paletted && bitCount != 24 && bitCount != 32) || compression != 0 ||
        (paletted && coloursUsed > (1 << bitCount)))
        return verdict(Outcome::Unreadable);
    const qint64 palette = paletted ? 4 * (coloursUsed > 0 ? coloursUsed : 1 << bitCount) : 0;
    const auto rowSize = [width](int bits) {
        return (bits * width + 31) / 32 * 4;
    };
    const qint64 needed = 40 + palette + (rowSize(bitCount) + rowSize(1)) * height;
    return verdict(needed > size ? Outcome::Unreadable : Outcome::Decodable, icon);
}

} // namespace

PictureGuard::Verdict PictureGuard::check(QIODevice *device, int maxSide)
{
    if (!device->seek(0))
        return verdict(Outcome::Unreadable);
    const PictureFormat *format =
            PictureFormats::fromContent(device->peek(PictureFormats::signatureBytes));
    if (!format) {
        // Formats that an image plugin reads but that no one here has checked against hostile
        // files. Qt may also take a damaged file of a format read here for one of its own.
        const QByteArray detected = QImageReader::imageFormat(device);
        return verdict(detected.isEmpty() || PictureFormats::fromQtName(detected)
                               ? Outcome::Unreadable
                               : Outcome::Unsupported);
    }
    switch (format->decoder) {
    case PictureFormat::Decoder::OurPng:
        return verdict(checkPng(device, maxSide), format);
    case PictureFormat::Decoder::QtIntoClearedPicture:
        return verdict(checkBmp(device, maxSide), format);
    case PictureFormat::Decoder::Qt:
        break;
    }
    if (qstrcmp(format->qtName, "ico") == 0)
        return checkIcon(device, format, maxSide);
    if (qstrcmp(format->qtName, "jpeg") == 0)
        return verdict(checkJpeg(device), format);
    if (qstrcmp(format->qtName, "gif") == 0)
        return verdict(checkGif(device), format);
    return verdict(Outcome::Decodable, format);
}

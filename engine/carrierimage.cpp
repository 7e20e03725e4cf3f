#include "carrierimage.h"

#include "hidingrules.h"
#include "pictureformat.h"
#include "pictureguard.h"
#include "pnghead.h"
#include "pngreader.h"
#include "pngwriter.h"
#include "splice.h"
#include "twothreads.h"

#include <QBuffer>
#include <QByteArray>
#include <QChar>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QLatin1Char>
#include <QSaveFile>
#include <QSize>

#include <cstring>
#include <memory>

namespace {

// The length header: 12 base-2 digits counting the body's bits.
constexpr int headerDigits = 12;

// Both signs: top-down BMPs announce a negative height.
bool isWithin(int side, int maxSide)
{
    return side >= -maxSide && side <= maxSide;
}

// QString::fromUtf8 drops a leading byte order mark, which in a message is a character of it.
QString decodeUtf8(const QByteArray &bytes)
{
    const QByteArray mark("\xEF\xBB\xBF");
    QString text;
    int start = 0;
    while (bytes.mid(start, 3) == mark) {
        text += QChar(QChar::ByteOrderMark);
        start += 3;
    }
    return text + QString::fromUtf8(bytes.mid(start));
}

using LoadResult = CarrierImage::LoadResult;

// Files read into memory whole for a head-only load; larger ones are loaded whole.
constexpr qint64 largestHeadFile = qint64(1) << 30;

// PNG files, and the PNG picture inside an icon, go to our own decoder.
LoadResult readPng(QFile *file, const PictureGuard::Verdict &verdict, QImage *image)
{
    PngReader::Result result;
    if (verdict.pngSize == 0) {
        result = PngReader::read(file, CarrierImage::maxSide, image);
    } else {
        if (!file->seek(verdict.pngStart))
            return LoadResult::Unreadable;
        QByteArray bytes = file->read(verdict.pngSize);
        QBuffer buffer(&bytes);
        if (bytes.size() != verdict.pngSize || !buffer.open(QIODevice::ReadOnly))
            return LoadResult::Unreadable;
        result = PngReader::read(&buffer, CarrierImage::maxSide, image);
    }
    return result == PngReader::Result::Read        ? LoadResult::Loaded
            : result == PngReader::Result::TooLarge ? LoadResult::TooLarge
                                                    : LoadResult::Unreadable;
}

LoadResult readWithQt(QFile *file, const PictureFormat &format, QImage *image)
{
    const bool cleared = format.decoder == PictureFormat::Decoder::QtIntoClearedPicture;
    if (!file->seek(0))
        return LoadResult::Unreadable;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 refuses to decode more than 128 MB by default. The largest picture accepted here,
    // with 16-bit channels, decodes to 8 bytes per pixel.
    QImageReader::setAllocationLimit(
            int(qint64(CarrierImage::maxSide) * CarrierImage::maxSide * 8 / (1024 * 1024)));
#endif
    // Only the reader for what the guard found the file to be: Qt's content detection would also
    // hand files to readers that the guard has not checked them for.
    QImageReader reader(file, format.qtName);
    reader.setAutoDetectImageFormat(false);
    // A photograph's orientation tag turns it upright for every viewer; the saved PNG has no
    // such tag, so the pixels themselves are turned.
    reader.setAutoTransform(true);
    // A tiny file can announce a huge picture; ask before decoding.
    const QSize announced = reader.size();
    if (!isWithin(announced.width(), CarrierImage::maxSide) ||
        !isWithin(announced.height(), CarrierImage::maxSide))
        return LoadResult::TooLarge;

    QImage loaded;
    if (cleared) {
        // Qt's BMP reader leaves pixels unwritten where run-length data skips them or ends early.
        // It decodes into a picture of the right size and format that it is given, so it gets one
        // cleared beforehand, and those pixels take palette entry 0 or black instead of leftover
        // memory. A reader that allocated a picture of its own is not trusted.
        loaded = QImage(qAbs(announced.width()), qAbs(announced.height()), reader.imageFormat());
        if (loaded.isNull())
            return LoadResult::Unreadable;
        loaded.fill(0);
    }
    const uchar *bits = loaded.constBits();
    // A reader that fails may leave a picture partly decoded, and partly leftover memory.
    if (!reader.read(&loaded) || loaded.isNull() || (cleared && loaded.constBits() != bits))
        return LoadResult::Unreadable;
    *image = loaded;
    return LoadResult::Loaded;
}

} // namespace

CarrierImage::LoadResult CarrierImage::load(const QString &path, LoadDepth depth)
{
    lastLoad = depth == LoadDepth::Head && loadHead(path) ? LoadResult::Loaded : loadWhole(path);
    return lastLoad;
}

CarrierImage::LoadResult CarrierImage::loadWhole(const QString &path)
{
    // Regular files only: the image reader blocks forever on a named pipe.
    if (!QFileInfo(path).isFile())
        return LoadResult::Unreadable;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        return LoadResult::Unreadable;
    const PictureGuard::Verdict verdict = PictureGuard::check(file.get(), maxSide);
    switch (verdict.outcome) {
    case PictureGuard::Outcome::TooLarge:
        return LoadResult::TooLarge;
    case PictureGuard::Outcome::Unsupported:
        return LoadResult::Unsupported;
    case PictureGuard::Outcome::Unreadable:
        return LoadResult::Unreadable;
    case PictureGuard::Outcome::Decodable:
        break;
    }
    QImage loaded;
    LoadResult result = LoadResult::Unreadable;
    const auto decode = [&] {
        result = verdict.format->decoder == PictureFormat::Decoder::OurPng || verdict.pngSize > 0
                ? readPng(file.get(), verdict, &loaded)
                : readWithQt(file.get(), *verdict.format, &loaded);
    };
    // A PNG's compressed rows are checked on the other core while they are decoded, so that a
    // save can carry them over.
    const bool wholePng =
            verdict.format->decoder == PictureFormat::Decoder::OurPng && verdict.pngSize == 0;
    const std::shared_ptr<HeldSource> held = wholePng ? HeldSource::prepare(file.get()) : nullptr;
    if (held)
        TwoThreads::runBoth(decode, [&held] { held->check(); });
    else
        decode();
    if (result != LoadResult::Loaded)
        return result;
    if (loaded.width() > maxSide || loaded.height() > maxSide)
        return LoadResult::TooLarge;
    // Other formats would not keep the low bits that a hide writes.
    loaded = PngWriter::to32Bit(loaded);
    if (loaded.isNull())
        return LoadResult::Unreadable;
    const QByteArray chunks = PngWriter::readKeptChunks(file.get());

    image = loaded;
    pngChunks = chunks;
    width = image.width();
    height = image.height();
    capacity = capacityFor(width, height);
    loadedHead.clear();
    hiddenPixels = 0;
    source = held && held->hold(std::move(file)) ? held : nullptr;
    head = nullptr;
    return LoadResult::Loaded;
}

// The file is read once, and its bytes are the ones checked, decoded and carried over; anything
// the head-only load does not take goes to the whole load, which gives the answer.
bool CarrierImage::loadHead(const QString &path)
{
    QFile file(path);
    // Only a PNG is read into memory; the guard then judges the bytes read.
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const PictureFormat *format =
            PictureFormats::fromContent(file.peek(PictureFormats::signatureBytes));
    if (!format || format->decoder != PictureFormat::Decoder::OurPng)
        return false;
    // A file that grows meanwhile is left to the whole load.
    const qint64 size = file.size();
    if (size > largestHeadFile)
        return false;
    const QByteArray bytes = file.read(size + 1);
    QBuffer buffer;
    buffer.setData(bytes);
    if (bytes.size() != size || !buffer.open(QIODevice::ReadOnly))
        return false;
    const PictureGuard::Verdict verdict = PictureGuard::check(&buffer, maxSide);
    if (verdict.outcome != PictureGuard::Outcome::Decodable ||
        verdict.format->decoder != PictureFormat::Decoder::OurPng || verdict.pngSize != 0)
        return false;
    QImage rows;
    const std::shared_ptr<const PngHead> opened = PngHead::open(bytes, maxSide, &rows);
    if (!opened)
        return false;
    image = rows;
    pngChunks = PngWriter::readKeptChunks(&buffer);
    width = opened->getLayout().width;
    height = opened->getLayout().height;
    capacity = capacityFor(width, height);
    loadedHead.clear();
    hiddenPixels = 0;
    source = nullptr;
    head = opened;
    return true;
}

bool CarrierImage::isLoadChecked() const
{
    return !head || head->isChecked();
}

CarrierImage::LoadResult CarrierImage::confirmLoad()
{
    if (!head || head->isWhole())
        return lastLoad;
    // The stream is not as a splice needs it; the full decoder judges the file.
    const QImage whole = wholeImage();
    if (whole.isNull()) {
        *this = CarrierImage();
        lastLoad = LoadResult::Unreadable;
        return lastLoad;
    }
    image = whole;
    head = nullptr;
    return LoadResult::Loaded;
}

QImage CarrierImage::wholeImage() const
{
    if (!head || image.isNull())
        return image;
    QImage whole;
    if (!head->readWhole(&whole) || whole.format() != image.format())
        return QImage();
    // The rows held may carry a hide.
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(whole.scanLine(y), image.constScanLine(y), size_t(image.bytesPerLine()));
    return whole;
}

bool CarrierImage::ensureRows(int rows)
{
    if (!head || rows <= image.height())
        return true;
    // Decoded afresh from the top: pixels an earlier hide changed are all rewritten or restored
    // from loadedHead by the hide that asks.
    QImage grown;
    const bool read = rows >= height ? head->readWhole(&grown) : head->readRows(rows, &grown);
    if (!read || grown.format() != image.format()) {
        // Nothing the hide could not finish may be saved; the head stays, so that confirmLoad
        // asks the full decoder about the file.
        image = QImage();
        return false;
    }
    image = grown;
    if (rows >= height)
        head = nullptr;
    return true;
}

int CarrierImage::capacityFor(int width, int height)
{
    const qint64 positions = qint64(width) * height * 3;
    // Whole bytes that fit behind the header, and that the header can count.
    return int(qBound(qint64(0), (positions - headerDigits) / 8, qint64(maxMessageBytes)));
}

int CarrierImage::getCapacity() const
{
    return capacity;
}

void CarrierImage::setMessageText(const QString &text)
{
    messageBytes = text.toUtf8();
}

void CarrierImage::setMessageBytes(const QByteArray &bytes)
{
    messageBytes = bytes;
}

void CarrierImage::setBitString(const QString &bits)
{
    bitString = bits;
}

QString CarrierImage::getRevealedText() const
{
    return revealedText;
}

QByteArray CarrierImage::getRevealedBytes() const
{
    return revealedBytes;
}

QImage CarrierImage::getImage() const
{
    return wholeImage();
}

bool CarrierImage::saveImage(const QString &path) const
{
    // Only formats that keep every low bit, whatever the caller checked.
    const PictureFormat *format = PictureFormats::fromSuffix(QFileInfo(path).suffix());
    if (!format || !format->keepsLowBits())
        return false;
    // Written beside the target and renamed over it only once complete, so a failure never
    // leaves a half-written or emptied picture behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // PNG goes through our own encoder, which is faster and keeps the source's metadata.
    const bool written = format->writer == PictureFormat::Writer::OurPng
            ? writePng(&file)
            : QImageWriter(&file, format->qtName).write(wholeImage());
    // commit() alone can report success for a file that a full disk cut short when only the
    // last buffered block fails, hence the explicit flush.
    if (!written || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

// A picture loaded from a PNG that is still the one loaded keeps the source's compressed rows below
// the ones a hide changed; any doubt writes the whole picture.
bool CarrierImage::writePng(QIODevice *device) const
{
    const QSize size(width, height);
    const bool alpha = image.format() == QImage::Format_ARGB32;
    SplicedStream stream;
    // The head's stream is built while the other core still checks the source's.
    if (head &&
        Splice::buildHead(image, changedRows(), head->getLayout(), head->getData(), &stream) &&
        head->isWhole())
        return PngWriter::writeStream(size, alpha, pngChunks, stream.pieces(), device);
    if (source && source->isUnchanged() &&
        Splice::buildStream(image, changedRows(), source->getFile(), source->getLayout(), &stream))
        return PngWriter::writeStream(size, alpha, pngChunks, stream.pieces(), device);

    const QImage whole = wholeImage();
    return !whole.isNull() && PngWriter::write(whole, pngChunks, device);
}

void CarrierImage::hideMessage(const QByteArray &bytes, bool forceOpaque)
{
    setMessageBytes(bytes);
    textToBits();
    hideBits(forceOpaque ? 1 : 0);
}

bool CarrierImage::revealMessage()
{
    setBitString(extractBits());
    return bitsToText();
}

void CarrierImage::textToBits()
{
    QString body;
    body.reserve(messageBytes.size() * 8);
    for (const char byte : messageBytes)
        body += QString::number(uchar(byte), 2).rightJustified(8, QLatin1Char('0'));
    bitString =
            QString::number(body.size(), 2).rightJustified(headerDigits, QLatin1Char('0')) + body;
}

bool CarrierImage::bitsToText()
{
    QByteArray bytes;
    bytes.reserve(bitString.size() / 8);
    for (int i = 0; i + 8 <= bitString.size(); i += 8)
        bytes.append(char(bitString.mid(i, 8).toUInt(nullptr, 2)));
    const int end = bytes.indexOf('\0');
    revealedBytes = end < 0 ? bytes : bytes.left(end);
    revealedText = decodeUtf8(revealedBytes);
    // Every body our layout writes is the UTF-8 form of a text, so anything else is no message.
    return !bitString.isEmpty() && bitString.size() % 8 == 0 && end < 0 &&
            HidingRules::isValidUtf8(bytes);
}

void CarrierImage::hideBits(int forceOpaque)
{
    const qint64 count = bitString.size();
    // Digit j goes to pixel j / 3 of the walk, channel j % 3 (red, green, blue). The pixel that
    // holds digit index count is rewritten too, with its unused low bits cleared.
    const qint64 rewritten = qMin(pixelCount(), count / 3 + 1);
    // The walk goes down the first column first, so the pixels to rewrite or restore lie in the
    // first rows, or in every row once it wraps; a save also filters the row after them anew.
    if (!ensureRows(int(qMin(qint64(height), qMax(rewritten, hiddenPixels) + 1))))
        return;
    for (qint64 index = loadedHead.size(); index < rewritten; ++index)
        loadedHead.append(walkPixel(index));
    for (qint64 index = 0; index < rewritten; ++index) {
        QRgb value = loadedHead.at(int(index)) & ~0x010101u;
        for (int channel = 0; channel < 3; ++channel) {
            const qint64 digit = index * 3 + channel;
            if (digit < count && bitString.at(int(digit)) == QLatin1Char('1'))
                value |= 0x10000u >> (8 * channel);
        }
        if (forceOpaque)
            value |= 0xFF000000u;
        setWalkPixel(index, value);
    }
    // Pixels that only an earlier, longer message rewrote get their loaded values back, so no
    // digit of it survives.
    for (qint64 index = rewritten; index < hiddenPixels; ++index)
        setWalkPixel(index, loadedHead.at(int(index)));
    hiddenPixels = rewritten;
}

QString CarrierImage::extractBits() const
{
    if (head) {
        CarrierImage whole(*this);
        whole.image = wholeImage();
        whole.head = nullptr;
        return whole.extractBits();
    }
    const qint64 positions = pixelCount() * 3;
    const auto digit = [this](qint64 index) {
        return (walkPixel(index / 3) >> (16 - 8 * (index % 3))) & 1;
    };
    if (positions < headerDigits)
        return QString();
    int count = 0;
    for (int index = 0; index < headerDigits; ++index)
        count = (count << 1) | int(digit(index));
    if (count == 0 || headerDigits + count > positions)
        return QString();
    QString body(count, QLatin1Char('0'));
    for (int index = 0; index < count; ++index) {
        if (digit(headerDigits + index))
            body[index] = QLatin1Char('1');
    }
    return body;
}

int CarrierImage::changedRows() const
{
    // A hide rewrites the first pixels of the walk, which goes down the first column first.
    return int(qMin(qint64(loadedHead.size()), qint64(height)));
}

qint64 CarrierImage::pixelCount() const
{
    return qint64(width) * height;
}

// The walk goes column by column from the left, each column from the top.
QRgb CarrierImage::walkPixel(qint64 index) const
{
    return image.pixel(int(index / height), int(index % height));
}

void CarrierImage::setWalkPixel(qint64 index, QRgb value)
{
    image.setPixel(int(index / height), int(index % height), value);
}

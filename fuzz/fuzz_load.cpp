#include "carrierimage.h"
#include "fuzzsupport.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QSize>
#include <QString>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdint>

namespace {

// A few bytes easily announce a legal picture of up to 16384 x 16384, which costs gigabytes and
// seconds to decode and teaches the fuzzer nothing; such inputs are skipped. Larger
// announcements still go through, to the guard that refuses them. The sides are read where the
// readers find them: in IHDR, in either BMP info-header layout, or by Qt's reader of the format.
bool announcesCostlyPicture(const uint8_t *data, size_t size)
{
    qint64 width = 0;
    qint64 height = 0;
    if (size >= 26 && data[0] == 0x89) {
        width = qFromBigEndian<quint32>(data + 16);
        height = qFromBigEndian<quint32>(data + 20);
    } else if (size >= 26 && data[0] == 'B' && data[1] == 'M') {
        const quint32 infoSize = qFromLittleEndian<quint32>(data + 14);
        const bool full = infoSize == 40 || infoSize == 64 || infoSize == 108 || infoSize == 124;
        width = full ? qFromLittleEndian<qint32>(data + 18) : qFromLittleEndian<qint16>(data + 18);
        height = full ? qFromLittleEndian<qint32>(data + 22) : qFromLittleEndian<qint16>(data + 20);
    } else {
        QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        const QSize announced = QImageReader(&buffer).size();
        width = announced.width();
        height = announced.height();
        // An icon's picture says its own size, which may exceed the directory's.
        if (size >= 22 + 12 && data[0] == 0 && data[1] == 0 && data[2] <= 2) {
            const quint32 offset = qFromLittleEndian<quint32>(data + 18);
            if (offset <= size - 12) {
                width = qMax(width, qint64(qAbs(qFromLittleEndian<qint32>(data + offset + 4))));
                height = qMax(height, qint64(qAbs(qFromLittleEndian<qint32>(data + offset + 8))));
            }
        }
    }
    width = qAbs(width);
    height = qAbs(height);
    return width <= CarrierImage::maxSide && height <= CarrierImage::maxSide &&
            width * height > 1024 * 1024;
}

// Hides a short message taken from the input, saves, loads the saved file again and checks that
// it holds the same pixels and reveals the same message.
void roundTrip(CarrierImage &picture, const uint8_t *data, size_t size, const QString &saved)
{
    const int length = int(qMin<qint64>(qint64(size), qMin(picture.getCapacity(), 24)));
    QString message;
    for (int i = 0; i < length; ++i)
        message += QLatin1Char(char('a' + data[i] % 26));
    picture.setMessageText(message);
    picture.textToBits();
    picture.hideBits(0);
    require(picture.saveImage(saved));

    CarrierImage reloaded;
    require(reloaded.load(saved) == CarrierImage::LoadResult::Loaded);
    require(samePixels(reloaded.getImage(), picture.getImage()));
    reloaded.setBitString(reloaded.extractBits());
    require(reloaded.bitsToText() == !message.isEmpty());
    require(reloaded.getRevealedText() == message);
}

} // namespace

// Loads the input, reveals, and round-trips pictures small enough to keep the runs fast. The
// loader tells the format from the content, so the file's name does not matter.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const bool quiet = (silenceQt(), true);
    Q_UNUSED(quiet);
    if (announcesCostlyPicture(data, size))
        return 0;
    const QString path = dir.filePath(QStringLiteral("input"));
    QFile file(path);
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    require(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    file.close();

    CarrierImage picture;
    if (picture.load(path) != CarrierImage::LoadResult::Loaded)
        return 0;
    require(!picture.getImage().isNull());
    picture.setBitString(picture.extractBits());
    picture.bitsToText();
    if (qint64(picture.getImage().width()) * picture.getImage().height() <= 256 * 256)
        roundTrip(picture, data, size, dir.filePath(QStringLiteral("saved.png")));
    return 0;
}

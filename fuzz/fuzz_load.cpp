#include "carrierimage.h"
#include "fuzzsupport.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QString>

#include <cstdint>

namespace {

// Hides a short message taken from the input, saves, loads the saved file again and checks that
// it holds the same pixels and reveals the same message.
void roundTrip(CarrierImage &picture, const uint8_t *data, size_t size, const QString &saved)
{
    const int length = int(qMin<qint64>(qint64(size), qMin(picture.getCapacity(), 24)));
    QString message;
    for (int i = 0; i < length; ++i)
        message += QLatin1Char(char('a' + data[i] % 26));
    picture.hideMessage(message.toUtf8(), false);
    require(picture.saveImage(saved));

    CarrierImage reloaded;
    require(reloaded.load(saved) == CarrierImage::LoadResult::Loaded);
    require(samePixels(reloaded.getImage(), picture.getImage()));
    require(reloaded.revealMessage() == !message.isEmpty());
    require(reloaded.getRevealedText() == message);
}

} // namespace

// Loads the input, reveals, and round-trips pictures small enough to keep the runs fast. The
// loader tells the format from the content, so the file's name does not matter.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (silenceQt(), true);
    Q_UNUSED(quiet);
    if (announcesCostlyPicture(data, size, CarrierImage::maxSide))
        return 0;
    const QString path = writeInput(data, size);

    CarrierImage picture;
    const CarrierImage::LoadResult result = picture.load(path);
    // The command line's hide loads only the head of a PNG; it must end with the same answer.
    CarrierImage head;
    head.load(path, CarrierImage::LoadDepth::Head);
    require(head.confirmLoad() == result);
    if (result != CarrierImage::LoadResult::Loaded)
        return 0;
    require(!picture.getImage().isNull());
    require(head.getImage() == picture.getImage());
    picture.revealMessage();
    if (qint64(picture.getImage().width()) * picture.getImage().height() <= 256 * 256)
        roundTrip(picture, data, size, QFileInfo(path).dir().filePath(QStringLiteral("saved.png")));
    return 0;
}

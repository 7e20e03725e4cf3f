#ifndef CARRIERIMAGE_H
#define CARRIERIMAGE_H

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QVector>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

#include <memory>

class HeldSource;
class PngHead;

// Holds the chosen picture and hides a message in, or reveals one from, the least significant
// bits of its red, green and blue channels.
class CarrierImage
{
public:
    // Unsupported: a picture format that is not read, since its reader is not trusted with
    // hostile files.
    enum class LoadResult { Loaded, Unreadable, TooLarge, Unsupported };

    // Larger pictures are refused before they are decoded.
    static constexpr int maxSide = 16384;
    // The 12-digit length header counts at most 4095 bits, so 511 whole bytes.
    static constexpr int maxMessageBytes = 511;

    // Whole: the picture is decoded. Head: where the file is a PNG whose save can carry its rows
    // over (see PngHead), only the rows a hide changes are decoded, as it needs them, and the rest
    // only if something asks for the whole picture; every answer is the same either way.
    enum class LoadDepth { Whole, Head };

    // The bytes a picture of that size carries.
    static int capacityFor(int width, int height);

    // With LoadDepth::Head, Loaded may still depend on a check of the file that goes on beside
    // the caller; confirmLoad gives the final answer.
    LoadResult load(const QString &path, LoadDepth depth = LoadDepth::Whole);
    // The full load's answer for the file last loaded, waiting for what a head-only load still
    // checks: Loaded, or why the file is not read (a picture loaded with LoadDepth::Head is then
    // dropped). A save gives the full load's file either way; an answer printed before this one
    // may have to give way to it.
    LoadResult confirmLoad();
    // Whether confirmLoad would answer without waiting.
    bool isLoadChecked() const;
    int getCapacity() const;
    void setMessageText(const QString &text);
    void setMessageBytes(const QByteArray &bytes);
    void setBitString(const QString &bits);
    QString getRevealedText() const;
    QByteArray getRevealedBytes() const;
    QImage getImage() const;
    bool saveImage(const QString &path) const;

    // The whole hide: the message's bytes into the picture, through setMessageBytes, textToBits
    // and hideBits. forceOpaque writes the message's pixels opaque, for a format that drops
    // transparency.
    void hideMessage(const QByteArray &bytes, bool forceOpaque);
    // The whole reveal, through extractBits, setBitString and bitsToText: whether the picture
    // holds a message, which getRevealedText and getRevealedBytes then give.
    bool revealMessage();

    void textToBits();
    bool bitsToText();
    void hideBits(int forceOpaque);
    QString extractBits() const;

private:
    LoadResult loadWhole(const QString &path);
    bool loadHead(const QString &path);
    // The picture with every row, where only the first are held; null if it cannot be decoded.
    QImage wholeImage() const;
    // Makes the first rows of the picture available to the walk.
    bool ensureRows(int rows);
    QRgb walkPixel(qint64 index) const;
    void setWalkPixel(qint64 index, QRgb value);
    qint64 pixelCount() const;
    // The rows from the top in which the picture may differ from its source.
    int changedRows() const;
    bool writePng(QIODevice *device) const;

    QImage image;
    int width = 0;
    int height = 0;
    int capacity = 0;
    QString bitString;
    QString revealedText;
    // What bitsToText read, up to any zero byte, exactly as stored.
    QByteArray revealedBytes;
    // The UTF-8 form of the message to hide.
    QByteArray messageBytes;
    // Loaded values of the first pixels of the walk, the only ones a hide can change, so that
    // every hide starts from the picture as it was loaded.
    QVector<QRgb> loadedHead;
    // How many pixels of the walk the last hide rewrote.
    qint64 hiddenPixels = 0;
    // The ancillary chunks of a PNG source that a saved PNG carries over, whole and in file order.
    QByteArray pngChunks;
    // A PNG source held open, whose compressed rows below the changed ones a save carries over.
    std::shared_ptr<const HeldSource> source;
    // A PNG of which image holds only the first rows.
    std::shared_ptr<const PngHead> head;
    // What the last load answered, or, if nothing was loaded, that nothing can be read.
    LoadResult lastLoad = LoadResult::Unreadable;
};

#endif // CARRIERIMAGE_H

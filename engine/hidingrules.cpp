#include "hidingrules.h"

#include "pictureformat.h"

#include <QFileInfo>
#include <QLatin1Char>
#include <QLatin1String>

namespace HidingRules {

bool keepsLowBits(const QString &suffix)
{
    const PictureFormat *format = PictureFormats::fromSuffix(suffix);
    return format && format->keepsLowBits();
}

QString outputName(const QString &fileName)
{
    if (!fileName.contains(QLatin1Char('.')))
        return fileName + QStringLiteral("_encrypt.") +
                PictureFormats::savedSuffixes().constFirst();
    const QString suffix = QFileInfo(fileName).completeSuffix();
    const QString base = fileName.left(fileName.size() - suffix.size() - 1);
    const int lastDot = suffix.lastIndexOf(QLatin1Char('.'));
    QString outputSuffix = suffix;
    if (!keepsLowBits(suffix.mid(lastDot + 1)))
        outputSuffix = suffix.left(lastDot + 1) + PictureFormats::savedSuffixes().constFirst();
    return base + QStringLiteral("_encrypt.") + outputSuffix;
}

bool writesOpaque(const QString &outputPath)
{
    const PictureFormat *format = PictureFormats::fromSuffix(QFileInfo(outputPath).suffix());
    return !format || !format->keepsLowBits() || format->writtenOpaque;
}

int byteCount(const QString &message)
{
    return message.toUtf8().size();
}

bool isValidUtf8(const QByteArray &bytes)
{
    const int size = bytes.size();
    int i = 0;
    while (i < size) {
        const uint lead = uchar(bytes.at(i));
        int extra = 0;
        uint codePoint = 0;
        uint minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            codePoint = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            codePoint = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            codePoint = lead & 0x07;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (size - i <= extra)
            return false;
        for (int k = 1; k <= extra; ++k) {
            const uint next = uchar(bytes.at(i + k));
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

bool cannotStartMessage(const QByteArray &bytes)
{
    if (bytes.contains('\0'))
        return true;
    // isValidUtf8 reads sequence after sequence from the start, so if no cut of the last bytes
    // leaves valid UTF-8, an earlier sequence is wrong, whatever follows.
    for (int cut = 0; cut <= qMin(3, bytes.size()); ++cut) {
        if (isValidUtf8(bytes.left(bytes.size() - cut)))
            return false;
    }
    return true;
}

MessageCheck checkMessage(const QByteArray &bytes, int capacity)
{
    // A header of 0 and a zero byte both read back as no message, so neither can be hidden.
    if (bytes.isEmpty())
        return MessageCheck::Empty;
    if (bytes.size() > capacity)
        return MessageCheck::TooLong;
    if (!isValidUtf8(bytes))
        return MessageCheck::NotUtf8;
    if (bytes.contains('\0'))
        return MessageCheck::HasZeroByte;
    return MessageCheck::Fits;
}

} // namespace HidingRules

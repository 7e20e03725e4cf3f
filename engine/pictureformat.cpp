#include "pictureformat.h"

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isPng(const QByteArray &start)
{
    return start.startsWith("\x89PNG\r\n\x1a\n");
}

bool isBmp(const QByteArray &start)
{
    return start.startsWith("BM");
}

bool isJpeg(const QByteArray &start)
{
    return start.startsWith("\xFF\xD8\xFF");
}

bool isGif(const QByteArray &start)
{
    return start.startsWith("GIF87a") || start.startsWith("GIF89a");
}

// P1 to P6, then white space or a comment.
bool isNetpbm(const QByteArray &start, char plain, char raw)
{
    return start.size() >= 3 && start.at(0) == 'P' &&
            (start.at(1) == plain || start.at(1) == raw) &&
            (isSpace(start.at(2)) || start.at(2) == '#');
}

bool isPbm(const QByteArray &start)
{
    return isNetpbm(start, '1', '4');
}

bool isPgm(const QByteArray &start)
{
    return isNetpbm(start, '2', '5');
}

bool isPpm(const QByteArray &start)
{
    return isNetpbm(start, '3', '6');
}

bool isXbm(const QByteArray &start)
{
    int i = 0;
    while (i < start.size() && isSpace(start.at(i)))
        ++i;
    return start.mid(i).startsWith("#define");
}

bool isXpm(const QByteArray &start)
{
    return start.startsWith("/* XPM */");
}

// Icons and cursors, with at least one picture.
bool isIcon(const QByteArray &start)
{
    return start.size() >= 6 && start.at(0) == 0 && start.at(1) == 0 &&
            (start.at(2) == 1 || start.at(2) == 2) && start.at(3) == 0 &&
            (start.at(4) != 0 || start.at(5) != 0);
}

using Decoder = PictureFormat::Decoder;
using Writer = PictureFormat::Writer;

// The table. Qt's BMP reader leaves pixels unwritten where run-length data skips them, hence the
// cleared picture; Qt's PNG reader is not used at all (see PngReader).
const PictureFormat formats[] = {
        {"PNG", "png", "png", Decoder::OurPng, Writer::OurPng, false, isPng},
        {"BMP", "bmp", "bmp", Decoder::QtIntoClearedPicture, Writer::Qt, true, isBmp},
        {"JPEG", "jpeg", "jpg jpeg jpe jfif", Decoder::Qt, Writer::None, false, isJpeg},
        {"GIF", "gif", "gif", Decoder::Qt, Writer::None, false, isGif},
        {"PBM", "pbm", "pbm", Decoder::Qt, Writer::None, false, isPbm},
        {"PGM", "pgm", "pgm", Decoder::Qt, Writer::None, false, isPgm},
        {"PPM", "ppm", "ppm", Decoder::Qt, Writer::None, false, isPpm},
        {"XBM", "xbm", "xbm", Decoder::Qt, Writer::None, false, isXbm},
        {"XPM", "xpm", "xpm", Decoder::Qt, Writer::None, false, isXpm},
        {"ICO", "ico", "ico cur", Decoder::Qt, Writer::None, false, isIcon},
};

QStringList suffixesOf(const PictureFormat &format)
{
    return QString::fromLatin1(format.suffixes).split(QLatin1Char(' '));
}

} // namespace

const PictureFormat *PictureFormats::fromContent(const QByteArray &start)
{
    for (const PictureFormat &format : formats) {
        if (format.matches(start))
            return &format;
    }
    return nullptr;
}

const PictureFormat *PictureFormats::fromQtName(const QByteArray &qtName)
{
    for (const PictureFormat &format : formats) {
        if (qtName == format.qtName)
            return &format;
    }
    return nullptr;
}

const PictureFormat *PictureFormats::fromSuffix(const QString &suffix)
{
    for (const PictureFormat &format : formats) {
        if (suffixesOf(format).contains(suffix, Qt::CaseInsensitive))
            return &format;
    }
    return nullptr;
}

QStringList PictureFormats::readNames()
{
    QStringList names;
    for (const PictureFormat &format : formats)
        names << QString::fromLatin1(format.name);
    return names;
}

QStringList PictureFormats::savedNames()
{
    QStringList names;
    for (const PictureFormat &format : formats) {
        if (format.keepsLowBits())
            names << QString::fromLatin1(format.name);
    }
    return names;
}

QStringList PictureFormats::savedSuffixes()
{
    QStringList suffixes;
    for (const PictureFormat &format : formats) {
        if (format.keepsLowBits())
            suffixes << suffixesOf(format).constFirst();
    }
    return suffixes;
}

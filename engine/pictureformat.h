#ifndef PICTUREFORMAT_H
#define PICTUREFORMAT_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// One row of the table of picture formats: how a file of the format is recognised, decoded and,
// where a hidden message survives in it, written. Everything that depends on a format asks here.
struct PictureFormat
{
    enum class Decoder {
        OurPng, // libpng, through PngReader
        QtIntoClearedPicture, // Qt's reader, into a picture cleared beforehand
        Qt // Qt's reader of qtName
    };
    enum class Writer {
        None, // the format would lose the low bits: never written
        OurPng, // PngWriter
        Qt // Qt's writer of qtName
    };

    // As users know it: "JPEG".
    const char *name;
    // Qt's name for the reader and writer: "jpeg".
    const char *qtName;
    // File name suffixes, lower case, space-separated, the usual one first.
    const char *suffixes;
    Decoder decoder;
    Writer writer;
    // Whether its writer drops transparency, so that a hide forces the message's pixels opaque.
    bool writtenOpaque;
    // Whether a file that starts with these bytes is of this format.
    bool (*matches)(const QByteArray &start);

    // A hide can be saved in it: its writer keeps every low bit.
    bool keepsLowBits() const { return writer != Writer::None; }
};

namespace PictureFormats {

// How many bytes from a file's start fromContent needs.
constexpr int signatureBytes = 64;

// The format a file is, from its first signatureBytes bytes; null if none of the table's.
const PictureFormat *fromContent(const QByteArray &start);

// The format Qt knows by that name; null if none of the table's.
const PictureFormat *fromQtName(const QByteArray &qtName);

// The format a file name's suffix names; null if none of the table's.
const PictureFormat *fromSuffix(const QString &suffix);

// The formats read, by their names: "PNG", "BMP", "JPEG", ….
QStringList readNames();

// The formats a hide is saved in, by their names and by their usual suffixes.
QStringList savedNames();
QStringList savedSuffixes();

} // namespace PictureFormats

#endif // PICTUREFORMAT_H

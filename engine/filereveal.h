#ifndef FILEREVEAL_H
#define FILEREVEAL_H

#include "carrierimage.h"

#include <QByteArray>
#include <QString>

// Reveals the message a picture file holds, decoding only the pixels that hold it where the file
// allows that exactly, and loading the whole picture otherwise; either way the answer is the one
// CarrierImage::load and extractBits give.
class FileReveal
{
public:
    // Which way the last read went.
    enum class Path { Partial, Whole };

    CarrierImage::LoadResult read(const QString &path);
    int getWidth() const;
    int getHeight() const;
    int getCapacity() const;
    // Whether the picture holds a message; only after a read that loaded it.
    bool hasMessage() const;
    // The message; only where there is one.
    QString getRevealedText() const;
    QByteArray getRevealedBytes() const;
    Path getPath() const;

private:
    CarrierImage::LoadResult readWhole(const QString &path);
    void reveal(const QString &bits);

    int width = 0;
    int height = 0;
    int capacity = 0;
    bool found = false;
    QString revealedText;
    QByteArray revealedBytes;
    Path pathTaken = Path::Whole;
};

#endif // FILEREVEAL_H

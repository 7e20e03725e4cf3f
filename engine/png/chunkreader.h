#ifndef CHUNKREADER_H
#define CHUNKREADER_H

#include <QByteArray>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

// Walks the chunks of a PNG file one head at a time, seeking over their data unless asked for it:
// the guard that checks lengths, the carrying over of metadata and the check of what a partial
// read left unread all read chunks through it.
class ChunkReader
{
public:
    struct Chunk
    {
        QByteArray type;
        qint64 length = 0;
        // Where the chunk starts: its length field.
        qint64 start = 0;
    };

    // Starts after the signature of the file in device.
    explicit ChunkReader(QIODevice *device);

    // The head of the next chunk. False when the file ends between chunks (atEnd() is then true)
    // or when the head is cut short, or the length exceeds 2^31 - 1 or runs past the file's end.
    bool next(Chunk *chunk);
    bool atEnd() const;

    // The whole chunk as the file holds it (length, type, data, CRC); false if it cannot be read
    // or its CRC does not match.
    bool readWhole(const Chunk &chunk, QByteArray *whole);

    // Whether the chunk's CRC matches, reading its data in pieces without keeping it.
    bool crcMatches(const Chunk &chunk);

private:
    QIODevice *device;
    qint64 position;
    bool ended = false;
};

#endif // CHUNKREADER_H

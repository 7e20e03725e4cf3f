#include "chunkreader.h"

#include <QIODevice>
#include <QtEndian>

#include <zlib.h>

#include <vector>

namespace {

constexpr qint64 signatureSize = 8;
constexpr qint64 headSize = 8; // length and type
constexpr qint64 crcSize = 4;

} // namespace

ChunkReader::ChunkReader(QIODevice *device) : device(device), position(signatureSize) { }

bool ChunkReader::next(Chunk *chunk)
{
    ended = false;
    if (!device->seek(position))
        return false;
    char head[headSize];
    const qint64 got = device->read(head, headSize);
    if (got != headSize) {
        ended = got == 0;
        return false;
    }
    chunk->length = qFromBigEndian<quint32>(head);
    chunk->type = QByteArray(head + 4, 4);
    chunk->start = position;
    const qint64 end = position + headSize + chunk->length + crcSize;
    if (chunk->length > 0x7FFFFFFF || end > device->size())
        return false;
    position = end;
    return true;
}

bool ChunkReader::atEnd() const
{
    return ended;
}

bool ChunkReader::readWhole(const Chunk &chunk, QByteArray *whole)
{
    if (!device->seek(chunk.start))
        return false;
    *whole = device->read(headSize + chunk.length + crcSize);
    if (whole->size() != headSize + chunk.length + crcSize)
        return false;
    // The CRC covers the type and the data.
    const auto *bytes = reinterpret_cast<const Bytef *>(whole->constData());
    const uLong crc = crc32(crc32(0, nullptr, 0), bytes + 4, uInt(4 + chunk.length));
    return quint32(crc) == qFromBigEndian<quint32>(bytes + headSize + chunk.length);
}

bool ChunkReader::crcMatches(const Chunk &chunk)
{
    if (!device->seek(chunk.start + 4))
        return false;
    std::vector<char> piece(size_t(qMin<qint64>(4 + chunk.length, 1 << 20)));
    uLong crc = crc32(0, nullptr, 0);
    for (qint64 left = 4 + chunk.length; left > 0;) {
        const qint64 size = qMin(left, qint64(piece.size()));
        if (device->read(piece.data(), size) != size)
            return false;
        crc = crc32(crc, reinterpret_cast<const Bytef *>(piece.data()), uInt(size));
        left -= size;
    }
    char stored[crcSize];
    return device->read(stored, crcSize) == crcSize &&
            quint32(crc) == qFromBigEndian<quint32>(stored);
}

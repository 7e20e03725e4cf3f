#include "fuzzsupport.h"

#include <QtEndian>

#include <zlib.h>

#include <cstdlib>

void require(bool property)
{
    if (!property)
        std::abort();
}

void silenceQt()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

bool samePixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return false;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y))
                return false;
        }
    }
    return true;
}

QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    const QByteArray typeAndData = type + data;
    uchar length[4];
    uchar crc[4];
    qToBigEndian<quint32>(quint32(data.size()), length);
    qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(typeAndData.constData()),
                                        uInt(typeAndData.size()))),
                          crc);
    return QByteArray(reinterpret_cast<const char *>(length), 4) + typeAndData +
            QByteArray(reinterpret_cast<const char *>(crc), 4);
}

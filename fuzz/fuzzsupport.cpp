#include "fuzzsupport.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QImageReader>
#include <QSize>
#include <QtEndian>

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

QString writeInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("input"));
    QFile file(path);
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    require(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    return path;
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

// A few bytes easily announce a legal picture of up to 16384 x 16384, which costs gigabytes and
// seconds to decode and teaches the fuzzer nothing; such inputs are skipped. Larger
// announcements still go through, to the guard that refuses them. The sides are read where the
// readers find them: in IHDR, in either BMP info-header layout, or by Qt's reader of the format.
bool announcesCostlyPicture(const uint8_t *data, size_t size, int maxSide)
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
                width = qMax(width, qAbs(qint64(qFromLittleEndian<qint32>(data + offset + 4))));
                height = qMax(height, qAbs(qint64(qFromLittleEndian<qint32>(data + offset + 8))));
            }
        }
    }
    width = qAbs(width);
    height = qAbs(height);
    return width <= maxSide && height <= maxSide && width * height > 1024 * 1024;
}

#include "pngsave.h"

#include "carrierimage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

const QString message = QStringLiteral("The quick brown fox jumps over the lazy dog.");

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Starts a new peak of resident memory for this process; false where the kernel cannot.
bool resetPeakMemory()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

// Peak resident memory in bytes since start or the last reset, or -1 if unknown.
qint64 peakMemory()
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

bool hideAndSave(const QString &source, const QString &target, qint64 *decodedBytes)
{
    CarrierImage picture;
    if (picture.load(source) != CarrierImage::LoadResult::Loaded)
        return false;
    if (decodedBytes)
        *decodedBytes = picture.getImage().sizeInBytes();
    picture.setMessageText(message);
    picture.textToBits();
    picture.hideBits(0);
    return picture.saveImage(target);
}

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / 1e6, 'f', 2) + QStringLiteral(" MB");
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("missed");
}

} // namespace

int runSaveComparison(const QString &picturePath, int runs)
{
    QTextStream out(stdout);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString ours = dir.filePath(QStringLiteral("ours.png"));
    const QString theirs = dir.filePath(QStringLiteral("qt.png"));

    // Memory first, before the timing runs raise the peak.
    const bool peakKnown = resetPeakMemory();
    qint64 decodedBytes = 0;
    if (!hideAndSave(picturePath, ours, &decodedBytes)) {
        out << "save comparison: cannot load or save " << picturePath << Qt::endl;
        return 1;
    }
    const qint64 peak = peakKnown ? peakMemory() : -1;

    CarrierImage picture;
    picture.load(picturePath);
    picture.setMessageText(message);
    picture.textToBits();
    picture.hideBits(0);
    const QImage hidden = picture.getImage();

    std::vector<double> ourTimes;
    std::vector<double> qtTimes;
    QElapsedTimer timer;
    for (int run = 0; run < runs; ++run) {
        timer.start();
        if (!picture.saveImage(ours))
            return 1;
        ourTimes.push_back(timer.nsecsElapsed() / 1e9);
        timer.start();
        if (!hidden.save(theirs))
            return 1;
        qtTimes.push_back(timer.nsecsElapsed() / 1e9);
    }
    const qint64 ourSize = QFileInfo(ours).size();
    const qint64 qtSize = QFileInfo(theirs).size();

    // The speed is worth nothing unless the pixels and the message come back.
    const QImage ourPixels = QImage(ours).convertToFormat(hidden.format());
    const bool samePixels = ourPixels == hidden;
    CarrierImage reloaded;
    reloaded.load(ours);
    reloaded.setBitString(reloaded.extractBits());
    const bool revealed = reloaded.bitsToText() && reloaded.getRevealedText() == message;

    const double ourTime = median(ourTimes);
    const double qtTime = median(qtTimes);
    out << "PNG save of " << QFileInfo(picturePath).fileName() << ", " << hidden.width() << " x "
        << hidden.height() << (hidden.hasAlphaChannel() ? " RGBA" : " RGB") << ", median of "
        << runs << " runs" << Qt::endl;
    out << "| writer | time | file |" << Qt::endl;
    out << "|---|---|---|" << Qt::endl;
    out << "| QImage::save, PNG, default quality | " << QString::number(qtTime, 'f', 3) << " s | "
        << megabytes(qtSize) << " (" << qtSize << " bytes) |" << Qt::endl;
    out << "| CarrierImage::saveImage | " << QString::number(ourTime, 'f', 3) << " s | "
        << megabytes(ourSize) << " (" << ourSize << " bytes) |" << Qt::endl;
    out << "speed-up: " << QString::number(qtTime / ourTime, 'f', 2) << " x" << Qt::endl;
    out << "decoded picture: " << megabytes(decodedBytes) << ", peak resident memory of load + hide"
        << " + save: " << (peak < 0 ? QStringLiteral("unknown") : megabytes(peak)) << Qt::endl;
    out << "pixels identical to the hidden picture: " << (samePixels ? "yes" : "NO") << Qt::endl;
    out << "message revealed from the saved file: " << (revealed ? "yes" : "NO") << Qt::endl;
    out << "target PNG save >= 3 x faster than Qt: " << verdict(ourTime * 3 <= qtTime) << Qt::endl;
    out << "target PNG file no larger than Qt's: " << verdict(ourSize <= qtSize) << Qt::endl;
    out << "target peak memory of load + hide + save <= 2.5 x decoded picture: "
        << verdict(peak >= 0 && peak * 2 <= decodedBytes * 5) << Qt::endl;
    return samePixels && revealed ? 0 : 1;
}

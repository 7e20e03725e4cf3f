// Measures how loading, hiding, extracting and saving scale with the picture's size, and
// checks the engine's speed and memory targets.

#include "carrierimage.h"
#include "filereveal.h"
#include "fixtures.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileInfoList>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QSaveFile>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <unistd.h>

namespace {

struct Size
{
    int width;
    int height;
};

struct Row
{
    double fileMegabytes = 0;
    double decode = 0;
    double hide = 0;
    double extract = 0;
    double pngEncode = 0;
    double bmpEncode = 0;
};

struct Scaling
{
    double hideSmall;
    double hideLarge;
    double extractSmall;
    double extractLarge;
};

struct PeakMemory
{
    qint64 peakKib;
    qint64 baselineKib;
};

struct Overhead
{
    double withCarrier;
    double plain;
    double plainAtomic;
};

// Hide and extract take microseconds, so each sample times many calls, and there are more
// samples than runs of the slow steps.
constexpr int callsPerSample = 200;
constexpr int samplesPerCall = 11;

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

double milliseconds(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e6;
}

double medianMilliseconds(int runs, const std::function<void()> &work)
{
    QVector<double> times;
    for (int run = 0; run < runs; ++run)
        times.append(milliseconds(work));
    return median(times);
}

// The time of one call, from a sample of many calls.
double perCall(const std::function<void()> &call)
{
    return milliseconds([&call] {
               for (int index = 0; index < callsPerSample; ++index)
                   call();
           }) /
            callsPerSample;
}

// Runs the variants in rounds, each round starting with the next variant (A B, B A, …), so
// that a change in the machine's load or a cache warmed by the previous run favours none, after
// one untimed round. Returns each variant's median time.
QVector<double> interleavedMedians(int rounds, const QVector<std::function<double()>> &variants)
{
    for (const auto &variant : variants)
        variant();
    QVector<QVector<double>> times(variants.size());
    for (int round = 0; round < rounds; ++round) {
        for (int step = 0; step < variants.size(); ++step) {
            const int index = (round + step) % variants.size();
            times[index].append(variants.at(index)());
        }
    }
    QVector<double> medians;
    for (const QVector<double> &variantTimes : qAsConst(times))
        medians.append(median(variantTimes));
    return medians;
}

QString sizeName(const Size &size)
{
    return QStringLiteral("%1x%2").arg(size.width).arg(size.height);
}

QString message511Bytes()
{
    const QString sentence = QStringLiteral("Pack my box with five dozen liquor jugs. ");
    return sentence.repeated(511 / sentence.size() + 1).left(511);
}

void hideMessage(CarrierImage &carrier, const QString &message)
{
    carrier.hideMessage(message.toUtf8(), false);
}

// Checks the result so that the call cannot be optimised away and a broken extraction shows.
void extractMessage(const CarrierImage &carrier)
{
    if (carrier.extractBits().size() != 511 * 8)
        qFatal("extractBits returned a wrong length");
}

// A field of /proc/self/status, in KiB.
qint64 statusKib(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Child mode: load, hide and save once in a fresh process, so that nothing the parent
// allocated counts, and print the growth of resident memory over its state before loading.
int reportPeakMemory(const QString &source, const QString &target)
{
    const qint64 baseline = statusKib("VmRSS");
    CarrierImage carrier;
    if (carrier.load(source) != CarrierImage::LoadResult::Loaded)
        return 1;
    hideMessage(carrier, message511Bytes());
    if (!carrier.saveImage(target))
        return 1;
    std::printf("%lld %lld\n", statusKib("VmHWM"), baseline);
    return 0;
}

Row measureSize(const QTemporaryDir &dir, const Size &size, int runs, const QString &message)
{
    Row row;
    const QString stem = dir.filePath(QStringLiteral("photo-") + sizeName(size));
    const QString png = stem + QStringLiteral(".png");
    photoLikeImage(QSize(size.width, size.height)).save(png);
    row.fileMegabytes = QFileInfo(png).size() / 1e6;

    CarrierImage carrier;
    row.decode = medianMilliseconds(runs, [&] { carrier.load(png); });
    row.hide = interleavedMedians(samplesPerCall, {[&] {
                                      return perCall([&] { hideMessage(carrier, message); });
                                  }})
                       .first();

    // A wrong round trip would make every figure meaningless.
    if (!carrier.revealMessage() || carrier.getRevealedText() != message)
        qFatal("%s: the hidden message did not read back", qPrintable(sizeName(size)));
    row.extract = interleavedMedians(samplesPerCall, {[&] {
                                         return perCall([&] { extractMessage(carrier); });
                                     }})
                          .first();

    row.pngEncode =
            medianMilliseconds(runs, [&] { carrier.saveImage(stem + QStringLiteral("-out.png")); });
    row.bmpEncode =
            medianMilliseconds(runs, [&] { carrier.saveImage(stem + QStringLiteral("-out.bmp")); });
    QFile::remove(stem + QStringLiteral("-out.png"));
    QFile::remove(stem + QStringLiteral("-out.bmp"));
    return row;
}

// Hide and extract in the smallest and the largest picture, alternated, so that the ratio does
// not depend on what else the machine did while each row of the table was measured.
Scaling measureScaling(const QString &smallPng, const QString &largePng, int rounds,
                       const QString &message)
{
    CarrierImage small;
    CarrierImage large;
    if (small.load(smallPng) != CarrierImage::LoadResult::Loaded ||
        large.load(largePng) != CarrierImage::LoadResult::Loaded)
        qFatal("the pictures for the scaling figures did not load");
    const QVector<double> hide =
            interleavedMedians(rounds,
                               {[&] { return perCall([&] { hideMessage(small, message); }); },
                                [&] {
                                    return perCall([&] { hideMessage(large, message); });
                                }});
    const QVector<double> extract =
            interleavedMedians(rounds,
                               {[&] { return perCall([&] { extractMessage(small); }); },
                                [&] {
                                    return perCall([&] { extractMessage(large); });
                                }});
    return {hide.at(0), hide.at(1), extract.at(0), extract.at(1)};
}

// Load, hide and save through CarrierImage against a plain QImage load and save of the same
// file; and, to tell the two apart, a plain load and save through QSaveFile, which syncs the
// file to disk at commit as CarrierImage::saveImage does and QImage::save does not.
Overhead measureOverhead(const QString &png, int rounds, const QString &message)
{
    const QString carrierOut = png + QStringLiteral("-carrier.png");
    const QString plainOut = png + QStringLiteral("-plain.png");
    const QString atomicOut = png + QStringLiteral("-atomic.png");
    // Data of the earlier pictures still waiting to be written back would otherwise be flushed
    // by the first sync at commit, and charged to it.
    ::sync();
    const QVector<double> medians =
            interleavedMedians(rounds,
                               {[&] {
                                    return milliseconds([&] {
                                        CarrierImage carrier;
                                        carrier.load(png);
                                        hideMessage(carrier, message);
                                        carrier.saveImage(carrierOut);
                                    });
                                },
                                [&] {
                                    return milliseconds([&] {
                                        QImage image;
                                        QImageReader(png).read(&image);
                                        image.save(plainOut);
                                    });
                                },
                                [&] {
                                    return milliseconds([&] {
                                        QImage image;
                                        QImageReader(png).read(&image);
                                        QSaveFile file(atomicOut);
                                        file.open(QIODevice::WriteOnly);
                                        QImageWriter(&file, "png").write(image);
                                        file.commit();
                                    });
                                }});
    QFile::remove(carrierOut);
    QFile::remove(plainOut);
    QFile::remove(atomicOut);
    return {medians.at(0), medians.at(1), medians.at(2)};
}

// Load, hide and save in a fresh process, so that nothing this one allocated counts. Returns the
// child's peak resident memory and its resident memory before loading.
PeakMemory measurePeakMemory(const QString &png, const QString &out)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--peak-rss"), png, out});
    child.waitForFinished(-1);
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0 || fields.size() != 2)
        qFatal("the memory measurement failed");
    return {fields.at(0).toLongLong(), fields.at(1).toLongLong()};
}

enum class Bound { AtMost, AtLeast };

void printTarget(const char *name, double figure, double limit, Bound bound = Bound::AtMost)
{
    const bool met = bound == Bound::AtMost ? figure <= limit : figure >= limit;
    std::printf("target %s: %s (%.3f, target %s %.2f)\n", name, met ? "met" : "missed", figure,
                bound == Bound::AtMost ? "<=" : ">=", limit);
}

// Growth of resident memory against the decoded picture's 4 bytes per pixel.
double peakMemoryRatio(const PeakMemory &memory, const QSize &size)
{
    return (memory.peakKib - memory.baselineKib) * 1024.0 / (4.0 * size.width() * size.height());
}

struct SaveComparison
{
    QSize size;
    bool alpha = false;
    double qtMs = 0;
    double ourMs = 0;
    qint64 qtBytes = 0;
    qint64 ourBytes = 0;
    bool samePixels = false;
    bool revealed = false;
    double memoryRatio = 0;

    double speedUp() const { return qtMs / ourMs; }
    double sizeRatio() const { return double(ourBytes) / qtBytes; }
};

// Our PNG save against Qt's default PNG writer on the same hidden picture, alternated, with the
// checks without which the figures would be worth nothing: the same pixels, the message back.
// A BMP source is compared the same way: it is saved as PNG by both.
bool compareSaves(const QString &source, int rounds, SaveComparison *result)
{
    QTemporaryDir dir;
    CarrierImage carrier;
    if (!dir.isValid() || carrier.load(source) != CarrierImage::LoadResult::Loaded) {
        std::fprintf(stderr, "cannot load %s\n", qPrintable(source));
        return false;
    }
    const QString message = message511Bytes().left(carrier.getCapacity());
    hideMessage(carrier, message);
    const QImage hidden = carrier.getImage();
    const QString ours = dir.filePath(QStringLiteral("ours.png"));
    const QString theirs = dir.filePath(QStringLiteral("qt.png"));
    // CarrierImage::saveImage syncs at commit; data of earlier files still waiting to be written
    // back would be charged to it.
    ::sync();
    const QVector<double> medians =
            interleavedMedians(rounds,
                               {[&] { return milliseconds([&] { carrier.saveImage(ours); }); },
                                [&] {
                                    return milliseconds([&] { hidden.save(theirs); });
                                }});
    result->size = hidden.size();
    result->alpha = hidden.hasAlphaChannel();
    result->ourMs = medians.at(0);
    result->qtMs = medians.at(1);
    result->ourBytes = QFileInfo(ours).size();
    result->qtBytes = QFileInfo(theirs).size();

    CarrierImage reloaded;
    result->samePixels = reloaded.load(ours) == CarrierImage::LoadResult::Loaded &&
            reloaded.getImage().convertToFormat(hidden.format()) == hidden;
    result->revealed = reloaded.revealMessage() && reloaded.getRevealedText() == message;
    result->memoryRatio = peakMemoryRatio(
            measurePeakMemory(source, dir.filePath(QStringLiteral("peak.png"))), hidden.size());
    return true;
}

int reportSave(const QString &source, int rounds)
{
    SaveComparison save;
    if (!compareSaves(source, rounds, &save))
        return 1;
    std::printf("PNG save of %s, %d x %d %s, medians of %d alternated rounds:\n"
                "  QImage::save, default quality  %9.1f ms  %11lld bytes\n"
                "  CarrierImage::saveImage        %9.1f ms  %11lld bytes\n"
                "  pixels identical: %s, message revealed: %s\n",
                qPrintable(QFileInfo(source).fileName()), save.size.width(), save.size.height(),
                save.alpha ? "RGBA" : "RGB", rounds, save.qtMs, save.qtBytes, save.ourMs,
                save.ourBytes, save.samePixels ? "yes" : "NO", save.revealed ? "yes" : "NO");
    printTarget("png-save-time-against-qt", save.ourMs / save.qtMs, 1 / 3.0);
    printTarget("png-file-size-against-qt", save.sizeRatio(), 1);
    printTarget("png-save-peak-memory", save.memoryRatio, 2.5);
    return save.samePixels && save.revealed ? 0 : 1;
}

// The save comparison on every PNG and BMP in folder. Pictures named photo-* are photographs,
// drawn-* drawings; each kind has its own speed target.
int reportCorpus(const QString &folder, int rounds)
{
    const QFileInfoList files = QDir(folder).entryInfoList(
            {QStringLiteral("*.png"), QStringLiteral("*.bmp")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no PNG or BMP files in %s\n", qPrintable(folder));
        return 1;
    }
    std::printf("PNG save of each picture in %s against QImage::save at default quality, medians "
                "of %d alternated rounds; memory: peak growth of a fresh process that loads, "
                "hides and saves, over the decoded picture.\n\n",
                qPrintable(folder), rounds);
    std::printf("%-30s %6s %9s %9s %8s %11s %11s %7s %6s %7s\n", "picture", "MP", "Qt ms",
                "ours ms", "speed-up", "Qt bytes", "our bytes", "size", "memory", "checks");
    QVector<double> photoSpeedUps;
    QVector<double> drawnSpeedUps;
    double largestSize = 0;
    double largestMemory = 0;
    bool allChecked = true;
    for (const QFileInfo &file : files) {
        SaveComparison save;
        const bool compared = compareSaves(file.filePath(), rounds, &save);
        const bool checked = compared && save.samePixels && save.revealed;
        allChecked = allChecked && checked;
        if (!compared)
            continue;
        std::printf("%-30s %6.1f %9.1f %9.1f %7.2fx %11lld %11lld %7.4f %5.2fx %7s\n",
                    qPrintable(file.fileName()),
                    save.size.width() * double(save.size.height()) / 1e6, save.qtMs, save.ourMs,
                    save.speedUp(), save.qtBytes, save.ourBytes, save.sizeRatio(), save.memoryRatio,
                    checked ? "ok" : "FAILED");
        std::fflush(stdout);
        if (file.fileName().startsWith(QLatin1String("photo-")))
            photoSpeedUps.append(save.speedUp());
        else if (file.fileName().startsWith(QLatin1String("drawn-")))
            drawnSpeedUps.append(save.speedUp());
        largestSize = std::max(largestSize, save.sizeRatio());
        largestMemory = std::max(largestMemory, save.memoryRatio);
    }
    std::printf("\n");
    if (!photoSpeedUps.isEmpty()) {
        printTarget("photo-median-speed-up", median(photoSpeedUps), 3, Bound::AtLeast);
        printTarget("photo-slowest-speed-up",
                    *std::min_element(photoSpeedUps.begin(), photoSpeedUps.end()), 1.7,
                    Bound::AtLeast);
    }
    if (!drawnSpeedUps.isEmpty())
        printTarget("drawn-slowest-speed-up",
                    *std::min_element(drawnSpeedUps.begin(), drawnSpeedUps.end()), 2,
                    Bound::AtLeast);
    printTarget("largest-file-size-against-qt", largestSize, 1);
    printTarget("largest-peak-memory", largestMemory, 2.5);
    std::printf("target pixels-and-message: %s\n", allChecked ? "met" : "missed");
    return allChecked ? 0 : 1;
}

// Child mode: reveal once in a fresh process and print its peak resident memory, in KiB.
int reportRevealMemory(const QString &picture)
{
    FileReveal reveal;
    if (reveal.read(picture) != CarrierImage::LoadResult::Loaded)
        return 1;
    std::printf("%lld\n", statusKib("VmHWM"));
    return 0;
}

qint64 measureRevealMemory(const QString &picture)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--peak-reveal"), picture});
    child.waitForFinished(-1);
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        qFatal("the reveal memory measurement failed");
    return child.readAllStandardOutput().trimmed().toLongLong();
}

// The reveal that reads only the rows holding the message against the whole load and extract, on
// the photographs of at least 13 MP in folder, with no message and with messages of 10, 100 and
// (for information) 511 bytes, alternated in rounds; each answer is checked against the other.
int reportReveal(const QString &folder, int rounds)
{
    QTemporaryDir dir;
    const QFileInfoList files =
            QDir(folder).entryInfoList({QStringLiteral("photo-*.png")}, QDir::Files, QDir::Name);
    std::printf("Reveal from a file, photographs of at least 13 MP in %s, medians of %d alternated "
                "rounds: whole = CarrierImage::load + extractBits + bitsToText, partial = "
                "FileReveal::read; memory: peak resident memory of a fresh process that reveals "
                "partially.\n\n",
                qPrintable(folder), rounds);
    std::printf("%-30s %6s %8s %9s %9s %7s %8s %7s\n", "picture", "MP", "message", "whole ms",
                "part ms", "ratio", "peak MiB", "checks");
    double worstRatio = 0;
    double largestPeak = 0;
    qint64 largestPixels = 0;
    bool allChecked = true;
    for (const QFileInfo &file : files) {
        const QSize size = QImageReader(file.filePath()).size();
        const qint64 pixels = qint64(size.width()) * size.height();
        if (pixels < 13000000)
            continue;
        for (const int bytes : {0, 10, 100, 511}) {
            QString picture = file.filePath();
            const QString message = message511Bytes().left(bytes);
            if (bytes > 0) {
                CarrierImage carrier;
                picture = dir.filePath(QStringLiteral("%1-%2.png").arg(file.baseName()).arg(bytes));
                if (carrier.load(file.filePath()) != CarrierImage::LoadResult::Loaded)
                    qFatal("cannot load %s", qPrintable(file.filePath()));
                hideMessage(carrier, message);
                if (!carrier.saveImage(picture))
                    qFatal("cannot save %s", qPrintable(picture));
            }
            CarrierImage whole;
            FileReveal partial;
            const QVector<double> medians =
                    interleavedMedians(rounds,
                                       {[&] {
                                            return milliseconds([&] {
                                                whole.load(picture);
                                                whole.revealMessage();
                                            });
                                        },
                                        [&] {
                                            return milliseconds([&] { partial.read(picture); });
                                        }});
            const bool checked = partial.getPath() == FileReveal::Path::Partial &&
                    partial.hasMessage() == (bytes > 0) && whole.revealMessage() == (bytes > 0) &&
                    (bytes == 0 || partial.getRevealedText() == message) &&
                    partial.getCapacity() == whole.getCapacity();
            const double peak = measureRevealMemory(picture) / 1024.0;
            const double ratio = medians.at(1) / medians.at(0);
            std::printf("%-30s %6.1f %8d %9.1f %9.1f %7.3f %8.1f %7s\n",
                        qPrintable(file.fileName()), pixels / 1e6, bytes, medians.at(0),
                        medians.at(1), ratio, peak, checked ? "ok" : "FAILED");
            std::fflush(stdout);
            allChecked = allChecked && checked;
            if (bytes <= 100)
                worstRatio = std::max(worstRatio, ratio);
            if (pixels >= largestPixels) {
                largestPeak = pixels > largestPixels ? peak : std::max(largestPeak, peak);
                largestPixels = pixels;
            }
            if (bytes > 0)
                QFile::remove(picture);
        }
    }
    if (largestPixels == 0) {
        std::fprintf(stderr, "no PNG photographs (photo-*.png) of at least 13 MP in %s\n",
                     qPrintable(folder));
        return 1;
    }
    std::printf("\n");
    printTarget("reveal-time-against-whole", worstRatio, 0.1);
    printTarget("reveal-peak-memory-mib", largestPeak, 32);
    std::printf("target reveal-answers: %s\n", allChecked ? "met" : "missed");
    return allChecked ? 0 : 1;
}

// Leaves the file's contents alone but not its modification time, so that a picture loaded from
// it is no longer provably its source and the save falls back to the full writer.
void touch(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) ||
        !file.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                          QFileDevice::FileModificationTime))
        qFatal("cannot change the modification time of %s", qPrintable(path));
}

// The save that splices the source's compressed rows against the full save of the same build,
// on photographs of at least 13 MP: the window's save after a hide, and the command line's hide
// (load, hide, save). The full save is the same CarrierImage whose source file has been touched.
int reportSplice(const QString &folder, int rounds)
{
    QTemporaryDir dir;
    const QFileInfoList files =
            QDir(folder).entryInfoList({QStringLiteral("photo-*.png")}, QDir::Files, QDir::Name);
    std::printf("Save by splicing against the full save, photographs of at least 13 MP in %s, "
                "medians of %d alternated rounds. window: saveImage after a hide; cli: load of the "
                "head only + hide + saveImage, against the whole load + hide + full save. Bytes: "
                "Qt = QImage::save, full, spliced in the window, spliced by the cli; size: the "
                "larger spliced against Qt.\n\n",
                qPrintable(folder), rounds);
    std::printf("%-26s %5s %4s %8s %8s %6s %8s %8s %6s %10s %10s %10s %10s %7s %7s %6s\n",
                "picture", "MP", "msg", "full ms", "splc ms", "ratio", "cli full", "cli fast",
                "ratio", "Qt bytes", "full bytes", "splc bytes", "cli bytes", "size", "spliced",
                "checks");
    double worstWindow = 0;
    double worstCli = 0;
    double largestSize = 0;
    bool allChecked = true;
    for (const QFileInfo &file : files) {
        QImageReader reader(file.filePath());
        const QSize size = reader.size();
        if (qint64(size.width()) * size.height() < 13000000)
            continue;
        const QString held = dir.filePath(QStringLiteral("held.png"));
        const QString touched = dir.filePath(QStringLiteral("touched.png"));
        QFile::remove(held);
        QFile::remove(touched);
        if (!QFile::copy(file.filePath(), held) || !QFile::copy(file.filePath(), touched))
            qFatal("cannot copy %s", qPrintable(file.filePath()));
        for (const int bytes : {10, 100, 511}) {
            const QString message = message511Bytes().left(bytes);
            const QString spliced = dir.filePath(QStringLiteral("spliced.png"));
            const QString full = dir.filePath(QStringLiteral("full.png"));
            CarrierImage fast;
            CarrierImage slow;
            if (fast.load(held) != CarrierImage::LoadResult::Loaded ||
                slow.load(touched) != CarrierImage::LoadResult::Loaded)
                qFatal("cannot load %s", qPrintable(file.filePath()));
            touch(touched);
            hideMessage(fast, message);
            hideMessage(slow, message);
            ::sync();
            const QVector<double> window = interleavedMedians(
                    rounds,
                    {[&] { return milliseconds([&] { fast.saveImage(spliced); }); },
                     [&] {
                         return milliseconds([&] { slow.saveImage(full); });
                     }});
            const QString fromCli = dir.filePath(QStringLiteral("cli.png"));
            const QVector<double> cli =
                    interleavedMedians(rounds,
                                       {[&] {
                                            return milliseconds([&] {
                                                CarrierImage picture;
                                                picture.load(held, CarrierImage::LoadDepth::Head);
                                                hideMessage(picture, message);
                                                picture.saveImage(fromCli);
                                            });
                                        },
                                        [&] {
                                            return milliseconds([&] {
                                                CarrierImage picture;
                                                picture.load(touched);
                                                touch(touched);
                                                hideMessage(picture, message);
                                                picture.saveImage(full);
                                            });
                                        }});
            const QString theirs = dir.filePath(QStringLiteral("qt.png"));
            fast.getImage().save(theirs);
            const qint64 qtBytes = QFileInfo(theirs).size();
            const qint64 fullBytes = QFileInfo(full).size();
            const qint64 splicedBytes = QFileInfo(spliced).size();
            const qint64 cliBytes = QFileInfo(fromCli).size();
            const bool wasSpliced =
                    readFile(spliced) != readFile(full) && readFile(fromCli) != readFile(full);
            const auto holds = [&](const QString &saved) {
                CarrierImage picture;
                return picture.load(saved) == CarrierImage::LoadResult::Loaded &&
                        picture.getImage() == fast.getImage() && picture.revealMessage() &&
                        picture.getRevealedText() == message;
            };
            CarrierImage fromFull;
            const bool checked = fromFull.load(full) == CarrierImage::LoadResult::Loaded &&
                    fromFull.getImage() == fast.getImage() && holds(spliced) && holds(fromCli);
            allChecked = allChecked && checked;
            const double sizeRatio = double(qMax(splicedBytes, cliBytes)) / double(qtBytes);
            std::printf("%-26s %5.1f %4d %8.1f %8.1f %6.3f %8.1f %8.1f %6.3f %10lld %10lld %10lld "
                        "%10lld %7.4f %7s %6s\n",
                        qPrintable(file.fileName()), size.width() * double(size.height()) / 1e6,
                        bytes, window.at(1), window.at(0), window.at(0) / window.at(1), cli.at(1),
                        cli.at(0), cli.at(0) / cli.at(1), qtBytes, fullBytes, splicedBytes,
                        cliBytes, sizeRatio, wasSpliced ? "yes" : "no", checked ? "ok" : "FAILED");
            std::fflush(stdout);
            if (bytes <= 100) {
                worstWindow = std::max(worstWindow, window.at(0) / window.at(1));
                worstCli = std::max(worstCli, cli.at(0) / cli.at(1));
            }
            largestSize = std::max(largestSize, sizeRatio);
        }
    }
    std::printf("\n");
    printTarget("spliced-save-against-full", worstWindow, 0.3);
    printTarget("cli-hide-against-full", worstCli, 0.25);
    printTarget("spliced-file-size-against-qt", largestSize, 1);
    std::printf("target spliced-pixels-and-message: %s\n", allChecked ? "met" : "missed");
    return allChecked ? 0 : 1;
}

void printUsage(FILE *stream)
{
    std::fprintf(stream,
                 "Usage: quorvane-bench [--quick | --picture FILE | --corpus DIR | --reveal DIR |\n"
                 "                       --help]\n"
                 "  (none)          speed and memory of the engine on generated pictures, then\n"
                 "                  the PNG save comparison; a few minutes\n"
                 "  --quick         the same on small pictures with few runs: a smoke run\n"
                 "  --picture FILE  only the PNG save comparison, on a PNG or BMP of your own\n"
                 "  --corpus DIR    the PNG save comparison on every PNG and BMP in DIR, as one\n"
                 "                  table with the targets for photo-* and drawn-* pictures,\n"
                 "                  then the reveal comparison on the same folder\n"
                 "  --reveal DIR    only the reveal comparison: reading the rows that hold the\n"
                 "                  message against the whole load, on photo-*.png of >= 13 MP\n"
                 "  --splice DIR    only the save that splices the source's compressed rows\n"
                 "                  against the full save, on photo-*.png of >= 13 MP\n"
                 "  --help          this text\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("--peak-rss"))
        return reportPeakMemory(arguments.at(2), arguments.at(3));
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--peak-reveal"))
        return reportRevealMemory(arguments.at(2));
    const QStringList options = arguments.mid(1);
    const bool quick = options == QStringList {QStringLiteral("--quick")};
    if (options == QStringList {QStringLiteral("--help")}) {
        printUsage(stdout);
        return 0;
    }
    if (options.size() == 2 && options.first() == QLatin1String("--picture"))
        return reportSave(options.last(), 5);
    if (options.size() == 2 && options.first() == QLatin1String("--corpus")) {
        const int saved = reportCorpus(options.last(), 3);
        std::printf("\n");
        const int revealed = reportReveal(options.last(), 5);
        std::printf("\n");
        return qMax(qMax(saved, revealed), reportSplice(options.last(), 3));
    }
    if (options.size() == 2 && options.first() == QLatin1String("--reveal"))
        return reportReveal(options.last(), 5);
    if (options.size() == 2 && options.first() == QLatin1String("--splice"))
        return reportSplice(options.last(), 3);
    if (!options.isEmpty() && !quick) {
        std::fprintf(stderr, "quorvane-bench: unknown or incomplete options: %s\n",
                     qPrintable(options.join(QLatin1Char(' '))));
        printUsage(stderr);
        return 2;
    }

    const QVector<Size> sizes = quick
            ? QVector<Size> {{640, 480}, {1600, 1200}}
            : QVector<Size> {{640, 480}, {3000, 2000}, {6000, 4000}, {12000, 8334}};
    const int runs = quick ? 3 : 5;
    const int overheadRounds = quick ? 5 : 11;
    const int scalingRounds = 21;
    const Size smallest = sizes.first();
    const Size largest = sizes.last();
    const Size overheadSize = quick ? sizes.last() : sizes.at(1);
    const Size memorySize = quick ? sizes.last() : sizes.at(2);

    QTemporaryDir dir;
    if (!dir.isValid())
        qFatal("no temporary folder");
    const auto pngOf = [&dir](const Size &size) {
        return dir.filePath(QStringLiteral("photo-%1.png").arg(sizeName(size)));
    };
    const QString message = message511Bytes();
    QElapsedTimer total;
    total.start();

    std::printf("quorvane-bench%s: photo-like RGB pictures (gradients plus noise) saved as PNG in "
                "%s\n",
                quick ? " --quick" : "", qPrintable(dir.path()));
    std::printf("Medians in ms. decode: CarrierImage::load of the PNG (file in the page cache). "
                "hide: hideMessage of a 511-byte message. extract: "
                "extractBits. encodes: CarrierImage::saveImage to a file. PNG MB: the source "
                "file.\n");
    std::printf("decode, PNG and BMP encode: %d runs each; hide, extract: per call, from %d "
                "samples of %d calls each after one untimed sample.\n\n",
                runs, samplesPerCall, callsPerSample);
    std::printf("%-12s %7s %8s %9s %9s %9s %10s %10s\n", "size", "MP", "PNG MB", "decode", "hide",
                "extract", "PNG enc", "BMP enc");
    for (const Size &size : sizes) {
        const Row row = measureSize(dir, size, runs, message);
        std::printf("%-12s %7.2f %8.1f %9.1f %9.4f %9.4f %10.1f %10.1f\n",
                    qPrintable(sizeName(size)), size.width * double(size.height) / 1e6,
                    row.fileMegabytes, row.decode, row.hide, row.extract, row.pngEncode,
                    row.bmpEncode);
        std::fflush(stdout);
    }

    const Scaling scaling = measureScaling(pngOf(smallest), pngOf(largest), scalingRounds, message);
    std::printf("\nhide and extract, %s against %s, medians of %d alternated samples of %d calls:\n"
                "  hide %.4f / %.4f ms, extract %.4f / %.4f ms\n",
                qPrintable(sizeName(largest)), qPrintable(sizeName(smallest)), scalingRounds,
                callsPerSample, scaling.hideLarge, scaling.hideSmall, scaling.extractLarge,
                scaling.extractSmall);
    std::fflush(stdout);

    const Overhead overhead = measureOverhead(pngOf(overheadSize), overheadRounds, message);
    std::printf("load + save of the %s PNG, medians of %d rounds, each variant in turn:\n"
                "  CarrierImage load + hide + saveImage %.1f ms, plain QImage load + save %.1f ms,"
                "\n  plain QImage load + save through QSaveFile (synced at commit) %.1f ms\n",
                qPrintable(sizeName(overheadSize)), overheadRounds, overhead.withCarrier,
                overhead.plain, overhead.plainAtomic);

    const PeakMemory memory =
            measurePeakMemory(pngOf(memorySize), dir.filePath(QStringLiteral("peak.png")));
    const double memoryRatio = peakMemoryRatio(memory, QSize(memorySize.width, memorySize.height));
    std::printf("peak memory of load + hide + save of the %s PNG in a fresh process:\n"
                "  (VmHWM after %lld KiB - VmRSS before loading %lld KiB) / (%d x %d x 4 bytes)\n",
                qPrintable(sizeName(memorySize)), memory.peakKib, memory.baselineKib,
                memorySize.width, memorySize.height);
    std::printf("total time %.0f s\n", total.elapsed() / 1000.0);
    if (quick)
        std::printf("--quick: small pictures and few runs, a smoke run only; fixed costs weigh "
                    "more here, so judge the targets on a full run.\n");
    std::printf("\n");
    printTarget("hide-size-independent", scaling.hideLarge / scaling.hideSmall, 2);
    printTarget("extract-size-independent", scaling.extractLarge / scaling.extractSmall, 2);
    printTarget("save-overhead", overhead.withCarrier / overhead.plain, 1.05);
    printTarget("peak-memory", memoryRatio, 1.5);
    std::printf("\n");
    std::fflush(stdout);
    return reportSave(pngOf(memorySize), runs);
}

#ifndef SPLICE_H
#define SPLICE_H

#include <QDateTime>
#include <QtGlobal>

#include <memory>
#include <vector>

QT_BEGIN_NAMESPACE
class QFile;
class QIODevice;
class QImage;
QT_END_NAMESPACE

// Where a PNG source keeps its pixel data, as found at load: what a save needs to carry the
// source's compressed rows over, and to prove they are still the ones that were decoded.
struct SpliceLayout
{
    struct Idat
    {
        qint64 start = 0;
        qint64 length = 0;
        quint32 crc = 0;
    };

    int width = 0;
    int height = 0;
    bool alpha = false;
    std::vector<Idat> idats;

    bool isValid() const { return !idats.empty(); }
};

// Writes the IDAT stream of a picture that differs from its PNG source only in its first rows: it
// compresses those rows anew and carries the rest of the source's compressed data over. Any doubt
// about the source answers false, and the caller writes the whole picture instead.
namespace Splice {

// The layout of the PNG file in device if it is 8-bit RGB or RGBA, not interlaced, with its IDAT
// chunks one after the other; invalid otherwise. Reads chunk heads and checksums only.
SpliceLayout readLayout(QIODevice *device);

// The zlib stream for image, which must be RGB32 or ARGB32 and have the pixels of source (as
// layout found it) in every row from changedRows on. False, with nothing written, where the
// source's data differs from layout's checksums, its stream is not whole (an inflate error, a
// wrong length or Adler-32, data after its end, a preset dictionary), no block boundary lies
// within reach past the changed rows, or the result would be larger than Qt's writer's file is
// estimated to be.
bool buildStream(const QImage &image, int changedRows, QIODevice *source,
                 const SpliceLayout &layout, std::vector<uchar> *stream);

} // namespace Splice

// A PNG source held open from load, so that its data stays readable whatever happens to its
// name, with what identifies its contents at load.
class HeldSource
{
public:
    // Takes over file, open for reading; null unless its layout can be spliced.
    static std::shared_ptr<const HeldSource> hold(std::unique_ptr<QFile> file);
    ~HeldSource();

    // Whether the file's size and modification time are still those at load.
    bool isUnchanged() const;
    QFile *getFile() const { return file.get(); }
    const SpliceLayout &getLayout() const { return layout; }

private:
    HeldSource() = default;

    std::unique_ptr<QFile> file;
    qint64 size = 0;
    QDateTime modified;
    SpliceLayout layout;
};

#endif // SPLICE_H

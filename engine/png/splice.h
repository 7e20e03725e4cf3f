#ifndef SPLICE_H
#define SPLICE_H

#include <QByteArray>
#include <QDateTime>
#include <QtGlobal>

#include <memory>
#include <utility>
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
    // Set by checkStream: the stream inflates to exactly the picture's filtered rows, with the
    // right Adler-32 and nothing after it; and where its blocks end, each as the bytes inflated
    // before the boundary and its bit position in the deflate data after the zlib header.
    bool whole = false;
    std::vector<std::pair<qint64, qint64>> boundaries;
    // A digest of the compressed data found whole. The chunks' CRCs can be forged by whoever
    // rewrites the file in place; a splice copies the data only if it still has this digest.
    QByteArray digest;

    bool isValid() const { return !idats.empty(); }
    // The bytes of compressed data in all the IDAT chunks.
    qint64 dataBytes() const;
};

// A spliced zlib stream in three pieces, so that the source's data is written where it was read:
// the new head, the source's IDAT data from tailStart to tailEnd, and the Adler-32.
struct SplicedStream
{
    std::vector<uchar> head;
    std::shared_ptr<const std::vector<uchar>> source;
    size_t tailStart = 0;
    size_t tailEnd = 0;
    uchar trailer[4] = {};

    std::vector<std::pair<const uchar *, size_t>> pieces() const;
};

// Writes the IDAT stream of a picture that differs from its PNG source only in its first rows: it
// compresses those rows anew and carries the rest of the source's compressed data over. Any doubt
// about the source answers false, and the caller writes the whole picture instead.
namespace Splice {

// The layout of the PNG file in device if it is 8-bit RGB or RGBA, not interlaced, with its IDAT
// chunks one after the other; invalid otherwise. Reads chunk heads and checksums only.
SpliceLayout readLayout(QIODevice *device);

// The IDAT data of source, checked against layout: the same chunks at the same places, each with
// the CRC it had when layout was read and data that matches it.
bool readIdatData(QIODevice *source, const SpliceLayout &layout, std::vector<uchar> *data);

// Inflates the whole stream in data (readIdatData's) to record in layout whether it is whole (no
// inflate error, no preset dictionary, the right length and Adler-32, a filter type libpng reads
// on every row, nothing after its end) and where its blocks end. Touches
// nothing but its arguments, so it can run beside the decoder.
void checkStream(const std::vector<uchar> &data, SpliceLayout *layout);

// Whether checkStream would find the stream whole, without recording anything.
bool isWhole(const std::vector<uchar> &data, const SpliceLayout &layout);

// The zlib stream for image, which must be RGB32 or ARGB32 and have the pixels of source (as
// layout found and checked it) in every row from changedRows on. False, with nothing written,
// where the source's data differs from layout's checksums, its stream was not whole, no block
// boundary lies within reach past the changed rows, or the source compresses the sample Qt's
// writer was estimated on into more bytes than Qt's writer.
bool buildStream(const QImage &image, int changedRows, QIODevice *source,
                 const SpliceLayout &layout, SplicedStream *stream);

// The same where only the picture's first rows are at hand, at least those changed and one more:
// they are the sample the compressor and the size rule are judged on. source is the IDAT data,
// held in memory by the caller, which must find it whole (isWhole) before the stream is used;
// layout need not be checked.
bool buildHead(const QImage &rows, int changedRows, const SpliceLayout &layout,
               const std::shared_ptr<const std::vector<uchar>> &source, SplicedStream *stream);

} // namespace Splice

// A PNG source held open from load, so that its data stays readable whatever happens to its
// name, with what identifies its contents at load.
class HeldSource
{
public:
    // Reads the layout and compressed rows of the PNG in file, and its size and modification
    // time; null unless they can be spliced.
    static std::shared_ptr<HeldSource> prepare(QFile *file);
    ~HeldSource();

    // checkStream on the rows read, which are then let go.
    void check();
    // Takes over file, open for reading, if it is still as prepare() found it and its stream was
    // whole: then the pixels decoded meanwhile came from the data checked.
    bool hold(std::unique_ptr<QFile> file);

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
    std::vector<uchar> data;
};

#endif // SPLICE_H

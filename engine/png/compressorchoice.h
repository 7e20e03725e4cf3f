#ifndef COMPRESSORCHOICE_H
#define COMPRESSORCHOICE_H

#include <QtGlobal>

#include <utility>
#include <vector>

QT_BEGIN_NAMESPACE
class QImage;
QT_END_NAMESPACE

// The ways the writer can compress a picture's filtered rows. Chosen stands for the choice made
// from a sample of the picture.
enum class Compressor { Chosen, Rle, HuffmanOnly, Libdeflate6, Libdeflate7, Zlib6 };

// How a picture is compressed: by one compressor, or, for Libdeflate7 with a level6Share, with
// libdeflate 6 on that share of the pieces, spread evenly over the picture.
struct CompressionPlan
{
    Compressor compressor = Compressor::Zlib6;
    double level6Share = 0;

    bool usesLibdeflate() const;
    // The libdeflate level of the picture's piece number index.
    int pieceLevel(int index) const;
    // zlib's strategy, for the compressors that are not libdeflate.
    int zlibStrategy() const;
};

// What Qt's writer is estimated to write for the sample of a picture: bytes (-1 where the
// estimate failed) for the filtered bytes of ranges, each a start and an end in the picture's
// filtered rows. Anything else that would write the sample in no more bytes may write the picture.
struct QtEstimate
{
    qint64 bytes = -1;
    std::vector<std::pair<qint64, qint64>> ranges;
};

// Picks the compressor for a picture from the compressed sizes of a sample of it, so that the
// same picture always gets the same choice.
namespace CompressorChoice {

// The filtered bytes a sample takes from a picture of pictureBytes filtered bytes.
qint64 sampleBytes(qint64 pictureBytes);

// image must be RGB32 or ARGB32, written as RGBA rows if alpha is set and RGB rows otherwise.
// qtEstimate, if given, receives what the choice measured Qt's writer against. image may hold
// only the first rows of a picture of pictureHeight rows: the sample, sized for the picture, then
// spreads over the rows held, which should be at least sampleBytes' worth.
CompressionPlan choose(const QImage &image, bool alpha, QtEstimate *qtEstimate = nullptr,
                       int pictureHeight = 0);

} // namespace CompressorChoice

#endif // COMPRESSORCHOICE_H

#include "pngreader.h"

#include "chunkreader.h"

#include <QIODevice>
#include <QImage>
#include <QtEndian>

#include <png.h>

#include <algorithm>
#include <vector>

namespace {

// libpng refuses chunks other than IDAT that are longer than this; longer ones go to the full
// load rather than be judged here.
constexpr qint64 longestChunk = 8000000;

bool isChunkLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

using Result = PngReader::Result;

// Owns a libpng read struct and its info struct.
class ReadStruct
{
public:
    ReadStruct();
    ~ReadStruct();
    ReadStruct(const ReadStruct &) = delete;
    ReadStruct &operator=(const ReadStruct &) = delete;

    png_structp png = nullptr;
    png_infop info = nullptr;
};

extern "C" void failQuietly(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

extern "C" void ignoreWarning(png_structp, png_const_charp) { }

extern "C" void readFromDevice(png_structp png, png_bytep data, size_t length)
{
    auto *device = static_cast<QIODevice *>(png_get_io_ptr(png));
    if (device->read(reinterpret_cast<char *>(data), qint64(length)) != qint64(length))
        png_error(png, "the file ends early");
}

ReadStruct::ReadStruct()
{
    png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, failQuietly, ignoreWarning);
    if (png)
        info = png_create_info_struct(png);
}

ReadStruct::~ReadStruct()
{
    if (png)
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
}

// libpng reports errors by jumping back to the setjmp below. The functions that call it hold no
// object with a destructor, so the jump skips none.

bool readInfo(png_structp png, png_infop info, QIODevice *device)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_read_fn(png, device, readFromDevice);
    // The sides are checked once the header is read, to tell a picture too large from a
    // damaged one; nothing is allocated for the rows before that.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    // Only IHDR, PLTE, tRNS, IDAT and IEND decide the pixels. Everything else, text and profiles
    // above all, is skipped unread, so that no chunk can make a small picture costly to open.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
#ifdef PNG_MAXIMUM_INFLATE_WINDOW
    // As Qt does: accept streams whose header understates the window they use.
    png_set_option(png, PNG_MAXIMUM_INFLATE_WINDOW, PNG_OPTION_ON);
#endif
    png_read_info(png, info);
    return true;
}

// Samples one byte each, as palette indices or grey levels.
bool setIndexTransforms(png_structp png, png_infop info)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_packing(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return true;
}

// Everything else: red, green, blue and alpha in the byte order of a 32-bit QRgb.
bool setColourTransforms(png_structp png, png_infop info, bool alpha)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_scale_16(png);
    // Turns a transparent colour (tRNS) into an alpha channel.
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    if (QSysInfo::ByteOrder == QSysInfo::LittleEndian)
        png_set_bgr(png);
    else
        png_set_swap_alpha(png);
    if (!alpha)
        png_set_filler(png, 0xFF,
                       QSysInfo::ByteOrder == QSysInfo::LittleEndian ? PNG_FILLER_AFTER
                                                                     : PNG_FILLER_BEFORE);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return true;
}

// Reads every row, then the chunks up to IEND, as Qt's reader does before it accepts a file.
bool readRows(png_structp png, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

std::vector<png_bytep> rowPointers(QImage *image)
{
    std::vector<png_bytep> rows(size_t(image->height()));
    for (int y = 0; y < image->height(); ++y)
        rows[size_t(y)] = image->scanLine(y);
    return rows;
}

// The colour of each palette index or grey level, as Qt's reader gives it: a palette's missing
// transparency entries are opaque and indices past its end take entry 0; grey levels span 0 to
// 255; a transparent grey level is transparent black, except in 1-bit files, where it keeps its
// colour. Entries no sample can reach are opaque, so that they never make a picture transparent.
QVector<QRgb> colourTable(png_structp png, png_infop info, int colourType, int depth)
{
    QVector<QRgb> table(256, 0);
    png_bytep alphas = nullptr;
    int alphaCount = 0;
    png_color_16p transparent = nullptr;
    const bool hasTrns = png_get_tRNS(png, info, &alphas, &alphaCount, &transparent) != 0;
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp palette = nullptr;
        int count = 0;
        png_get_PLTE(png, info, &palette, &count);
        for (int i = 0; i < count; ++i) {
            const int alpha = hasTrns && alphas && i < alphaCount ? alphas[i] : 0xFF;
            table[i] = qRgba(palette[i].red, palette[i].green, palette[i].blue, alpha);
        }
        // Qt reads 1-bit files as two-colour pictures, whose missing second colour is white.
        for (int i = count; i < 256; ++i)
            table[i] = depth == 1 && i == 1 ? qRgb(0xFF, 0xFF, 0xFF) : table[0];
        return table;
    }
    const int levels = 1 << depth;
    for (int i = 0; i < 256; ++i) {
        const int grey = qMin(i, levels - 1) * 255 / (levels - 1);
        table[i] = qRgb(grey, grey, grey);
    }
    if (hasTrns && transparent && transparent->gray < levels)
        table[transparent->gray] = depth == 1 ? table[transparent->gray] & 0x00FFFFFFu : 0u;
    return table;
}

bool hasTransparency(const QVector<QRgb> &table)
{
    for (const QRgb colour : table) {
        if (qAlpha(colour) != 0xFF)
            return true;
    }
    return false;
}

// What prepare() found and set up: the picture's sides, and whether its rows come as palette
// indices or grey levels, one byte each, or as 32-bit pixels.
struct Layout
{
    int width = 0;
    int height = 0;
    int depth = 0;
    int colourType = 0;
    bool indexed = false;
    bool alpha = false;
};

// Sets the transforms after the header is read; the row reader shares them, so that it decodes
// exactly the pixels read() decodes.
Result prepare(png_structp png, png_infop info, int maxSide, Layout *layout)
{
    layout->width = int(png_get_image_width(png, info));
    layout->height = int(png_get_image_height(png, info));
    if (layout->width > maxSide || layout->height > maxSide)
        return Result::TooLarge;
    layout->depth = png_get_bit_depth(png, info);
    layout->colourType = png_get_color_type(png, info);
    layout->indexed = layout->colourType == PNG_COLOR_TYPE_PALETTE ||
            (layout->colourType == PNG_COLOR_TYPE_GRAY && layout->depth <= 8);
    if (layout->indexed)
        return setIndexTransforms(png, info) && png_get_rowbytes(png, info) == size_t(layout->width)
                ? Result::Read
                : Result::Unreadable;
    layout->alpha = (layout->colourType & PNG_COLOR_MASK_ALPHA) != 0 ||
            png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    // The transformed rows must be exactly four bytes a pixel; anything else would leave
    // part of the picture unwritten.
    return setColourTransforms(png, info, layout->alpha) &&
                    png_get_rowbytes(png, info) == size_t(layout->width) * 4
            ? Result::Read
            : Result::Unreadable;
}

bool readOneRow(png_structp png, png_bytep row)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_row(png, row, nullptr);
    return true;
}

} // namespace

PngReader::Result PngReader::read(QIODevice *device, int maxSide, QImage *image)
{
    ReadStruct reader;
    if (!reader.info || !device->seek(0) || !readInfo(reader.png, reader.info, device))
        return Result::Unreadable;
    png_structp png = reader.png;
    png_infop info = reader.info;
    Layout layout;
    const Result prepared = prepare(png, info, maxSide, &layout);
    if (prepared != Result::Read)
        return prepared;
    const int width = layout.width;
    const int height = layout.height;

    QImage decoded;
    if (layout.indexed) {
        QImage samples(width, height, QImage::Format_Grayscale8);
        if (samples.isNull())
            return Result::Unreadable;
        std::vector<png_bytep> rows = rowPointers(&samples);
        if (!readRows(png, rows.data()))
            return Result::Unreadable;
        const QVector<QRgb> table = colourTable(png, info, layout.colourType, layout.depth);
        decoded = QImage(width, height,
                         hasTransparency(table) ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        if (decoded.isNull())
            return Result::Unreadable;
        for (int y = 0; y < height; ++y) {
            const uchar *in = samples.constScanLine(y);
            auto *out = reinterpret_cast<QRgb *>(decoded.scanLine(y));
            for (int x = 0; x < width; ++x)
                out[x] = table[in[x]];
        }
    } else {
        decoded =
                QImage(width, height, layout.alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        if (decoded.isNull())
            return Result::Unreadable;
        std::vector<png_bytep> rows = rowPointers(&decoded);
        if (!readRows(png, rows.data()))
            return Result::Unreadable;
    }
    *image = decoded;
    return Result::Read;
}

struct PngReader::RowReader::State
{
    ReadStruct reader;
    Layout layout;
    QVector<QRgb> table;
    std::vector<uchar> samples;
};

PngReader::RowReader::RowReader() : state(new State) { }

PngReader::RowReader::~RowReader() = default;

bool PngReader::RowReader::start(QIODevice *device, int maxSide)
{
    png_structp png = state->reader.png;
    png_infop info = state->reader.info;
    if (!info || !device->seek(0) || !readInfo(png, info, device) ||
        png_get_interlace_type(png, info) != PNG_INTERLACE_NONE ||
        prepare(png, info, maxSide, &state->layout) != Result::Read)
        return false;
    if (state->layout.indexed) {
        // The palette and tRNS come before the pixels, so the table is final here.
        state->table = colourTable(png, info, state->layout.colourType, state->layout.depth);
        state->samples.resize(size_t(state->layout.width));
    }
    return true;
}

int PngReader::RowReader::getWidth() const
{
    return state->layout.width;
}

int PngReader::RowReader::getHeight() const
{
    return state->layout.height;
}

bool PngReader::RowReader::hasAlpha() const
{
    return state->layout.alpha;
}

bool PngReader::RowReader::readRow(QRgb *pixels)
{
    if (!state->layout.indexed)
        return readOneRow(state->reader.png, reinterpret_cast<png_bytep>(pixels));
    if (!readOneRow(state->reader.png, state->samples.data()))
        return false;
    for (int x = 0; x < state->layout.width; ++x)
        pixels[x] = state->table[state->samples[size_t(x)]];
    return true;
}

bool PngReader::restIsWhole(QIODevice *device)
{
    ChunkReader reader(device);
    ChunkReader::Chunk chunk;
    bool inPixels = false;
    bool afterPixels = false;
    while (reader.next(&chunk)) {
        const bool pixels = chunk.type == "IDAT";
        if (!inPixels && !afterPixels && !pixels)
            continue; // read before the pixels, by the row reader
        if (pixels && afterPixels)
            return false;
        inPixels = pixels;
        afterPixels = !pixels;
        const bool end = chunk.type == "IEND";
        if (!pixels && !end &&
            (!std::all_of(chunk.type.begin(), chunk.type.end(), isChunkLetter) ||
             (chunk.type.at(0) & 0x20) == 0))
            return false;
        if (chunk.length > longestChunk || (end && chunk.length != 0) || !reader.crcMatches(chunk))
            return false;
        if (end)
            return true;
    }
    return false;
}

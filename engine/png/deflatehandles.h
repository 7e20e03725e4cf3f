#ifndef DEFLATEHANDLES_H
#define DEFLATEHANDLES_H

#include <QtGlobal>

#include <libdeflate.h>
#include <zlib.h>

#include <memory>

// Owns a zlib stream that compresses with the parameters Qt's writer uses, so that its string
// matching gives the same sizes; a negative windowBits makes raw deflate data without the zlib
// wrapper. The stream is ended however its owner's scope is left.
class ZlibDeflater
{
public:
    ZlibDeflater(int strategy, int windowBits);
    ~ZlibDeflater();
    Q_DISABLE_COPY(ZlibDeflater)

    // False if zlib could not set the stream up; it must then not be used.
    bool isValid() const { return valid; }
    z_stream *get() { return &stream; }

private:
    z_stream stream {};
    bool valid = false;
};

// Owns a zlib stream that decompresses raw deflate data, or with a positive windowBits a zlib
// stream, whose header and Adler-32 zlib then checks.
class ZlibInflater
{
public:
    explicit ZlibInflater(int windowBits = -15);
    ~ZlibInflater();
    Q_DISABLE_COPY(ZlibInflater)

    bool isValid() const { return valid; }
    z_stream *get() { return &stream; }

private:
    z_stream stream {};
    bool valid = false;
};

// Frees a libdeflate compressor: the deleter of LibdeflateCompressor.
struct LibdeflateFree
{
    void operator()(libdeflate_compressor *compressor) const;
};
// Null if libdeflate could not allocate it.
using LibdeflateCompressor = std::unique_ptr<libdeflate_compressor, LibdeflateFree>;

LibdeflateCompressor newLibdeflateCompressor(int level);

#endif // DEFLATEHANDLES_H

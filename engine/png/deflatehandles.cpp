#include "deflatehandles.h"

ZlibDeflater::ZlibDeflater(int strategy, int windowBits)
{
    valid = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, strategy) ==
            Z_OK;
}

ZlibDeflater::~ZlibDeflater()
{
    if (valid)
        deflateEnd(&stream);
}

ZlibInflater::ZlibInflater(int windowBits)
{
    valid = inflateInit2(&stream, windowBits) == Z_OK;
}

ZlibInflater::~ZlibInflater()
{
    if (valid)
        inflateEnd(&stream);
}

void LibdeflateFree::operator()(libdeflate_compressor *compressor) const
{
    libdeflate_free_compressor(compressor);
}

LibdeflateCompressor newLibdeflateCompressor(int level)
{
    return LibdeflateCompressor(libdeflate_alloc_compressor(level));
}

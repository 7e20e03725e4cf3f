#include "carrierimage.h"

#include <QFile>
#include <QImage>

#include <cstdio>

#include <sys/resource.h>

// Loads the picture named on the command line in a process of its own, for tst_CarrierImage:
// writes the load result on a line and then the loaded pixels, row by row, to standard output,
// and the peak memory in KiB to standard error.
int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    CarrierImage engine;
    const CarrierImage::LoadResult result = engine.load(QFile::decodeName(argv[1]));
    const QImage image = engine.getImage();
    std::printf("%d\n", int(result));
    // Loaded pictures are 32 bits per pixel.
    for (int y = 0; y < image.height(); ++y)
        std::fwrite(image.constScanLine(y), 4, size_t(image.width()), stdout);
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "%ld\n", usage.ru_maxrss);
    return 0;
}

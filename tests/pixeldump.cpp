#include "carrierimage.h"

#include <QFile>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The process's own peak resident memory in KiB. getrusage's ru_maxrss would do, but Linux keeps
// it across fork and exec, so a child would report its parent's peak if that was higher.
long peakKib()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof(line), status)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

} // namespace

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
    std::fprintf(stderr, "%ld\n", peakKib());
    return 0;
}

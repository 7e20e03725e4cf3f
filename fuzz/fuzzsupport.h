#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>

// What the fuzz targets share; the pictures and files they build come from the tests' fixtures.

// Aborts, so that libFuzzer keeps the input for which the property failed.
void require(bool property);

// Qt and libpng warn about most inputs; the runs' output should show only findings.
void silenceQt();

bool samePixels(const QImage &a, const QImage &b);

// Writes the input to a file, the same for every run, in a folder of its own, and gives its
// path: the engine loads files.
QString writeInput(const uint8_t *data, size_t size);

// Whether the input announces a picture of more than a megapixel but within maxSide: costly to
// decode and teaching nothing. Read where the readers find the sides, without decoding.
bool announcesCostlyPicture(const uint8_t *data, size_t size, int maxSide);

#endif // FUZZSUPPORT_H

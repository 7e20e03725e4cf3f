#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QImage>

// What the fuzz targets share; the pictures and files they build come from the tests' fixtures.

// Aborts, so that libFuzzer keeps the input for which the property failed.
void require(bool property);

// Qt and libpng warn about most inputs; the runs' output should show only findings.
void silenceQt();

bool samePixels(const QImage &a, const QImage &b);

#endif // FUZZSUPPORT_H

#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QImage>

// What the fuzz targets and the seed writer share.

// Aborts, so that libFuzzer keeps the input for which the property failed.
void require(bool property);

// Qt and libpng warn about most inputs; the runs' output should show only findings.
void silenceQt();

bool samePixels(const QImage &a, const QImage &b);

// A whole PNG chunk: length, type, data and CRC.
QByteArray pngChunk(const QByteArray &type, const QByteArray &data);

#endif // FUZZSUPPORT_H

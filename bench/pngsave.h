#ifndef PNGSAVE_H
#define PNGSAVE_H

#include <QString>

// Compares the program's PNG save with Qt's default PNG writer on the picture at picturePath:
// median times over runs saves each, file sizes, and the peak memory of load, hide and save.
// Prints a table and one met/missed line per target; returns 0 when the comparison ran, even if a
// target was missed, and 1 when it could not run.
int runSaveComparison(const QString &picturePath, int runs);

#endif // PNGSAVE_H

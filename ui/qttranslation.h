#ifndef QTTRANSLATION_H
#define QTTRANSLATION_H

#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QLocale;
class QTranslator;
QT_END_NAMESPACE

// Loads Qt's own translation (the file dialog's and message boxes' texts) for the first of the
// locale's interface languages that Qt has one for, from Qt's translations folder. Returns
// whether one was loaded.
bool loadQtTranslation(QTranslator &translator, const QLocale &locale);

#endif // QTTRANSLATION_H

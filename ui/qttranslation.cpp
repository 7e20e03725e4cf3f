#include "qttranslation.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QString>
#include <QTranslator>

bool loadQtTranslation(QTranslator &translator, const QLocale &locale)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    const QString folder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
    return translator.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder);
}

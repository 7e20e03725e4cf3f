#include "mainwindow.h"

#include <QApplication>
#include <QLocale>
#include <QStringList>
#include <QTranslator>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);

    QTranslator translator;
    const QStringList uiLanguages = QLocale::system().uiLanguages();
    for (const QString &locale : uiLanguages) {
        const QString baseName = QStringLiteral("Tessaroon_") + QLocale(locale).name();
        if (translator.load(QStringLiteral(":/i18n/") + baseName, QString(), QString(),
                            QString())) {
            app.installTranslator(&translator);
            break;
        }
    }

    MainWindow window;
    window.show();
    return app.exec();
}

#include "mainwindow.h"
#include "qttranslation.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLocale>
#include <QStringList>
#include <QTranslator>

int main(int argc, char **argv)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Scale the fixed-size window as a whole on high-DPI screens, by a whole factor. Without an
    // Xft.dpi setting Qt 5 takes the X server's physical DPI, and 100 dpi would scale the window
    // by 1.04, which clips the text box's borders; rounded, it keeps 1 there, as Qt 6 does, and a
    // desktop's 2 stays 2.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
            Qt::HighDpiScaleFactorRoundingPolicy::Round);
#endif
    QApplication app(argc, argv);
    // Wayland desktops match the window to its menu entry, and so to its icon, by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorvane.QuorvaneLSB"));

    // The file dialog's and message boxes' own texts in the user's language. Installed first, so
    // that the program's own catalogue, searched before it, could override them.
    QTranslator qtTranslator;
    if (loadQtTranslation(qtTranslator, QLocale::system()))
        app.installTranslator(&qtTranslator);

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

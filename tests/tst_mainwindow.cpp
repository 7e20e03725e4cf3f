#include "mainwindow.h"

#include <QTest>

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void placeholder()
    {
        MainWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Quorvane-LSB"));
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"

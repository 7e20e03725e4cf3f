#include "carrierimage.h"

#include <QTest>

class tst_CarrierImage : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QCOMPARE(CarrierImage().getCapacity(), 0); }
};

QTEST_GUILESS_MAIN(tst_CarrierImage)
#include "tst_carrierimage.moc"

#include <QtTest>
class T : public QObject { Q_OBJECT private slots: void a() { QVERIFY(true); } };
QTEST_MAIN(T)
#include "tst_datos.moc"

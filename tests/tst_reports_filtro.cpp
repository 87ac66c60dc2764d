#include <QDateEdit>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "Filtro.h"
#include "MessageBox.h"
#include "Programa.h"
#include "frmFiltro.h"

using namespace Filtros;

class TstReportsFiltro : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { MessageBox::setScripted(true); }
    void init()
    {
        MessageBox::limpiar();
        Programa::Fecha_Frm = QStringLiteral("DD/MM/YYYY");
        Programa::Fecha_Chr = QStringLiteral("#");
    }

    void texto_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("criterio");
        QTest::addColumn<QString>("descripcion");
        QTest::newRow("wildcard") << "ab*" << "Like 'ab%'" << " = ab*";
        QTest::newRow("star only") << "*" << "Like '%'" << " = *";
        QTest::newRow("two stars") << "a*b*" << "Like 'a%b%'" << " = a*b*";
        QTest::newRow("empty") << "" << "Like '%'" << " = ";
        QTest::newRow("exact") << "Acme" << "Like 'Acme'" << " = Acme";
        QTest::newRow("quote") << "O'Brien*" << "Like 'O''Brien%'" << " = O'Brien*";
        QTest::newRow("injection") << "x' OR '1'='1" << "Like 'x'' OR ''1''=''1'" << " = x' OR '1'='1";
    }
    void texto()
    {
        QFETCH(QString, typed);
        QFETCH(QString, criterio);
        QFETCH(QString, descripcion);
        const Criterio c = Filtros::texto(typed);
        QCOMPARE(c.criterio, criterio);
        QCOMPARE(c.descripcion, descripcion);
    }

    void numero_data()
    {
        QTest::addColumn<QString>("desde");
        QTest::addColumn<QString>("hasta");
        QTest::addColumn<QString>("criterio");
        QTest::addColumn<QString>("descripcion");
        QTest::addColumn<QString>("desdeQueda");
        QTest::newRow("range") << "10" << "20" << "Between 10 And 20" << " entre 10 y 20" << "10";
        QTest::newRow("to empty") << "10" << "" << "Between 10 And 10" << " entre 10 y 10" << "10";
        QTest::newRow("both empty") << "" << "" << "Between 0 And 0" << " entre 0 y 0" << "0";
        QTest::newRow("letters") << "abc" << "5" << "Between 0 And 5" << " entre 0 y 5" << "0";
        QTest::newRow("reversed") << "20" << "10" << "Between 20 And 10" << " entre 20 y 10" << "20";
        QTest::newRow("trailing letters") << "12abc" << "15; DROP TABLE Reporte" << "Between 12 And 15"
                                          << " entre 12 y 15" << "12";
        QTest::newRow("decimal") << "1.50" << "2" << "Between 1.50 And 2" << " entre 1.50 y 2" << "1.50";
    }
    void numero()
    {
        QFETCH(QString, desde);
        QFETCH(QString, hasta);
        QFETCH(QString, criterio);
        QFETCH(QString, descripcion);
        QFETCH(QString, desdeQueda);
        const Criterio c = Filtros::numero(desde, hasta);
        QCOMPARE(c.criterio, criterio);
        QCOMPARE(c.descripcion, descripcion);
        QCOMPARE(desde, desdeQueda);
    }

    void fecha()
    {
        const auto c = Filtros::fecha(QDate(2024, 3, 1), QDate(2024, 3, 15), QStringLiteral("DD/MM/YYYY"),
                                      QStringLiteral("#"));
        QVERIFY(c);
        QCOMPARE(Filtros::condicion(QStringLiteral("FECHA"), *c),
                 QStringLiteral("(FECHA BETWEEN #01/03/2024# AND #15/03/2024#)"));
        QCOMPARE(c->descripcion, QStringLiteral(" entre 01/03/2024 y 15/03/2024"));

        const auto igual = Filtros::fecha(QDate(2024, 3, 9), QDate(2024, 3, 9), QStringLiteral("DD/MM/YYYY"),
                                          QStringLiteral("#"));
        QCOMPARE(igual->descripcion, QStringLiteral(" = 09/03/2024"));

        const auto comillas = Filtros::fecha(QDate(2024, 3, 1), QDate(2024, 3, 2), QStringLiteral("DD/MM/YYYY"),
                                             QStringLiteral("'"));
        QCOMPARE(comillas->criterio, QStringLiteral("BETWEEN '01/03/2024' AND '02/03/2024'"));

        const auto iso = Filtros::fecha(QDate(2024, 3, 1), QDate(2024, 3, 2), QStringLiteral("YYYY-MM-DD"),
                                        QStringLiteral("#"));
        QCOMPARE(iso->criterio, QStringLiteral("BETWEEN #2024-03-01# AND #2024-03-02#"));

        QVERIFY(!Filtros::fecha(QDate(2024, 3, 2), QDate(2024, 3, 1), QStringLiteral("DD/MM/YYYY"),
                                QStringLiteral("#")));
        QCOMPARE(Filtros::condicion(QStringLiteral("FECHA"), {}), QString());
    }

    // What the browser's filters do not reach: Shift with no filter yet, and
    // the ticket closing every order so that pages never repeat a row.
    void seleccion()
    {
        Seleccion vacia;
        vacia.aplicaFiltro(QStringLiteral("(AUX2 Like 'x')"), QStringLiteral(" = x"), QStringLiteral("Dato 1"), true);
        QCOMPARE(vacia.filtro, QStringLiteral(" WHERE (AUX2 Like 'x')"));
        QCOMPARE(vacia.descFiltro, QStringLiteral(" (Dato 1 = x)"));

        Seleccion f;
        f.campoOrden = QStringLiteral("FECHA, HORA");
        QCOMPARE(f.ordenCompleto(), QStringLiteral("FECHA ASC, HORA ASC, TICKET ASC"));
        QCOMPARE(f.ordenCompleto(true), QStringLiteral("FECHA DESC, HORA DESC, TICKET DESC"));
        QCOMPARE(Seleccion().ordenCompleto(), QStringLiteral("TICKET ASC"));
    }

    void dialogoMarcos()
    {
        for (int tipo : {Texto, Numero, Fecha}) {
            frmFiltro dlg(tipo);
            QCOMPARE(dlg.windowTitle(), QStringLiteral("Filtro de datos"));
            const int activo = tipo == Texto ? 0 : tipo == Numero ? 1 : 2;
            for (int i = 0; i < 3; ++i) {
                auto* f = dlg.findChild<QFrame*>(QStringLiteral("FrmTipo_%1").arg(i));
                QVERIFY(f);
                QCOMPARE(f->isVisibleTo(&dlg), i == activo);
                QCOMPARE(f->isEnabled(), i == activo);
            }
        }
        frmFiltro fecha(Fecha);
        QCOMPARE(fecha.findChild<QDateEdit*>(QStringLiteral("Fecha1"))->date(), QDate::currentDate());
        QCOMPARE(fecha.findChild<QDateEdit*>(QStringLiteral("Fecha2"))->date(), QDate::currentDate());
    }

    void dialogoTextoConEnter()
    {
        frmFiltro dlg(Texto);
        dlg.show();
        auto* txt = dlg.findChild<QLineEdit*>(QStringLiteral("TxtDato"));
        QTest::keyClicks(txt, QStringLiteral("ab*"));
        QTest::keyClick(txt, Qt::Key_Return);
        QVERIFY(dlg.aceptado());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.criterio(), QStringLiteral("Like 'ab%'"));
        QCOMPARE(dlg.descripcion(), QStringLiteral(" = ab*"));
    }

    void dialogoNumeroActualizaCajas()
    {
        frmFiltro dlg(Numero);
        dlg.show();
        dlg.findChild<QLineEdit*>(QStringLiteral("TxtNumero_0"))->setText(QStringLiteral("abc"));
        dlg.findChild<QLineEdit*>(QStringLiteral("TxtNumero_1"))->setText(QStringLiteral("5"));
        QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("CmdOkNumero")), Qt::LeftButton);
        QCOMPARE(dlg.criterio(), QStringLiteral("Between 0 And 5"));
        QCOMPARE(dlg.findChild<QLineEdit*>(QStringLiteral("TxtNumero_0"))->text(), QStringLiteral("0"));
    }

    void dialogoFechas()
    {
        frmFiltro dlg(Fecha);
        dlg.show();
        dlg.findChild<QDateEdit*>(QStringLiteral("Fecha1"))->setDate(QDate(2024, 3, 15));
        dlg.findChild<QDateEdit*>(QStringLiteral("Fecha2"))->setDate(QDate(2024, 3, 1));
        QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("CmdOkFecha")), Qt::LeftButton);
        // Reversed: the message, and the dialog stays open without a result.
        QCOMPARE(MessageBox::mostrados().size(), 1);
        QCOMPARE(MessageBox::mostrados().at(0).texto, QStringLiteral("Error en el rango de fechas"));
        QCOMPARE(MessageBox::mostrados().at(0).titulo, QStringLiteral("Error"));
        QCOMPARE(MessageBox::mostrados().at(0).icono, MessageBox::Critico);
        QVERIFY(dlg.isVisible());
        QVERIFY(!dlg.aceptado());
        QCOMPARE(dlg.criterio(), QString());

        Programa::Fecha_Chr = QStringLiteral("'");
        dlg.findChild<QDateEdit*>(QStringLiteral("Fecha1"))->setDate(QDate(2024, 3, 1));
        dlg.findChild<QDateEdit*>(QStringLiteral("Fecha2"))->setDate(QDate(2024, 3, 15));
        QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("CmdOkFecha")), Qt::LeftButton);
        QVERIFY(dlg.aceptado());
        QCOMPARE(dlg.criterio(), QStringLiteral("BETWEEN '01/03/2024' AND '15/03/2024'"));
        QCOMPARE(dlg.descripcion(), QStringLiteral(" entre 01/03/2024 y 15/03/2024"));
    }

    void cancelar()
    {
        for (const char* boton : {"CmdCancelDato", "CmdCancelNumero", "CmdCancelFecha"}) {
            const int tipo = QByteArray(boton).contains("Dato") ? Texto : QByteArray(boton).contains("Numero") ? Numero : Fecha;
            frmFiltro dlg(tipo);
            dlg.show();
            if (auto* t = dlg.findChild<QLineEdit*>(QStringLiteral("TxtDato")))
                t->setText(QStringLiteral("algo"));
            QTest::mouseClick(dlg.findChild<QPushButton*>(QString::fromLatin1(boton)), Qt::LeftButton);
            QVERIFY(!dlg.aceptado());
            QCOMPARE(dlg.criterio(), QString());
            QCOMPARE(dlg.descripcion(), QString());
            QVERIFY(!dlg.isVisible());
        }
        // Esc
        frmFiltro dlg(Texto);
        dlg.show();
        dlg.findChild<QLineEdit*>(QStringLiteral("TxtDato"))->setText(QStringLiteral("algo"));
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.criterio(), QString());
    }
};

QTEST_MAIN(TstReportsFiltro)
#include "tst_reports_filtro.moc"

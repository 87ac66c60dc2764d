#include <QComboBox>
#include <QDateEdit>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "Config.h"
#include "Filtro.h"
#include "MessageBox.h"
#include "Programa.h"
#include "TestSupport.h"
#include "frmFiltro.h"

using namespace Qt::StringLiterals;

using namespace Filtros;

class TstReportsFiltro : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { MessageBox::setScripted(true); }
    void init()
    {
        MessageBox::limpiar();
        Programa::Fecha_Frm = u"DD/MM/YYYY"_s;
        Programa::Fecha_Chr = u"#"_s;
    }

    void texto_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("criterio");
        QTest::addColumn<QString>("descripcion");
        QTest::newRow("star only") << "*" << "Like '%'" << " = *";
        QTest::newRow("two stars") << "a*b*" << "Like 'a%b%'" << " = a*b*";
        QTest::newRow("empty") << "" << "Like '%'" << " = ";
        QTest::newRow("quote") << "O'Brien*" << "Like 'O''Brien%'" << " = O'Brien*";
        QTest::newRow("injection") << "x' OR '1'='1" << "Like 'x'' OR ''1''=''1'" << " = x' OR '1'='1";
    }
    void texto()
    {
        QFETCH(QString, typed);
        QFETCH(QString, criterio);
        QFETCH(QString, descripcion);
        const Criterio c = Filtros::texto(typed);
        QCOMPARE(std::pair(c.criterio, c.descripcion), std::pair(criterio, descripcion));
    }

    void numero_data()
    {
        QTest::addColumn<QString>("desde");
        QTest::addColumn<QString>("hasta");
        QTest::addColumn<QString>("criterio");
        QTest::addColumn<QString>("descripcion");
        QTest::addColumn<QString>("desdeQueda");
        QTest::newRow("both empty") << "" << "" << "Between 0 And 0" << " entre 0 y 0" << "0";
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
        QCOMPARE(std::tuple(c.criterio, c.descripcion, desde), std::tuple(criterio, descripcion, desdeQueda));
    }

    void fechaYSeleccion()
    {
        const auto fecha = [](int desde, int hasta, const QString& formato = u"DD/MM/YYYY"_s,
                              const QString& marca = u"#"_s) {
            return Filtros::fecha(QDate(2024, 3, desde), QDate(2024, 3, hasta), formato, marca);
        };
        const Criterio c = fecha(1, 15).value_or(Criterio());
        QCOMPARE(Filtros::condicion(u"FECHA"_s, c), u"(FECHA BETWEEN #01/03/2024# AND #15/03/2024#)"_s);
        QCOMPARE(fecha(9, 9).value_or(Criterio()).descripcion, u" = 09/03/2024"_s);
        QCOMPARE(fecha(1, 2, u"YYYY-MM-DD"_s).value_or(Criterio()).criterio, u"BETWEEN #2024-03-01# AND #2024-03-02#"_s);
        QVERIFY(!fecha(2, 1));
        QCOMPARE(Filtros::condicion(u"FECHA"_s, {}), QString());

        // What the browser's filters do not reach: Shift with no filter yet,
        // and the ticket closing every order so that pages never repeat a row.
        Seleccion vacia;
        vacia.aplicaFiltro(u"(AUX2 Like 'x')"_s, u" = x"_s, u"Dato 1"_s, true);
        QCOMPARE(std::pair(vacia.filtro, vacia.descFiltro), std::pair(u" WHERE (AUX2 Like 'x')"_s, u" (Dato 1 = x)"_s));

        // Several filters at once after "Totales": the first reads as chosen
        // without Shift, the next as with it; a caption without its colon
        // keeps its last letter.
        Seleccion varios;
        varios.aplicaTotales(true);
        varios.sumaFiltro(u"AUX1"_s, Filtros::texto(u"AB*"_s), u" Patente "_s);
        varios.sumaFiltro(u"FECHA"_s, fecha(8, 8).value_or(Criterio()), u"Fecha y Hora:"_s);
        QCOMPARE(std::pair(varios.filtro, varios.descFiltro),
                 std::pair(u" WHERE (OPCION1 <> 0) AND (AUX1 Like 'AB%') AND (FECHA BETWEEN #08/03/2024# AND #08/03/2024#)"_s,
                           u" (Patente = AB*) y (Fecha y Hora = 08/03/2024)"_s));

        Seleccion f;
        f.campoOrden = u"FECHA, HORA"_s;
        QCOMPARE(f.ordenCompleto(), u"FECHA ASC, HORA ASC, TICKET ASC"_s);
        QCOMPARE(f.ordenCompleto(true), u"FECHA DESC, HORA DESC, TICKET DESC"_s);
        QCOMPARE(Seleccion().ordenCompleto(), u"TICKET ASC"_s);
    }

    // The description the headings show, for every way of reaching two
    // filters and "Totales": never a leading " y " nor an empty part, and
    // the statement keeps each condition once.
    void descripcionDeVariosFiltros_data()
    {
        QTest::addColumn<QString>("pasos"); // T: totals on, t: off, A/B: a filter (+: with Shift), C: cancelled
        QTest::addColumn<QString>("filtro");
        QTest::addColumn<QString>("descripcion");
        const QString a = u"(TICKET Between 1 And 60)"_s, b = u"(AUX1 Like 'x%')"_s;
        const QString da = u" (Ticket entre 1 y 60)"_s, db = u" (Dato 0 = x*)"_s;
        QTest::newRow("totals, then one with Shift") << "T +A" << u" WHERE (OPCION1 <> 0) AND "_s + a << da;
        QTest::newRow("totals, then one") << "T A" << u" WHERE (OPCION1 <> 0) AND "_s + a << da;
        QTest::newRow("totals, then two with Shift") << "T +A +B" << u" WHERE (OPCION1 <> 0) AND "_s + a + u" AND "_s + b
                                                  << da + u" y"_s + db;
        QTest::newRow("one, then another with Shift") << "A +B" << u" WHERE "_s + a + u" AND "_s + b << da + u" y"_s + db;
        QTest::newRow("one, then another replaces it") << "A B" << u" WHERE "_s + b << db;
        QTest::newRow("totals after a filter clear it") << "A T +B" << u" WHERE (OPCION1 <> 0) AND "_s + b << db;
        QTest::newRow("cancelled under totals, then Shift") << "T A C +B" << u" WHERE (OPCION1 <> 0)  AND "_s + b << db;
        QTest::newRow("totals off, then Shift") << "T t +A" << u" WHERE "_s + a << da;
        QTest::newRow("Shift alone") << "+A" << u" WHERE "_s + a << da;
    }
    void descripcionDeVariosFiltros()
    {
        QFETCH(QString, pasos);
        QFETCH(QString, filtro);
        QFETCH(QString, descripcion);
        Seleccion s;
        for (const QString& p : pasos.split(u' ')) {
            const bool shift = p.startsWith(u'+');
            const QChar que = p.back();
            if (que == u'T' || que == u't')
                s.aplicaTotales(que == u'T');
            else if (que == u'C')
                s.aplicaFiltro({}, {}, u"Ticket"_s, false);
            else if (que == u'A')
                s.aplicaFiltro(u"(TICKET Between 1 And 60)"_s, u" entre 1 y 60"_s, u"Ticket"_s, shift);
            else
                s.aplicaFiltro(u"(AUX1 Like 'x%')"_s, u" = x*"_s, u"Dato 0"_s, shift);
        }
        QCOMPARE(std::pair(s.filtro, s.descFiltro), std::pair(filtro, descripcion));
    }

    // A line's number as an operator, a command line or a query may give
    // it: only a whole number of a line there can be.
    void numeroLinea_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("numero");
        QTest::newRow("one") << "1" << 1;
        QTest::newRow("blanks, leading zero") << " 07 " << 7;
        QTest::newRow("the last line") << "16" << 16;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("beyond the last") << "17" << 0;
        QTest::newRow("huge") << "99999999999999999999" << 0;
        QTest::newRow("negative") << "-1" << 0;
        QTest::newRow("plus sign") << "+2" << 0;
        QTest::newRow("decimal") << "1.0" << 0;
        QTest::newRow("word") << "dos" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("quote") << "1' OR '1'='1" << 0;
        QTest::newRow("statement after it") << "2; DROP TABLE Reporte" << 0;
        QTest::newRow("digits of another script") << "\u0662" << 0;
    }
    void numeroLinea()
    {
        QFETCH(QString, typed);
        QFETCH(int, numero);
        QCOMPARE(Filtros::numeroLinea(typed), numero);
    }

    // Line 1 takes the rows written before there were lines; a line is
    // described by the name the plant gave it, else by its number; with
    // other filters and "Totales" each condition keeps its parentheses.
    void criterioLinea()
    {
        QCOMPARE(Filtros::condicion(u"LINEA"_s, Filtros::linea(1)), u"(LINEA IS NULL OR LINEA = 1)"_s);
        QCOMPARE(Filtros::condicion(u"LINEA"_s, Filtros::linea(12, u"Molino"_s)), u"(LINEA = 12)"_s);
        QCOMPARE((QStringList{Filtros::linea(1).descripcion, Filtros::linea(2, u"Molino"_s).descripcion,
                              Filtros::linea(3, u"Línea 3"_s).descripcion}),
                 (QStringList{u" = 1"_s, u" = Molino"_s, u" = 3"_s}));
        Seleccion s;
        s.aplicaTotales(true);
        s.sumaFiltro(u"LINEA"_s, Filtros::linea(1), u"Línea:"_s);
        s.sumaFiltro(u"AUX1"_s, Filtros::texto(u"x"_s), u"Dato 0:"_s);
        QCOMPARE(std::pair(s.filtro, s.descFiltro),
                 std::pair(u" WHERE (OPCION1 <> 0) AND (LINEA IS NULL OR LINEA = 1) AND (AUX1 Like 'x')"_s,
                           u" (Línea = 1) y (Dato 0 = x)"_s));
        QCOMPARE(Filtros::errorLinea(), u"La línea debe ser un número entero de 1 a 16."_s);
    }

    // The line's frame lists the plant's lines by their descriptions; a
    // number typed is taken too (a line taken away keeps its rows), and a
    // text that is not a line's number is refused with the dialog open.
    void dialogoLinea()
    {
        DirectorioDePrueba dir;
        QVERIFY(Config::GuardaConfig(u"Global"_s, u"Comunicacion_2"_s, u"1"_s));
        QVERIFY(Config::GuardaConfig(u"Global"_s, u"Nombre_2"_s, u"Molino"_s));
        QVERIFY(Config::GuardaConfig(u"Global"_s, u"Comunicacion_4"_s, u"1"_s));
        const auto acepta = [](const std::function<void(QComboBox*)>& elige) {
            auto dlg = std::make_unique<frmFiltro>(NroLinea);
            dlg->show();
            elige(dlg->findChild<QComboBox*>(u"CboLinea"_s));
            QTest::mouseClick(dlg->findChild<QPushButton*>(u"CmdOkLinea"_s), Qt::LeftButton);
            return dlg;
        };
        QStringList lista;
        auto elegida = acepta([&lista](QComboBox* c) {
            for (int i = 0; i < c->count(); ++i)
                lista << c->itemText(i);
            c->setCurrentIndex(1);
        });
        QCOMPARE(lista, (QStringList{u"Línea 1"_s, u"Línea 2 (Molino)"_s, u"Línea 4"_s}));
        QVERIFY(elegida->aceptado());
        QCOMPARE(elegida->criterio() + u'|' + elegida->descripcion(), u"= 2| = Molino"_s);

        const auto escrita = acepta([](QComboBox* c) { c->setEditText(u" 1 "_s); });
        QCOMPARE(escrita->criterio() + u'|' + escrita->descripcion(), u"IS NULL OR LINEA = 1| = 1"_s);
        const auto quitada = acepta([](QComboBox* c) { c->setEditText(u"3"_s); });
        QCOMPARE(quitada->criterio() + u'|' + quitada->descripcion(), u"= 3| = 3"_s);

        for (const QString& malo : {u"dos"_s, u"17"_s, u"2' OR '1'='1"_s, QString()}) {
            MessageBox::limpiar();
            const auto dlg = acepta([&malo](QComboBox* c) { c->setEditText(malo); });
            QVERIFY2(dlg->isVisible() && !dlg->aceptado() && dlg->criterio().isEmpty(), qPrintable(malo));
            QCOMPARE(MessageBox::mostrados().size(), 1);
            const MessageBox::Mostrado m = MessageBox::mostrados().at(0);
            QCOMPARE(m.texto + u'|' + m.titulo, u"La línea debe ser un número entero de 1 a 16.|Error"_s);
        }
    }

    // The dialog's answer: Enter on the text, letters in the number boxes
    // replaced by what was read, a reversed date range refused.
    void dialogo()
    {
        frmFiltro texto(Texto);
        texto.show();
        QTest::keyClicks(texto.findChild<QLineEdit*>(u"TxtDato"_s), u"ab*"_s);
        QTest::keyClick(texto.findChild<QLineEdit*>(u"TxtDato"_s), Qt::Key_Return);
        QVERIFY(texto.aceptado());
        QCOMPARE(texto.result(), int(QDialog::Accepted));
        QCOMPARE(texto.criterio() + u'|' + texto.descripcion(), u"Like 'ab%'| = ab*"_s);

        frmFiltro numero(Numero);
        numero.show();
        numero.findChild<QLineEdit*>(u"TxtNumero_0"_s)->setText(u"abc"_s);
        numero.findChild<QLineEdit*>(u"TxtNumero_1"_s)->setText(u"5"_s);
        QTest::mouseClick(numero.findChild<QPushButton*>(u"CmdOkNumero"_s), Qt::LeftButton);
        QCOMPARE(numero.criterio(), u"Between 0 And 5"_s);
        QCOMPARE(numero.findChild<QLineEdit*>(u"TxtNumero_0"_s)->text(), u"0"_s);

        frmFiltro dlg(Fecha);
        dlg.show();
        const auto fechas = [&dlg](const QDate& d1, const QDate& d2) {
            dlg.findChild<QDateEdit*>(u"Fecha1"_s)->setDate(d1);
            dlg.findChild<QDateEdit*>(u"Fecha2"_s)->setDate(d2);
            QTest::mouseClick(dlg.findChild<QPushButton*>(u"CmdOkFecha"_s), Qt::LeftButton);
        };
        fechas(QDate(2024, 3, 15), QDate(2024, 3, 1));
        // Reversed: the message, and the dialog stays open without a result.
        QCOMPARE(MessageBox::mostrados().size(), 1);
        const MessageBox::Mostrado m = MessageBox::mostrados().at(0);
        QCOMPARE(m.texto + u'|' + m.titulo, u"Error en el rango de fechas|Error"_s);
        QCOMPARE(m.icono, MessageBox::Critico);
        QVERIFY(dlg.isVisible() && !dlg.aceptado());
        QCOMPARE(dlg.criterio(), QString());

        Programa::Fecha_Chr = u"'"_s;
        fechas(QDate(2024, 3, 1), QDate(2024, 3, 15));
        QVERIFY(dlg.aceptado());
        QCOMPARE(dlg.criterio(), u"BETWEEN '01/03/2024' AND '15/03/2024'"_s);
        QCOMPARE(dlg.descripcion(), u" entre 01/03/2024 y 15/03/2024"_s);
    }

    // Each kind of filter shows its own frame only, dates starting at today.
    // Each frame's Cancelar, then Esc: no result.
    void dialogoMarcos()
    {
        const QList<std::pair<int, const char*>> casos{{Texto, "CmdCancelDato"},
                                                       {Numero, "CmdCancelNumero"},
                                                       {Fecha, "CmdCancelFecha"},
                                                       {NroLinea, "CmdCancelLinea"},
                                                       {Texto, nullptr}};
        for (const auto& [tipo, boton] : casos) {
            frmFiltro dlg(tipo);
            const int activo = tipo == Texto ? 0 : tipo == Numero ? 1 : tipo == Fecha ? 2 : 3;
            for (int i = 0; i < 4; ++i) {
                auto* f = dlg.findChild<QFrame*>(u"FrmTipo_%1"_s.arg(i));
                QCOMPARE(f->isVisibleTo(&dlg), i == activo);
                QCOMPARE(f->isEnabled(), i == activo);
            }
            if (tipo == Fecha) {
                QCOMPARE(dlg.findChild<QDateEdit*>(u"Fecha1"_s)->date(), QDate::currentDate());
                QCOMPARE(dlg.findChild<QDateEdit*>(u"Fecha2"_s)->date(), QDate::currentDate());
            }
            dlg.show();
            dlg.findChild<QLineEdit*>(u"TxtDato"_s)->setText(u"algo"_s);
            if (boton)
                QTest::mouseClick(dlg.findChild<QPushButton*>(QString::fromLatin1(boton)), Qt::LeftButton);
            else
                QTest::keyClick(&dlg, Qt::Key_Escape);
            QVERIFY(!dlg.aceptado() && !dlg.isVisible());
            QCOMPARE(dlg.criterio() + dlg.descripcion(), QString());
        }
    }
};

QTEST_MAIN(TstReportsFiltro)
#include "tst_reports_filtro.moc"

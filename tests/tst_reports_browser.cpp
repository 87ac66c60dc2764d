#include <QCheckBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlQueryModel>
#include <QTableView>
#include <QToolButton>
#include <QtTest>

#include "Config.h"
#include "MessageBox.h"
#include "ModeloReporte.h"
#include "ReportesPrueba.h"
#include "frmComandos.h"
#include "frmDataGrid.h"
#include "frmFiltro.h"
#include "frmPLANILLA.h"

namespace {
constexpr int kFilas = 300;

QString valor(frmPLANILLA& b, int indice)
{
    return b.findChild<QLabel*>(QStringLiteral("Lbl_Dato_%1").arg(indice))->text();
}

void dobleClic(frmPLANILLA& b, const QString& nombre, Qt::KeyboardModifiers m = {})
{
    auto* w = b.findChild<QWidget*>(nombre);
    QVERIFY2(w, qPrintable(nombre));
    QTest::mouseDClick(w, Qt::LeftButton, m);
}

void textoEnDialogo(const QString& texto)
{
    alAbrirse<frmFiltro>([texto](frmFiltro* d) {
        d->findChild<QLineEdit*>(QStringLiteral("TxtDato"))->setText(texto);
        QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("CmdOkDato")), Qt::LeftButton);
    });
}

void rangoEnDialogo(const QString& desde, const QString& hasta)
{
    alAbrirse<frmFiltro>([desde, hasta](frmFiltro* d) {
        d->findChild<QLineEdit*>(QStringLiteral("TxtNumero_0"))->setText(desde);
        d->findChild<QLineEdit*>(QStringLiteral("TxtNumero_1"))->setText(hasta);
        QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("CmdOkNumero")), Qt::LeftButton);
    });
}

void fechasEnDialogo(const QDate& d1, const QDate& d2)
{
    alAbrirse<frmFiltro>([d1, d2](frmFiltro* d) {
        d->findChild<QDateEdit*>(QStringLiteral("Fecha1"))->setDate(d1);
        d->findChild<QDateEdit*>(QStringLiteral("Fecha2"))->setDate(d2);
        QTest::mouseClick(d->findChild<QPushButton*>(QStringLiteral("CmdOkFecha")), Qt::LeftButton);
    });
}

void cancelaDialogo()
{
    alAbrirse<frmFiltro>([](frmFiltro* d) { d->reject(); });
}

int cuenta(const QString& condicion)
{
    return consultaValor(QStringLiteral("SELECT COUNT(*) FROM %1 %2").arg(Programa::DataTbReporte, condicion)).toInt();
}
} // namespace

class TstReportsBrowser : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { MessageBox::setScripted(true); }
    void init()
    {
        MessageBox::limpiar();
        Programa::NivelActual.clear();
    }

    void abre();
    void ordena();
    void ordena_data() { datosMotor(); }
    void filtra();
    void filtra_data() { datosMotor(); }
    void totales();
    void elimina();
    void elimina_data() { datosMotor(); }
    void anota();
    void sentenciaRechazada();
    void falloAlCargar();
    void grilla();
    void recorre();
    void recorre_data();
    void comandos();
    void comandos_data() { datosMotor(); }
    void capturas();
    void capturasManual();

private:
    void datosMotor()
    {
        QTest::addColumn<QString>("postgres");
        QTest::newRow("sqlite") << QString();
        QTest::newRow("postgresql") << QStringLiteral("pg");
    }
    // The fixture's engine; false when the row needs a server we lack.
    static bool motor(QString& postgres)
    {
        if (postgres.isEmpty())
            return true;
        postgres = conexionPostgres();
        return !postgres.isEmpty();
    }
};

void TstReportsBrowser::abre()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato0"), QStringLiteral("Cliente:")));
    QVERIFY(insertaFilas(kFilas));
    frmPLANILLA b;
    QVERIFY(b.cargado());
    QCOMPARE(b.windowTitle(), QStringLiteral("Reporte General de Pesadas realizadas"));
    QCOMPARE(b.textoNavegador(), QStringLiteral("Reporte: 1/%1  ").arg(kFilas));
    QCOMPARE(b.sentencia(), QStringLiteral("SELECT * FROM Reporte ORDER BY TICKET ASC"));
    QCOMPARE(valor(b, 0), QStringLiteral("1"));
    QCOMPARE(valor(b, 7), FilaPrueba::de(1).aux1);
    QCOMPARE(valor(b, 5), FilaPrueba::de(1).fecha.toString(QStringLiteral("dd/MM/yyyy")));
    QCOMPARE(valor(b, 6), FilaPrueba::de(1).hora.toString(QStringLiteral("HH:mm:ss")));
    QCOMPARE(b.findChild<QLabel*>(QStringLiteral("lbl_campo_7"))->text(), QStringLiteral("Cliente:"));
    QCOMPARE(b.findChild<QLabel*>(QStringLiteral("lbl_campo_8"))->text(), QStringLiteral("Dato 1:"));

    // Navigator: last, previous, next.
    b.findChild<QToolButton*>(QStringLiteral("Data1_Ultimo"))->click();
    QCOMPARE(b.textoNavegador(), QStringLiteral("Reporte: %1/%1  ").arg(kFilas));
    QCOMPARE(valor(b, 0), QString::number(kFilas));
    b.findChild<QToolButton*>(QStringLiteral("Data1_Anterior"))->click();
    QCOMPARE(valor(b, 0), QString::number(kFilas - 1));
    b.findChild<QToolButton*>(QStringLiteral("Data1_Primero"))->click();
    b.findChild<QToolButton*>(QStringLiteral("Data1_Siguiente"))->click();
    QCOMPARE(valor(b, 0), QStringLiteral("2"));

    // A total record's TOTAL in red bold, others in blue.
    auto* total = b.findChild<QLabel*>(QStringLiteral("Lbl_Dato_1"));
    QVERIFY(total->styleSheet().contains(QStringLiteral("rgb(0, 0, 255)")));
    b.mover(4); // ticket 5 closes a dispatch
    QVERIFY(total->styleSheet().contains(QStringLiteral("rgb(255, 0, 0)")));
    QVERIFY(total->styleSheet().contains(QStringLiteral("bold")));

    // The delete button is for installers only.
    auto* del = b.findChild<QPushButton*>(QStringLiteral("cmdDelete"));
    b.show();
    QVERIFY(!del->isVisible());
    Programa::NivelActual = QStringLiteral("Gerencia");
    QTest::keyClick(b.findChild<QLineEdit*>(QStringLiteral("txt_Dato_0")), Qt::Key_E, Qt::ControlModifier);
    QVERIFY(!del->isVisible());
    Programa::NivelActual = QStringLiteral("Instalador");
    QTest::keyClick(b.findChild<QLineEdit*>(QStringLiteral("txt_Dato_0")), Qt::Key_E, Qt::AltModifier);
    QVERIFY(!del->isVisible());
    QTest::keyClick(b.findChild<QLineEdit*>(QStringLiteral("txt_Dato_0")), Qt::Key_E, Qt::ControlModifier);
    QVERIFY(del->isVisible());
    QCOMPARE(del->toolTip(), QStringLiteral("Eliminar hasta este reporte"));

    // Shift held down and let go.
    QTest::keyPress(&b, Qt::Key_Shift, Qt::ShiftModifier);
    QVERIFY(b.shiftPulsado());
    QTest::keyRelease(&b, Qt::Key_Shift, Qt::NoModifier);
    QVERIFY(!b.shiftPulsado());
}

void TstReportsBrowser::ordena()
{
    QFETCH(QString, postgres);
    if (!motor(postgres))
        QSKIP("TOLVEX_TEST_PG no está definido");
    InstalacionDePrueba inst(postgres);
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(kFilas));
    frmPLANILLA b;
    QVERIFY(b.cargado());
    const QString tabla = Programa::DataTbReporte;

    dobleClic(b, QStringLiteral("lbl_campo_7"));
    QCOMPARE(b.sentencia(), QStringLiteral("SELECT * FROM %1 ORDER BY AUX1 ASC").arg(tabla));
    QCOMPARE(b.posicion(), 0);
    // Each engine's own collation decides between "Acme" and "abeto"; the
    // browser shows the engine's first row, ties in ticket order.
    const QString primero = consultaValor(QStringLiteral("SELECT AUX1 FROM %1 ORDER BY AUX1 ASC, TICKET ASC").arg(tabla)).toString();
    const QString primerTicket = consultaValor(QStringLiteral("SELECT TICKET FROM %1 ORDER BY AUX1 ASC, TICKET ASC").arg(tabla)).toString();
    QCOMPARE(valor(b, 7), primero);
    QCOMPARE(valor(b, 0), primerTicket);
    b.ultimo();
    const QString ultimoTicket = consultaValor(QStringLiteral("SELECT TICKET FROM %1 ORDER BY AUX1 DESC, TICKET DESC").arg(tabla)).toString();
    QCOMPARE(valor(b, 0), ultimoTicket);
    QCOMPARE(b.textoNavegador(), QStringLiteral("Reporte: %1/%1  ").arg(kFilas));

    dobleClic(b, QStringLiteral("lbl_campo_5"));
    QCOMPARE(b.sentencia(), QStringLiteral("SELECT * FROM %1 ORDER BY FECHA, HORA ASC").arg(tabla));
    QCOMPARE(valor(b, 0), QStringLiteral("1"));

    dobleClic(b, QStringLiteral("lbl_campo_1"));
    QCOMPARE(b.seleccion().campoOrden, QStringLiteral("TOTAL"));
    const double menor = consultaValor(QStringLiteral("SELECT MIN(TOTAL) FROM %1").arg(tabla)).toDouble();
    QCOMPARE(b.modelo()->valor(0, ModeloReporte::TOTAL).toDouble(), menor);
    // Walking the whole set in the grid's order sees every row once, sorted.
    double anterior = -1;
    QSet<qint64> vistos;
    for (int i = 0; i < b.cantidad(); ++i) {
        const double t = b.modelo()->valor(i, ModeloReporte::TOTAL).toDouble();
        QVERIFY(t >= anterior);
        anterior = t;
        vistos.insert(b.modelo()->valor(i, ModeloReporte::TICKET).toLongLong());
    }
    QCOMPARE(vistos.size(), kFilas);

    for (const QString& c : {QStringLiteral("lbl_campo_2"), QStringLiteral("lbl_campo_3"), QStringLiteral("lbl_campo_4"),
                             QStringLiteral("lbl_campo_20"), QStringLiteral("lbl_campo_12")}) {
        dobleClic(b, c);
        QCOMPARE(b.posicion(), 0);
    }
    QCOMPARE(b.seleccion().campoOrden, QStringLiteral("AUX6"));

    // Values without a filter do nothing: no dialog, nothing changes.
    const QString antes = b.sentencia();
    for (int i : {1, 2, 3, 4, 6, 20}) {
        dobleClic(b, QStringLiteral("Lbl_Dato_%1").arg(i));
        QCOMPARE(b.sentencia(), antes);
    }
    QVERIFY(MessageBox::mostrados().isEmpty());
}

void TstReportsBrowser::filtra()
{
    QFETCH(QString, postgres);
    if (!motor(postgres))
        QSKIP("TOLVEX_TEST_PG no está definido");
    InstalacionDePrueba inst(postgres);
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(kFilas));
    frmPLANILLA b;
    QVERIFY(b.cargado());
    const QString tabla = Programa::DataTbReporte;
    const bool pg = !postgres.isEmpty();

    // The worked example: a text filter, then with Shift a ticket range.
    textoEnDialogo(QStringLiteral("ab*"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    QCOMPARE(b.seleccion().filtro, QStringLiteral(" WHERE (AUX1 Like 'ab%')"));
    QCOMPARE(b.seleccion().campoOrden, QStringLiteral("AUX1"));
    QCOMPARE(b.windowTitle(), QStringLiteral("Reporte Parcial de Pesadas realizadas"));
    // "ab%" matches abeto and abrojo (and, case-insensitively, nothing else).
    const int ab = kFilas * 2 / 5;
    QCOMPARE(b.cantidad(), ab);
    QCOMPARE(b.textoNavegador(), QStringLiteral("Reporte: 1/%1   (Dato 0 = ab*)").arg(ab));

    rangoEnDialogo(QStringLiteral("10"), QStringLiteral("20"));
    dobleClic(b, QStringLiteral("Lbl_Dato_0"), Qt::ShiftModifier);
    QCOMPARE(b.seleccion().filtro, QStringLiteral(" WHERE (AUX1 Like 'ab%') AND (TICKET Between 10 And 20)"));
    QCOMPARE(b.seleccion().descFiltro, QStringLiteral(" (Dato 0 = ab*) y (Ticket entre 10 y 20)"));
    QCOMPARE(b.cantidad(), 4); // 11, 14, 16, 19
    QCOMPARE(valor(b, 0), QStringLiteral("11"));

    // Without Shift the filter replaces the others.
    rangoEnDialogo(QStringLiteral("5"), QString());
    dobleClic(b, QStringLiteral("Lbl_Dato_0"));
    QCOMPARE(b.seleccion().filtro, QStringLiteral(" WHERE (TICKET Between 5 And 5)"));
    QCOMPARE(b.cantidad(), 1);

    // A quote in the text matches a quote.
    textoEnDialogo(QStringLiteral("O'Brien"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    QVERIFY(MessageBox::mostrados().isEmpty());
    QCOMPARE(b.cantidad(), kFilas / 5);
    QCOMPARE(valor(b, 7), QStringLiteral("O'Brien"));
    QCOMPARE(b.seleccion().descFiltro, QStringLiteral(" (Dato 0 = O'Brien)"));
    // An attempt to widen the statement stays a text.
    textoEnDialogo(QStringLiteral("x' OR '1'='1"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    QVERIFY(MessageBox::mostrados().isEmpty());
    QCOMPARE(b.cantidad(), 0);
    QCOMPARE(b.textoNavegador(), QStringLiteral("Reporte: 0/0   (Dato 0 = x' OR '1'='1)"));
    QCOMPARE(valor(b, 0), QString());

    // Case: LIKE ignores case on both engines.
    textoEnDialogo(QStringLiteral("ACME"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    QCOMPARE(b.cantidad(), kFilas / 5);
    Q_UNUSED(pg);

    // Date range: both limits included, sorted by date and time.
    fechasEnDialogo(QDate(2024, 3, 2), QDate(2024, 3, 3));
    dobleClic(b, QStringLiteral("Lbl_Dato_5"));
    QCOMPARE(b.seleccion().campoOrden, QStringLiteral("FECHA, HORA"));
    QCOMPARE(b.seleccion().descFiltro, QStringLiteral(" (Fecha y Hora entre 02/03/2024 y 03/03/2024)"));
    QCOMPARE(b.cantidad(), 40);
    QCOMPARE(valor(b, 0), QStringLiteral("20"));
    fechasEnDialogo(QDate(2024, 3, 2), QDate(2024, 3, 2));
    dobleClic(b, QStringLiteral("Lbl_Dato_5"));
    QCOMPARE(b.seleccion().descFiltro, QStringLiteral(" (Fecha y Hora = 02/03/2024)"));
    QCOMPARE(b.cantidad(), 20);

    // A letter-laden number range uses the leading numbers.
    rangoEnDialogo(QStringLiteral("1x"), QStringLiteral("3); DELETE FROM %1; --").arg(tabla));
    dobleClic(b, QStringLiteral("Lbl_Dato_0"));
    QCOMPARE(b.seleccion().filtro, QStringLiteral(" WHERE (TICKET Between 1 And 3)"));
    QCOMPARE(b.cantidad(), 3);
    QCOMPARE(cuenta({}), kFilas);

    // Cancelling clears every filter.
    cancelaDialogo();
    dobleClic(b, QStringLiteral("Lbl_Dato_9"));
    QCOMPARE(b.seleccion().filtro, QString());
    QCOMPARE(b.seleccion().descFiltro, QString());
    QCOMPARE(b.seleccion().campoOrden, QStringLiteral("AUX3"));
    QCOMPARE(b.windowTitle(), QStringLiteral("Reporte General de Pesadas realizadas"));
    QCOMPARE(b.cantidad(), kFilas);

    // With "Totales" ticked a filter keeps the restriction, and so does a cancel.
    b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->setChecked(true);
    textoEnDialogo(QStringLiteral("Acme"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    QCOMPARE(b.seleccion().filtro, QStringLiteral(" WHERE (OPCION1 <> 0) AND (AUX1 Like 'Acme')"));
    QCOMPARE(b.cantidad(), cuenta(QStringLiteral("WHERE OPCION1 <> 0 AND AUX1 = 'Acme'")));
    cancelaDialogo();
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    QCOMPARE(b.seleccion().filtro, QStringLiteral(" WHERE (OPCION1 <> 0) "));
    QCOMPARE(b.windowTitle(), QStringLiteral("Reporte Parcial de Pesadas realizadas"));
    QCOMPARE(b.cantidad(), kFilas / 5);
}

void TstReportsBrowser::totales()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(kFilas));
    frmPLANILLA b;
    textoEnDialogo(QStringLiteral("abeto"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    QCOMPARE(b.cantidad(), kFilas / 5);
    auto* chk = b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"));
    QCOMPARE(chk->text(), QStringLiteral("Totales"));
    chk->setChecked(true);
    // The filter goes, the order is the ticket, the caption stays.
    QCOMPARE(b.seleccion().filtro, QStringLiteral(" WHERE (OPCION1 <> 0)"));
    QCOMPARE(b.seleccion().descFiltro, QString());
    QCOMPARE(b.seleccion().campoOrden, QStringLiteral("TICKET"));
    QCOMPARE(b.windowTitle(), QStringLiteral("Reporte Parcial de Pesadas realizadas"));
    QCOMPARE(b.cantidad(), kFilas / 5);
    QCOMPARE(valor(b, 0), QStringLiteral("5"));
    QVERIFY(b.findChild<QLabel*>(QStringLiteral("Lbl_Dato_1"))->styleSheet().contains(QStringLiteral("rgb(255, 0, 0)")));
    chk->setChecked(false);
    QCOMPARE(b.seleccion().filtro, QString());
    QCOMPARE(b.cantidad(), kFilas);
    QCOMPARE(b.windowTitle(), QStringLiteral("Reporte Parcial de Pesadas realizadas"));
}

void TstReportsBrowser::elimina()
{
    QFETCH(QString, postgres);
    if (!motor(postgres))
        QSKIP("TOLVEX_TEST_PG no está definido");
    InstalacionDePrueba inst(postgres);
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(kFilas));
    frmPLANILLA b;
    QVERIFY(b.cargado());
    const QString tabla = Programa::DataTbReporte;
    auto* del = b.findChild<QPushButton*>(QStringLiteral("cmdDelete"));

    // First press on a filtered, sorted set only shows all records by ticket.
    b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->setChecked(true);
    dobleClic(b, QStringLiteral("lbl_campo_7"));
    del->click();
    QCOMPARE(b.sentencia(), QStringLiteral("SELECT * FROM %1 ORDER BY TICKET ASC").arg(tabla));
    QVERIFY(!b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->isChecked());
    QCOMPARE(b.cantidad(), kFilas);
    QVERIFY(MessageBox::mostrados().isEmpty());

    // Second press on record 5: the question; Cancel keeps everything.
    b.mover(4);
    MessageBox::setNextAnswer(QMessageBox::Cancel);
    del->click();
    QCOMPARE(MessageBox::mostrados().size(), 1);
    const MessageBox::Mostrado m = MessageBox::mostrados().at(0);
    QCOMPARE(m.texto, QStringLiteral("Desea eliminar los reportes del 1 al 5 ? "));
    QCOMPARE(m.titulo, QStringLiteral("Atencion"));
    QCOMPARE(m.icono, MessageBox::Critico);
    QCOMPARE(m.botones, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(m.porDefecto, QMessageBox::Cancel);
    QCOMPARE(cuenta({}), kFilas);

    MessageBox::setNextAnswer(QMessageBox::Ok);
    del->click();
    QCOMPARE(cuenta({}), kFilas - 5);
    QCOMPARE(cuenta(QStringLiteral("WHERE TICKET <= 5")), 0);
    QCOMPARE(b.cantidad(), kFilas - 5);
    QCOMPARE(b.posicion(), 0);
    QCOMPARE(valor(b, 0), QStringLiteral("6"));
}

void TstReportsBrowser::anota()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(20));
    frmPLANILLA b;
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b));
    auto* info = b.findChild<QLineEdit*>(QStringLiteral("txt_Dato_0"));
    QVERIFY(info->isReadOnly());
    const QColor fondo = b.palette().color(QPalette::Window);
    QCOMPARE(info->palette().color(QPalette::Base), fondo);
    b.mover(2);
    QTest::mouseDClick(info, Qt::LeftButton);
    QVERIFY(!info->isReadOnly());
    QCOMPARE(info->palette().color(QPalette::Base), QColor(255, 255, 192));
    info->setFocus();
    info->selectAll();
    QTest::keyClicks(info, QStringLiteral("revisar 'balanza'"));
    b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->setFocus();
    QVERIFY(info->isReadOnly());
    QCOMPARE(info->palette().color(QPalette::Base), fondo);
    // Written when moving on.
    QCOMPARE(consultaValor(QStringLiteral("SELECT INFO FROM Reporte WHERE TICKET = 3")).toString(), QString());
    b.mover(3);
    QCOMPARE(consultaValor(QStringLiteral("SELECT INFO FROM Reporte WHERE TICKET = 3")).toString(),
             QStringLiteral("revisar 'balanza'"));
    QCOMPARE(consultaValor(QStringLiteral("SELECT COUNT(*) FROM Reporte WHERE INFO <> ''")).toInt(), 1);
    b.mover(2);
    QCOMPARE(info->text(), QStringLiteral("revisar 'balanza'"));
    // And when the screen closes.
    info->setText(QStringLiteral("cerrado"));
    b.close();
    QCOMPARE(consultaValor(QStringLiteral("SELECT INFO FROM Reporte WHERE TICKET = 3")).toString(),
             QStringLiteral("cerrado"));
}

void TstReportsBrowser::sentenciaRechazada()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(50));
    frmPLANILLA b;
    textoEnDialogo(QStringLiteral("Acme"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    b.mover(3);
    const QString antes = b.sentencia();
    const QString desc = b.seleccion().descFiltro;
    const int n = b.cantidad();
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        QVERIFY(db.Ejecuta(QStringLiteral("ALTER TABLE Reporte RENAME TO Otra")));
    }
    dobleClic(b, QStringLiteral("lbl_campo_0"));
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QCOMPARE(MessageBox::ultimoTexto(), QStringLiteral("La referencia de datos es incorrecta."));
    QCOMPARE(MessageBox::mostrados().at(0).icono, MessageBox::Critico);
    QCOMPARE(b.sentencia(), antes);
    QCOMPARE(b.seleccion().descFiltro, desc);
    QCOMPARE(b.cantidad(), n);
    QCOMPARE(b.posicion(), 3);

    b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->setChecked(true);
    QVERIFY(!b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->isChecked());
    QCOMPARE(b.sentencia(), antes);
    QCOMPARE(MessageBox::mostrados().size(), 2);
}

void TstReportsBrowser::falloAlCargar()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    Programa::DataCSReporte = QStringLiteral("Driver=SQLite;Data Source=no-existe.db");
    frmPLANILLA b;
    QVERIFY(!b.cargado());
    QCOMPARE(MessageBox::ultimoTexto(), QStringLiteral("La referencia de datos es incorrecta."));
    QCOMPARE(MessageBox::mostrados().at(0).titulo, QStringLiteral("Error"));
    QVERIFY(!QFile::exists(inst.file(QStringLiteral("no-existe.db"))));
}

void TstReportsBrowser::grilla()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(kFilas));
    frmPLANILLA b;
    dobleClic(b, QStringLiteral("lbl_campo_7"));
    b.mover(7);
    const QString ticket = valor(b, 0);
    QString titulo, antes, despues;
    int filas = 0;
    alAbrirse<frmDataGrid>([&](frmDataGrid* g) {
        titulo = g->windowTitle();
        filas = g->grilla()->model()->rowCount();
        antes = g->textoNavegador();
        QCOMPARE(g->grilla()->currentIndex().row(), 7);
        QCOMPARE(g->grilla()->model()->index(7, 0).data().toString(), ticket);
        g->grilla()->setCurrentIndex(g->grilla()->model()->index(kFilas - 2, 0));
        despues = g->textoNavegador();
        g->accept();
    });
    b.findChild<QPushButton*>(QStringLiteral("cmdGrid"))->click();
    QCOMPARE(titulo, QStringLiteral("Tabla de Reporte General de Pesadas realizadas"));
    QCOMPARE(filas, kFilas);
    QCOMPARE(antes, QStringLiteral("Dato: 8/%1").arg(kFilas));
    QCOMPARE(despues, QStringLiteral("Dato: %1/%2").arg(kFilas - 1).arg(kFilas));
    // The browser follows the grid.
    QCOMPARE(b.posicion(), kFilas - 2);
    QCOMPARE(b.textoNavegador(), QStringLiteral("Reporte: %1/%2  ").arg(kFilas - 1).arg(kFilas));
}

void TstReportsBrowser::recorre_data()
{
    QTest::addColumn<QString>("postgres");
    QTest::addColumn<QString>("campo");
    QTest::addColumn<QString>("filtro");
    QTest::addColumn<bool>("nulos");
    for (const QString& pg : {QString(), QStringLiteral("pg")}) {
        const QString m = pg.isEmpty() ? QStringLiteral("sqlite") : QStringLiteral("postgresql");
        QTest::addRow("%s AUX1", qPrintable(m)) << pg << "AUX1" << QString() << false;
        QTest::addRow("%s FECHA, HORA", qPrintable(m)) << pg << "FECHA, HORA" << QString() << false;
        QTest::addRow("%s TOTAL filtrado", qPrintable(m))
            << pg << "TOTAL" << " WHERE (OPCION1 <> 0) OR (TOTAL > 0)" << false;
        QTest::addRow("%s AUX1 con vacíos", qPrintable(m)) << pg << "AUX1" << QString() << true;
    }
}

// Walking a selection page by page, forwards and backwards, sees every row
// once in the engine's order, also across runs of equal keys longer than a
// page and while another program adds rows.
void TstReportsBrowser::recorre()
{
    QFETCH(QString, postgres);
    QFETCH(QString, campo);
    QFETCH(QString, filtro);
    QFETCH(bool, nulos);
    if (!motor(postgres))
        QSKIP("TOLVEX_TEST_PG no está definido");
    InstalacionDePrueba inst(postgres);
    QVERIFY(inst.ok());
    // 250 copies of row 1 under new tickets: every key repeats past a page edge.
    QList<FilaPrueba> copias;
    for (int i = 0; i < 250; ++i) {
        copias << FilaPrueba::de(1);
        copias.last().ticket = 1000 + (i * 7919) % 250;
    }
    QVERIFY(insertaFilas(kFilas, copias));
    CDatos db;
    QVERIFY(db.AbrirBase(Programa::DataCSReporte));
    const QString tabla = Programa::DataTbReporte;
    if (nulos)
        QVERIFY(db.Ejecuta(QStringLiteral("UPDATE %1 SET AUX1 = NULL WHERE TICKET % 7 IN (0, 3, 5)").arg(tabla)));
    Filtros::Seleccion sel;
    sel.campoOrden = campo;
    sel.filtro = filtro;
    QVERIFY(db.AbreRegistro(QStringLiteral("SELECT TICKET FROM %1%2 ORDER BY %3").arg(tabla, filtro, sel.ordenCompleto())));
    QList<qint64> esperado;
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        esperado << db.Campo(QStringLiteral("TICKET")).toLongLong();
    QVERIFY(esperado.size() > 2 * ModeloReporte::kPagina);

    // One model for every walk, as the screen keeps it across selections.
    ModeloReporte m;
    const auto recorrido = [&](bool haciaAtras) {
        QString error;
        const bool ok = m.selecciona(db.base(), db.motor(), tabla, filtro, sel.ordenCompleto(),
                                     sel.ordenCompleto(true), &error);
        QList<qint64> vistos;
        for (int i = 0; ok && i < m.rowCount(); ++i) {
            vistos << m.valor(haciaAtras ? m.rowCount() - 1 - i : i, ModeloReporte::TICKET).toLongLong();
        }
        if (haciaAtras)
            std::reverse(vistos.begin(), vistos.end());
        return vistos;
    };
    QCOMPARE(recorrido(false), esperado);
    QCOMPARE(recorrido(true), esperado);
    if (nulos)
        return; // read by position then, as rows of no key cannot be compared

    // Another workstation adds a row that sorts last after the first page
    // was read: the following pages neither repeat nor skip a row.
    QVERIFY(m.selecciona(db.base(), db.motor(), tabla, filtro, sel.ordenCompleto(), sel.ordenCompleto(true), nullptr));
    QCOMPARE(m.valor(0, ModeloReporte::TICKET).toLongLong(), esperado.first());
    CDatos otro;
    QVERIFY(otro.AbrirBase(Programa::DataCSReporte));
    QVERIFY(otro.Ejecuta(QStringLiteral("INSERT INTO %1 (TICKET, AUX1, TOTAL, FECHA, HORA, OPCION1) "
                                        "VALUES (5000, 'zzzz', 1e9, ?, ?, 1)").arg(tabla),
                         {QDate(2100, 1, 1), QTime(23, 0)}));
    for (int i = ModeloReporte::kPagina; i < 2 * ModeloReporte::kPagina; ++i)
        QCOMPARE(m.valor(i, ModeloReporte::TICKET).toLongLong(), esperado.at(i));
}

void TstReportsBrowser::comandos()
{
    QFETCH(QString, postgres);
    if (!motor(postgres))
        QSKIP("TOLVEX_TEST_PG no está definido");
    InstalacionDePrueba inst(postgres);
    QVERIFY(inst.ok());
    // Comandos is one shared table on a server: keep to our own operator.
    const QString op = QStringLiteral("op_") + QUuid::createUuid().toString(QUuid::Id128).left(8);
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        const QString sql = QStringLiteral("INSERT INTO Comandos (FECHA, HORA, OPERADOR, COMANDO, VALORES, RESULTADO) "
                                           "VALUES (?, ?, ?, ?, ?, ?)");
        // As the station records them: the command letter and its name,
        // values in the indicator's whole units.
        QVERIFY(db.Ejecuta(sql, {QDate(2024, 5, 1), QTime(9, 0), op, QStringLiteral("Z Cero"), QString(), QStringLiteral("OK")}));
        QVERIFY(db.Ejecuta(sql, {QDate(2024, 5, 3), QTime(8, 0), op, QStringLiteral("Programar"),
                                 QStringLiteral("Despacho=400000 CGrueso=90000 CFino=100050 TotalF=900200"),
                                 QStringLiteral("OK")}));
        QVERIFY(db.Ejecuta(sql, {QDate(2024, 5, 3), QTime(17, 30), op, QStringLiteral("V Arranque / Parada"), QString(),
                                 QStringLiteral("Sin respuesta")}));
        QVERIFY(db.Ejecuta(sql, {QDate(2024, 6, 1), QTime(7, 0), op, QStringLiteral("Reset"), QString(), QStringLiteral("OK")}));
    }
    QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Decimales_1"), QStringLiteral("2")));
    frmComandos w(Programa::DataCSReporte);
    QVERIFY(w.consulta(QDate(2024, 5, 1), QDate(2024, 5, 31)));
    QStringList vistos;
    for (int i = 0; i < w.modelo()->rowCount(); ++i) {
        if (w.modelo()->index(i, 2).data().toString() != op)
            continue;
        QStringList fila;
        for (int c = 0; c < 6; ++c)
            fila << w.modelo()->index(i, c).data().toString();
        vistos << fila.join(u'|');
    }
    QCOMPARE(vistos, (QStringList{QStringLiteral("03/05/2024|17:30:00|%1|Arranque / Parada||Sin respuesta").arg(op),
                                  QStringLiteral("03/05/2024|08:00:00|%1|Programación|Despacho (Preset): 4000.00 kg, "
                                                 "Corte Grueso: 900.00 kg, Corte Fino (Batch): 1000.50 kg, "
                                                 "Fin del despacho: 9002.00 kg|OK")
                                      .arg(op),
                                  QStringLiteral("01/05/2024|09:00:00|%1|Toma de Cero||OK").arg(op)}));
    QCOMPARE(w.modelo()->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Comando"));
    MessageBox::limpiar();
    QVERIFY(!w.consulta(QDate(2024, 6, 2), QDate(2024, 6, 1)));
    QCOMPARE(MessageBox::ultimoTexto(), QStringLiteral("Error en el rango de fechas"));
    if (!postgres.isEmpty()) {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        db.Ejecuta(QStringLiteral("DELETE FROM Comandos WHERE OPERADOR = ?"), {op});
    }
}

// Pictures of the screens for the documentation, when TOLVEX_CAPTURAS names
// a directory.
void TstReportsBrowser::capturas()
{
    const QString destino = qEnvironmentVariable("TOLVEX_CAPTURAS");
    if (destino.isEmpty())
        QSKIP("TOLVEX_CAPTURAS no está definido");
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato0"), QStringLiteral("Cliente:")));
    QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato1"), QStringLiteral("Camión:")));
    QVERIFY(insertaFilas(kFilas));
    Programa::NivelActual = QStringLiteral("Instalador");
    frmPLANILLA b;
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b));
    QTest::keyClick(&b, Qt::Key_E, Qt::ControlModifier);
    textoEnDialogo(QStringLiteral("ab*"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    b.mover(3);
    QVERIFY(b.grab().save(destino + QStringLiteral("/reports-browser.png")));

    frmFiltro f(Filtros::Fecha, &b);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QVERIFY(f.grab().save(destino + QStringLiteral("/reports-filter-date.png")));
    f.close();
    frmFiltro t(Filtros::Texto, &b);
    t.show();
    t.findChild<QLineEdit*>(QStringLiteral("TxtDato"))->setText(QStringLiteral("ab*"));
    QVERIFY(QTest::qWaitForWindowExposed(&t));
    QVERIFY(t.grab().save(destino + QStringLiteral("/reports-filter-text.png")));
    t.close();

    alAbrirse<frmDataGrid>([&](frmDataGrid* g) {
        QTest::qWait(50);
        g->grab().save(destino + QStringLiteral("/reports-grid.png"));
        g->accept();
    });
    b.findChild<QPushButton*>(QStringLiteral("cmdGrid"))->click();
    QVERIFY(QFile::exists(destino + QStringLiteral("/reports-grid.png")));
}

// The guide's pictures: three dispatches of five batches weighed today.
void TstReportsBrowser::capturasManual()
{
    const QString destino = qEnvironmentVariable("TOLVEX_CAPTURAS");
    if (destino.isEmpty())
        QSKIP("TOLVEX_CAPTURAS no está definido");
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    const QStringList nombres = {"Patente:", "Cliente:", "Producto:", "Destino:", "Remito:", "Observ.:"};
    for (int i = 0; i < 6; ++i)
        QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), nombres[i]));
    const QStringList productos = {"Maiz", "Trigo", "Mani"};
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        const QDate hoy = QDate::currentDate();
        double total = 0;
        for (int i = 1; i <= 15; ++i) {
            const double peso = 1000 + i % 3;
            total += peso;
            const QTime hora = QTime(8, 0).addSecs(i * 47);
            const bool cierra = i % 5 == 0;
            const QString nota = cierra ? QStringLiteral("-> TOTAL <- (%1 - %2)")
                                              .arg(hoy.toString(QStringLiteral("dd/MM/yyyy")),
                                                   hora.addSecs(9).toString(QStringLiteral("HH:mm:ss")))
                                        : QString();
            QVERIFY(db.Ejecuta(QStringLiteral("INSERT INTO %1 (TICKET, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL, "
                                              "PESO, BACH, PRESET, FECHA, HORA, INFO, OPERADOR, OPCION1) VALUES "
                                              "(?, 'AB 123 CD', 'Cereales del Sur', ?, 'Puerto', ?, '', ?, ?, "
                                              "1000, 5000, ?, ?, ?, 'Ana Gomez', ?)")
                                   .arg(Programa::DataTbReporte),
                               {i, productos[(i - 1) / 5], QStringLiteral("R-%1").arg(40 + (i - 1) / 5, 4, 10,
                                                                                     QLatin1Char('0')),
                                total, peso, hoy, hora, nota, cierra ? 1 : 0}));
        }
    }
    frmPLANILLA b;
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b));
    QCOMPARE(b.cantidad(), 15);
    b.mover(14);
    QVERIFY(b.grab().save(destino + QStringLiteral("/manual-reportes.png")));

    // The three filter dialogs, filled in as the guide's examples.
    const QList<std::tuple<int, const char*, QStringList>> dialogos = {
        {Filtros::Texto, "/manual-filtro-texto.png", {"TxtDato", "Ma*"}},
        {Filtros::Numero, "/manual-filtro-ticket.png", {"TxtNumero_0", "5", "TxtNumero_1", "9"}},
        {Filtros::Fecha, "/manual-filtro-fecha.png", {}}};
    for (const auto& [tipo, archivo, campos] : dialogos) {
        frmFiltro f(tipo, &b);
        for (int i = 0; i + 1 < campos.size(); i += 2) {
            auto* e = f.findChild<QLineEdit*>(campos[i]);
            QVERIFY2(e, qPrintable(campos[i]));
            e->setText(campos[i + 1]);
        }
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QVERIFY(f.grab().save(destino + QLatin1String(archivo)));
        f.close();
    }
    alAbrirse<frmDataGrid>([&](frmDataGrid* g) {
        QTest::qWait(50);
        g->grab().save(destino + QStringLiteral("/manual-cuadricula.png"));
        g->accept();
    });
    QFile::remove(destino + QStringLiteral("/manual-cuadricula.png"));
    b.findChild<QPushButton*>(QStringLiteral("cmdGrid"))->click();
    QVERIFY(QFile::exists(destino + QStringLiteral("/manual-cuadricula.png")));

    textoEnDialogo(QStringLiteral("Ma*"));
    dobleClic(b, QStringLiteral("Lbl_Dato_9"));
    rangoEnDialogo(QStringLiteral("5"), QStringLiteral("9"));
    dobleClic(b, QStringLiteral("Lbl_Dato_0"), Qt::ShiftModifier);
    QCOMPARE(b.seleccion().descFiltro, QStringLiteral(" (Producto = Ma*) y (Ticket entre 5 y 9)"));
    QCOMPARE(b.cantidad(), 1); // the first dispatch was maize, the third peanuts
    QVERIFY(b.grab().save(destino + QStringLiteral("/manual-filtro-combinado.png")));

    cancelaDialogo();
    dobleClic(b, QStringLiteral("Lbl_Dato_0"));
    b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->setChecked(true);
    QCOMPARE(b.cantidad(), 3);
    QVERIFY(b.grab().save(destino + QStringLiteral("/manual-totales.png")));
}

QTEST_MAIN(TstReportsBrowser)
#include "tst_reports_browser.moc"

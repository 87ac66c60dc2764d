#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
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
#include "NavegadorPrueba.h"
#include "frmComandos.h"
#include "frmDataGrid.h"
#include "frmFiltro.h"
#include "frmPLANILLA.h"

namespace {
constexpr int kFilas = 300;

QString valor(frmPLANILLA& b, int indice)
{
    return b.findChild<QLabel*>(u"Lbl_Dato_%1"_s.arg(indice))->text();
}

int cuenta(const QString& condicion)
{
    return consultaValor(u"SELECT COUNT(*) FROM %1 %2"_s.arg(Programa::DataTbReporte, condicion)).toInt();
}

// The browser's selection in one line: title word|filter|description|order|rows.
QString seleccion(frmPLANILLA& b)
{
    const Filtros::Seleccion& s = b.seleccion();
    return QStringList{b.windowTitle().section(u' ', 1, 1), s.filtro, s.descFiltro, s.campoOrden,
                       QString::number(b.cantidad())}
        .join(u'|');
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
    void ordenaFiltraYElimina();
    void ordenaFiltraYElimina_data() { datosMotor(); }
    void recorre();
    void recorre_data();
    void lineas();
    void lineas_data() { datosMotor(); }

private:
    void datosMotor()
    {
        QTest::addColumn<QString>("postgres");
        QTest::newRow("sqlite") << QString();
        QTest::newRow("postgresql") << u"pg"_s;
    }
};

void TstReportsBrowser::abre()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(Config::GuardaConfig(u"global"_s, u"Dato0"_s, u"Cliente:"_s));
    QVERIFY(insertaFilas(kFilas));
    frmPLANILLA b;
    QVERIFY(b.cargado());
    QCOMPARE(seleccion(b), u"General|||TICKET|%1"_s.arg(kFilas));
    QCOMPARE(b.textoNavegador(), u"Reporte: 1/%1  "_s.arg(kFilas));
    QCOMPARE(b.sentencia(), u"SELECT * FROM Reporte ORDER BY TICKET ASC"_s);
    const FilaPrueba f = FilaPrueba::de(1);
    QCOMPARE((QStringList{valor(b, 0), valor(b, 5), valor(b, 6), valor(b, 7)}),
             (QStringList{u"1"_s, f.fecha.toString(u"dd/MM/yyyy"_s), f.hora.toString(u"HH:mm:ss"_s), f.aux1}));
    QCOMPARE(b.findChild<QLabel*>(u"lbl_campo_7"_s)->text(), u"Cliente:"_s);
    QCOMPARE(b.findChild<QLabel*>(u"lbl_campo_8"_s)->text(), u"Dato 1:"_s);

    // Navigator: last, previous, next.
    b.findChild<QToolButton*>(u"Data1_Ultimo"_s)->click();
    QCOMPARE(b.textoNavegador(), u"Reporte: %1/%1  "_s.arg(kFilas));
    QCOMPARE(valor(b, 0), QString::number(kFilas));
    b.findChild<QToolButton*>(u"Data1_Anterior"_s)->click();
    QCOMPARE(valor(b, 0), QString::number(kFilas - 1));
    b.findChild<QToolButton*>(u"Data1_Primero"_s)->click();
    b.findChild<QToolButton*>(u"Data1_Siguiente"_s)->click();
    QCOMPARE(valor(b, 0), u"2"_s);

    // A total record's TOTAL in red bold, others in blue.
    auto* total = b.findChild<QLabel*>(u"Lbl_Dato_1"_s);
    QVERIFY(total->styleSheet().contains(u"rgb(0, 0, 255)"_s));
    b.mover(4); // ticket 5 closes a dispatch
    QVERIFY(total->styleSheet().contains(u"rgb(255, 0, 0)"_s) && total->styleSheet().contains(u"bold"_s));

    // The delete button is for installers only, shown by Ctrl+E.
    auto* del = b.findChild<QPushButton*>(u"cmdDelete"_s);
    auto* info = b.findChild<QLineEdit*>(u"txt_Dato_0"_s);
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b, kEspera));
    QVERIFY(!del->isVisible());
    Programa::NivelActual = u"Gerencia"_s;
    QTest::keyClick(info, Qt::Key_E, Qt::ControlModifier);
    QVERIFY(!del->isVisible());
    Programa::NivelActual = u"Instalador"_s;
    QTest::keyClick(info, Qt::Key_E, Qt::AltModifier);
    QVERIFY(!del->isVisible());
    QTest::keyClick(info, Qt::Key_E, Qt::ControlModifier);
    QVERIFY(del->isVisible());

    // Shift held down and let go.
    QTest::keyPress(&b, Qt::Key_Shift, Qt::ShiftModifier);
    QVERIFY(b.shiftPulsado());
    QTest::keyRelease(&b, Qt::Key_Shift, Qt::NoModifier);
    QVERIFY(!b.shiftPulsado());

    // The grid opens on the browser's record, and the browser follows it.
    dobleClic(b, u"lbl_campo_7"_s);
    b.mover(7);
    const QString ticket = valor(b, 0);
    QStringList visto;
    alAbrirse<frmDataGrid>([&](frmDataGrid* g) {
        visto << g->windowTitle() << QString::number(g->grilla()->model()->rowCount()) << g->textoNavegador();
        QCOMPARE(g->grilla()->currentIndex().row(), 7);
        QCOMPARE(g->grilla()->model()->index(7, 0).data().toString(), ticket);
        g->grilla()->setCurrentIndex(g->grilla()->model()->index(kFilas - 2, 0));
        visto << g->textoNavegador();
        g->accept();
    });
    b.findChild<QPushButton*>(u"cmdGrid"_s)->click();
    QCOMPARE(visto, (QStringList{u"Tabla de Reporte General de Pesadas realizadas"_s, QString::number(kFilas),
                                 u"Dato: 8/%1"_s.arg(kFilas), u"Dato: %1/%2"_s.arg(kFilas - 1).arg(kFilas)}));
    QCOMPARE(b.posicion(), kFilas - 2);
    QCOMPARE(b.textoNavegador(), u"Reporte: %1/%2  "_s.arg(kFilas - 1).arg(kFilas));

    // A note on the third record, editable after a double click.
    b.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&b, kEspera));
    b.mover(2);
    const QString anotado = valor(b, 0);
    const auto nota = [&anotado] {
        return consultaValor(u"SELECT INFO FROM Reporte WHERE TICKET = %1"_s.arg(anotado)).toString();
    };
    const QColor fondo = b.palette().color(QPalette::Window);
    QTest::mouseDClick(info, Qt::LeftButton);
    QVERIFY(!info->isReadOnly());
    QCOMPARE(info->palette().color(QPalette::Base), QColor(255, 255, 192));
    info->setFocus();
    info->selectAll();
    QTest::keyClicks(info, u"revisar 'balanza'"_s);
    b.findChild<QCheckBox*>(u"Chk_Total"_s)->setFocus();
    QVERIFY(info->isReadOnly());
    QCOMPARE(info->palette().color(QPalette::Base), fondo);
    // Written when moving on.
    QCOMPARE(nota(), QString());
    b.mover(3);
    QCOMPARE(nota(), u"revisar 'balanza'"_s);
    QCOMPARE(consultaValor(u"SELECT COUNT(*) FROM Reporte WHERE INFO <> ''"_s).toInt(), 1);
    b.mover(2);
    QCOMPARE(info->text(), u"revisar 'balanza'"_s);
    // And when the screen closes.
    info->setText(u"cerrado"_s);
    b.close();
    QCOMPARE(nota(), u"cerrado"_s);

    // A statement the database refuses (the table renamed away) and a
    // database that cannot be opened: the error box, and the browser as it was.
    MessageBox::limpiar();
    const QString error = caja({MessageBox::Critico, u"Error"_s, u"La referencia de datos es incorrecta."_s,
                                QMessageBox::Ok, QMessageBox::NoButton});
    frmPLANILLA r;
    textoEnDialogo(u"Acme"_s);
    dobleClic(r, u"Lbl_Dato_7"_s);
    r.mover(3);
    const QString antes = r.sentencia(), sel = seleccion(r);
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        QVERIFY(db.Ejecuta(u"ALTER TABLE Reporte RENAME TO Otra"_s));
    }
    dobleClic(r, u"lbl_campo_0"_s);
    QCOMPARE(cajas(), error);
    QCOMPARE(r.sentencia(), antes);
    QCOMPARE(seleccion(r), sel);
    QCOMPARE(r.posicion(), 3);

    r.findChild<QCheckBox*>(u"Chk_Total"_s)->setChecked(true);
    QVERIFY(!r.findChild<QCheckBox*>(u"Chk_Total"_s)->isChecked());
    QCOMPARE(r.sentencia(), antes);
    QCOMPARE(MessageBox::mostrados().size(), 2);

    MessageBox::limpiar();
    Programa::DataCSReporte = u"Driver=SQLite;Data Source=no-existe.db"_s;
    frmPLANILLA c;
    QVERIFY(!c.cargado());
    QCOMPARE(cajas(), error);
    QVERIFY(!QFile::exists(inst.file(u"no-existe.db"_s)));
}

// One browser on each engine sorted, filtered, then its first records
// deleted; then the commands window on that database.
void TstReportsBrowser::ordenaFiltraYElimina()
{
    INSTALACION_DEL_MOTOR(inst);
    QVERIFY(insertaFilas(kFilas));
    frmPLANILLA b;
    QVERIFY(b.cargado());
    const QString tabla = Programa::DataTbReporte;
    const auto primero = [&tabla](const QString& campo, const QString& orden) {
        return consultaValor(u"SELECT %1 FROM %2 ORDER BY %3"_s.arg(campo, tabla, orden)).toString();
    };

    dobleClic(b, u"lbl_campo_7"_s);
    QCOMPARE(b.sentencia(), u"SELECT * FROM %1 ORDER BY AUX1 ASC"_s.arg(tabla));
    QCOMPARE(b.posicion(), 0);
    // Each engine's own collation decides between "Acme" and "abeto"; the
    // browser shows the engine's first row, ties in ticket order.
    QCOMPARE(valor(b, 7), primero(u"AUX1"_s, u"AUX1 ASC, TICKET ASC"_s));
    QCOMPARE(valor(b, 0), primero(u"TICKET"_s, u"AUX1 ASC, TICKET ASC"_s));
    b.ultimo();
    QCOMPARE(valor(b, 0), primero(u"TICKET"_s, u"AUX1 DESC, TICKET DESC"_s));
    QCOMPARE(b.textoNavegador(), u"Reporte: %1/%1  "_s.arg(kFilas));

    dobleClic(b, u"lbl_campo_5"_s);
    QCOMPARE(b.sentencia(), u"SELECT * FROM %1 ORDER BY FECHA, HORA ASC"_s.arg(tabla));
    QCOMPARE(valor(b, 0), u"1"_s);

    dobleClic(b, u"lbl_campo_1"_s);
    QCOMPARE(b.seleccion().campoOrden, u"TOTAL"_s);
    QCOMPARE(b.modelo()->valor(0, ModeloReporte::TOTAL).toDouble(), primero(u"TOTAL"_s, u"TOTAL"_s).toDouble());
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

    for (int c : {2, 3, 4, 20, 12}) {
        dobleClic(b, u"lbl_campo_%1"_s.arg(c));
        QCOMPARE(b.posicion(), 0);
    }
    QCOMPARE(b.seleccion().campoOrden, u"AUX6"_s);

    // Values without a filter do nothing: no dialog, nothing changes.
    const QString antes = b.sentencia();
    for (int i : {1, 2, 3, 4, 6, 20}) {
        dobleClic(b, u"Lbl_Dato_%1"_s.arg(i));
        QCOMPARE(b.sentencia(), antes);
    }
    QVERIFY(MessageBox::mostrados().isEmpty());

    const auto filtra = [&b](const QString& campo, Qt::KeyboardModifiers m = {}) {
        dobleClic(b, campo, m);
        return seleccion(b);
    };

    // The worked example: a text filter, then with Shift a ticket range.
    // "ab%" matches abeto and abrojo (and, case-insensitively, nothing else).
    textoEnDialogo(u"ab*"_s);
    QCOMPARE(filtra(u"Lbl_Dato_7"_s), u"Parcial| WHERE (AUX1 Like 'ab%')| (Dato 0 = ab*)|AUX1|%1"_s.arg(kFilas * 2 / 5));
    QCOMPARE(b.textoNavegador(), u"Reporte: 1/%1   (Dato 0 = ab*)"_s.arg(kFilas * 2 / 5));

    rangoEnDialogo(u"10"_s, u"20"_s);
    QCOMPARE(filtra(u"Lbl_Dato_0"_s, Qt::ShiftModifier),
             u"Parcial| WHERE (AUX1 Like 'ab%') AND (TICKET Between 10 And 20)"
             u"| (Dato 0 = ab*) y (Ticket entre 10 y 20)|TICKET|4"_s); // 11, 14, 16, 19
    QCOMPARE(valor(b, 0), u"11"_s);

    // Without Shift the filter replaces the others.
    rangoEnDialogo(u"5"_s, QString());
    QCOMPARE(filtra(u"Lbl_Dato_0"_s), u"Parcial| WHERE (TICKET Between 5 And 5)| (Ticket entre 5 y 5)|TICKET|1"_s);

    // A quote in the text matches a quote.
    textoEnDialogo(u"O'Brien"_s);
    QCOMPARE(filtra(u"Lbl_Dato_7"_s), u"Parcial| WHERE (AUX1 Like 'O''Brien')| (Dato 0 = O'Brien)|AUX1|%1"_s.arg(kFilas / 5));
    QCOMPARE(valor(b, 7), u"O'Brien"_s);
    // An attempt to widen the statement stays a text.
    textoEnDialogo(u"x' OR '1'='1"_s);
    QCOMPARE(filtra(u"Lbl_Dato_7"_s).section(u'|', -1), u"0"_s);
    QCOMPARE(b.textoNavegador(), u"Reporte: 0/0   (Dato 0 = x' OR '1'='1)"_s);
    QCOMPARE(valor(b, 0), QString());
    QVERIFY(MessageBox::mostrados().isEmpty());

    // Case: LIKE ignores case on both engines.
    textoEnDialogo(u"ACME"_s);
    QCOMPARE(filtra(u"Lbl_Dato_7"_s).section(u'|', -1), QString::number(kFilas / 5));

    // Text that reads like a placeholder once "*" is "%" ("*1" is "%1")
    // reaches the engine as typed: "Camión 1" and "Camión 5" are 43 rows each.
    for (const QString& t : {u"*1"_s, u"Cami*1"_s, u"%1"_s, u"Camión 1"_s, u"*5*"_s}) {
        textoEnDialogo(t);
        QVERIFY2(filtra(u"Lbl_Dato_8"_s).endsWith(u"|43"_s), qPrintable(t + u' ' + cajas()));
    }
    QVERIFY(MessageBox::mostrados().isEmpty());

    // Date range: both limits included, sorted by date and time.
    fechasEnDialogo(QDate(2024, 3, 2), QDate(2024, 3, 3));
    QCOMPARE(filtra(u"Lbl_Dato_5"_s).section(u'|', 2), u" (Fecha y Hora entre 02/03/2024 y 03/03/2024)|FECHA, HORA|40"_s);
    QCOMPARE(valor(b, 0), u"20"_s);
    fechasEnDialogo(QDate(2024, 3, 2), QDate(2024, 3, 2));
    QCOMPARE(filtra(u"Lbl_Dato_5"_s).section(u'|', 2), u" (Fecha y Hora = 02/03/2024)|FECHA, HORA|20"_s);

    // A letter-laden number range uses the leading numbers.
    rangoEnDialogo(u"1x"_s, u"3); DELETE FROM %1; --"_s.arg(tabla));
    QCOMPARE(filtra(u"Lbl_Dato_0"_s).section(u'|', 1, 1), u" WHERE (TICKET Between 1 And 3)"_s);
    QCOMPARE(b.cantidad(), 3);
    QCOMPARE(cuenta({}), kFilas);

    // Cancelling clears every filter.
    cancelaDialogo();
    QCOMPARE(filtra(u"Lbl_Dato_9"_s), u"General|||AUX3|%1"_s.arg(kFilas));

    // Ticking "Totales" after a filter drops the filter and sorts by ticket;
    // the caption stays.
    auto* totales = b.findChild<QCheckBox*>(u"Chk_Total"_s);
    textoEnDialogo(u"abeto"_s);
    filtra(u"Lbl_Dato_7"_s);
    totales->setChecked(true);
    QCOMPARE(seleccion(b), u"Parcial| WHERE (OPCION1 <> 0)||TICKET|%1"_s.arg(kFilas / 5));
    QCOMPARE(valor(b, 0), u"5"_s);
    totales->setChecked(false);
    QCOMPARE(seleccion(b), u"Parcial|||TICKET|%1"_s.arg(kFilas));

    // With "Totales" ticked a filter keeps the restriction, and so does a cancel.
    totales->setChecked(true);
    textoEnDialogo(u"Acme"_s);
    QCOMPARE(filtra(u"Lbl_Dato_7"_s).section(u'|', 1, 1), u" WHERE (OPCION1 <> 0) AND (AUX1 Like 'Acme')"_s);
    QCOMPARE(b.cantidad(), cuenta(u"WHERE OPCION1 <> 0 AND AUX1 = 'Acme'"_s));
    cancelaDialogo();
    QCOMPARE(filtra(u"Lbl_Dato_7"_s), u"Parcial| WHERE (OPCION1 <> 0) ||AUX1|%1"_s.arg(kFilas / 5));

    // Deleting.
    MessageBox::limpiar();
    auto* del = b.findChild<QPushButton*>(u"cmdDelete"_s);

    // First press on a filtered, sorted set only shows all records by ticket.
    b.findChild<QCheckBox*>(u"Chk_Total"_s)->setChecked(true);
    dobleClic(b, u"lbl_campo_7"_s);
    del->click();
    QCOMPARE(b.sentencia(), u"SELECT * FROM %1 ORDER BY TICKET ASC"_s.arg(Programa::DataTbReporte));
    QVERIFY(!b.findChild<QCheckBox*>(u"Chk_Total"_s)->isChecked());
    QCOMPARE(b.cantidad(), kFilas);
    QVERIFY(MessageBox::mostrados().isEmpty());

    // Second press on record 5: the question; Cancel keeps everything.
    b.mover(4);
    MessageBox::setNextAnswer(QMessageBox::Cancel);
    del->click();
    QCOMPARE(cajas(), caja({MessageBox::Critico, u"Atencion"_s, u"Desea eliminar los reportes del 1 al 5 ? "_s,
                            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel}));
    QCOMPARE(cuenta({}), kFilas);

    MessageBox::setNextAnswer(QMessageBox::Ok);
    del->click();
    QCOMPARE(cuenta({}), kFilas - 5);
    QCOMPARE(cuenta(u"WHERE TICKET <= 5"_s), 0);
    QCOMPARE(b.cantidad(), kFilas - 5);
    QCOMPARE(b.posicion(), 0);
    QCOMPARE(valor(b, 0), u"6"_s);

    // The commands window on the same database. Comandos is one shared table
    // on a server: keep to our own operator.
    const QString op = u"op_"_s + QUuid::createUuid().toString(QUuid::Id128).left(8);
    CDatos db;
    QVERIFY(db.AbrirBase(Programa::DataCSReporte));
    // As the station records them: the command letter and its name,
    // values in the indicator's whole units.
    for (const QVariantList& f : QList<QVariantList>{
             {QDate(2024, 5, 1), QTime(9, 0), op, u"Z Cero"_s, QString(), u"OK"_s},
             {QDate(2024, 5, 3), QTime(8, 0), op, u"Programar"_s,
              u"Despacho=400000 CGrueso=90000 CFino=100050 TotalF=900200"_s, u"OK"_s},
             {QDate(2024, 5, 3), QTime(17, 30), op, u"V Arranque / Parada"_s, QString(), u"Sin respuesta"_s},
             {QDate(2024, 6, 1), QTime(7, 0), op, u"Reset"_s, QString(), u"OK"_s}})
        QVERIFY(db.Ejecuta(u"INSERT INTO Comandos (FECHA, HORA, OPERADOR, COMANDO, VALORES, RESULTADO) "
                           u"VALUES (?, ?, ?, ?, ?, ?)"_s,
                           f));
    QVERIFY(Config::GuardaConfig(u"global"_s, u"Decimales_1"_s, u"2"_s));
    frmComandos w(Programa::DataCSReporte);
    QVERIFY(w.consulta(QDate(2024, 5, 1), QDate(2024, 5, 31)));
    QStringList filas;
    for (int i = 0; i < w.modelo()->rowCount(); ++i) {
        QStringList fila;
        for (int c = 0; c < 6; ++c)
            fila << w.modelo()->index(i, c).data().toString();
        if (fila[2] == op)
            filas << fila.join(u'|');
    }
    QCOMPARE(filas, (QStringList{u"03/05/2024|17:30:00|%1|Arranque / Parada||Sin respuesta"_s.arg(op),
                                 u"03/05/2024|08:00:00|%1|Programación|Despacho (Preset): 4000.00 kg, "
                                 u"Corte Grueso: 900.00 kg, Corte Fino (Batch): 1000.50 kg, "
                                 u"Fin del despacho: 9002.00 kg|OK"_s.arg(op),
                                 u"01/05/2024|09:00:00|%1|Toma de Cero||OK"_s.arg(op)}));
    MessageBox::limpiar();
    QVERIFY(!w.consulta(QDate(2024, 6, 2), QDate(2024, 6, 1)));
    QCOMPARE(MessageBox::ultimoTexto(), u"Error en el rango de fechas"_s);
    if (!postgres.isEmpty())
        db.Ejecuta(u"DELETE FROM Comandos WHERE OPERADOR = ?"_s, {op});
}

void TstReportsBrowser::recorre_data()
{
    QTest::addColumn<QString>("postgres");
    QTest::addColumn<QString>("campo");
    QTest::addColumn<QString>("filtro");
    QTest::addColumn<bool>("nulos");
    for (const QString& pg : {QString(), u"pg"_s}) {
        const QString m = pg.isEmpty() ? u"sqlite"_s : u"postgresql"_s;
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
    QFETCH(QString, campo);
    QFETCH(QString, filtro);
    QFETCH(bool, nulos);
    INSTALACION_DEL_MOTOR(inst);
    // 250 copies of row 1 under new tickets: every key repeats past a page edge.
    QList<FilaPrueba> copias(250, FilaPrueba::de(1));
    for (int i = 0; i < 250; ++i)
        copias[i].ticket = 1000 + (i * 7919) % 250;
    QVERIFY(insertaFilas(kFilas, copias));
    CDatos db;
    QVERIFY(db.AbrirBase(Programa::DataCSReporte));
    const QString tabla = Programa::DataTbReporte;
    if (nulos)
        QVERIFY(db.Ejecuta(u"UPDATE %1 SET AUX1 = NULL WHERE TICKET % 7 IN (0, 3, 5)"_s.arg(tabla)));
    Filtros::Seleccion sel;
    sel.campoOrden = campo;
    sel.filtro = filtro;
    QVERIFY(db.AbreRegistro(u"SELECT TICKET FROM %1%2 ORDER BY %3"_s.arg(tabla, filtro, sel.ordenCompleto())));
    QList<qint64> esperado;
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        esperado << db.Campo(u"TICKET"_s).toLongLong();
    QVERIFY(esperado.size() > 2 * ModeloReporte::kPagina);

    // One model for every walk, as the screen keeps it across selections.
    ModeloReporte m;
    const auto selecciona = [&] {
        return m.selecciona(db.base(), db.motor(), tabla, filtro, sel.ordenCompleto(), sel.ordenCompleto(true), nullptr);
    };
    const auto recorrido = [&](bool haciaAtras) {
        QList<qint64> vistos(selecciona() ? m.rowCount() : 0);
        for (int i = 0; i < vistos.size(); ++i) {
            const int fila = haciaAtras ? m.rowCount() - 1 - i : i;
            vistos[fila] = m.valor(fila, ModeloReporte::TICKET).toLongLong();
        }
        return vistos;
    };
    QCOMPARE(recorrido(false), esperado);
    QCOMPARE(recorrido(true), esperado);
    if (nulos)
        return; // read by position then, as rows of no key cannot be compared

    // Another workstation adds a row that sorts last after the first page
    // was read: the following pages neither repeat nor skip a row.
    QVERIFY(selecciona());
    QCOMPARE(m.valor(0, ModeloReporte::TICKET).toLongLong(), esperado.first());
    CDatos otro;
    QVERIFY(otro.AbrirBase(Programa::DataCSReporte));
    QVERIFY(otro.Ejecuta(u"INSERT INTO %1 (TICKET, AUX1, TOTAL, FECHA, HORA, OPCION1) "
                         u"VALUES (5000, 'zzzz', 1e9, ?, ?, 1)"_s.arg(tabla),
                         {QDate(2100, 1, 1), QTime(23, 0)}));
    for (int i = ModeloReporte::kPagina; i < 2 * ModeloReporte::kPagina; ++i)
        QCOMPARE(m.valor(i, ModeloReporte::TICKET).toLongLong(), esperado.at(i));
}

// Tickets of the browser's selection in its order, read from the last row
// back, so the pages come from both ends of the ordering.
QList<qint64> ticketsDe(frmPLANILLA& b)
{
    QList<qint64> t;
    for (int i = b.cantidad() - 1; i >= 0; --i)
        t.prepend(b.modelo()->valor(i, ModeloReporte::TICKET).toLongLong());
    return t;
}

// One line: the screen as it always was, no word about lines in it. Two
// lines: each record's line by its name, sorting and filtering by it, a
// row written before lines existed counting as line 1's.
void TstReportsBrowser::lineas()
{
    INSTALACION_DEL_MOTOR(inst);
    constexpr int n = 450; // three pages of the model
    QVERIFY(insertaFilas(n));
    QVERIFY(asignaLineas());
    {
        frmPLANILLA b;
        QVERIFY(b.cargado());
        b.show();
        QVERIFY(QTest::qWaitForWindowExposed(&b, kEspera));
        for (const QLabel* l : b.findChildren<QLabel*>())
            QVERIFY2(!l->isVisible() || !l->text().contains(u"Línea"_s), qPrintable(l->text()));
        QCOMPARE(b.modelo()->columnCount(), int(ModeloReporte::LINEA));
        alAbrirse<frmDataGrid>([](frmDataGrid* g) {
            const QAbstractItemModel* m = g->grilla()->model();
            QStringList cabeceras;
            for (int c = 0; c < m->columnCount(); ++c)
                cabeceras << m->headerData(c, Qt::Horizontal).toString();
            QVERIFY(!cabeceras.contains(u"Línea"_s));
            g->accept();
        });
        b.findChild<QPushButton*>(u"cmdGrid"_s)->click();
    }

    QVERIFY(segundaLinea(u"Molino"_s));
    frmPLANILLA b;
    QVERIFY(b.cargado());
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b, kEspera));
    QVERIFY(b.findChild<QLabel*>(u"lbl_campo_21"_s)->isVisible());
    QCOMPARE(b.findChild<QLabel*>(u"lbl_campo_21"_s)->text(), u"Línea:"_s);
    QStringList vistas;
    for (int i = 0; i < 3; ++i) {
        b.mover(i);
        vistas << valor(b, 21);
    }
    QCOMPARE(vistas, (QStringList{u"1"_s, u"Molino"_s, u"1"_s}));
    QString celda;
    alAbrirse<frmDataGrid>([&celda](frmDataGrid* g) {
        const QAbstractItemModel* m = g->grilla()->model();
        QCOMPARE(m->headerData(ModeloReporte::LINEA, Qt::Horizontal).toString(), u"Línea"_s);
        QVERIFY(!g->grilla()->isColumnHidden(ModeloReporte::LINEA));
        celda = m->index(4, ModeloReporte::LINEA).data().toString(); // ticket 5
        g->accept();
    });
    b.findChild<QPushButton*>(u"cmdGrid"_s)->click();
    QCOMPARE(celda, u"Molino"_s);

    // Sorted by line: line 1's rows (those without one among them) by
    // ticket, then line 2's.
    QList<qint64> linea1, linea2;
    for (qint64 t = 1; t <= n; ++t)
        (t % 3 == 2 ? linea2 : linea1) << t;
    dobleClic(b, u"lbl_campo_21"_s);
    QCOMPARE(b.seleccion().campoOrden, u"LINEA"_s);
    QCOMPARE(ticketsDe(b), linea1 + linea2);

    const auto eligeLinea = [](const QString& texto) {
        alAbrirse<frmFiltro>([texto](frmFiltro* d) {
            d->findChild<QComboBox*>(u"CboLinea"_s)->setEditText(texto);
            QTest::mouseClick(d->findChild<QPushButton*>(u"CmdOkLinea"_s), Qt::LeftButton);
        });
    };
    eligeLinea(u"Línea 1"_s);
    dobleClic(b, u"Lbl_Dato_21"_s);
    QCOMPARE(seleccion(b), u"Parcial| WHERE (LINEA IS NULL OR LINEA = 1)| (Línea = 1)|LINEA|%1"_s.arg(linea1.size()));
    QCOMPARE(ticketsDe(b), linea1);
    eligeLinea(u"Línea 2 (Molino)"_s);
    dobleClic(b, u"Lbl_Dato_21"_s);
    QCOMPARE(seleccion(b), u"Parcial| WHERE (LINEA = 2)| (Línea = Molino)|LINEA|%1"_s.arg(linea2.size()));
    QCOMPARE(ticketsDe(b), linea2);
    // With Shift, on top of a ticket range.
    rangoEnDialogo(u"1"_s, u"10"_s);
    dobleClic(b, u"Lbl_Dato_0"_s);
    eligeLinea(u"1"_s);
    dobleClic(b, u"Lbl_Dato_21"_s, Qt::ShiftModifier);
    QCOMPARE(ticketsDe(b), (QList<qint64>{1, 3, 4, 6, 7, 9, 10}));
    QCOMPARE(cuenta({}), n);
    QVERIFY(MessageBox::mostrados().isEmpty());

    // Without the line's column, an order by the line still reads every
    // row once, page after page (no row lacks a line now).
    CDatos db;
    QVERIFY(db.AbrirBase(Programa::DataCSReporte));
    QVERIFY(db.Ejecuta(u"UPDATE %1 SET LINEA = 1 WHERE LINEA IS NULL"_s.arg(Programa::DataTbReporte)));
    ModeloReporte sin;
    QVERIFY(sin.selecciona(db.base(), db.motor(), Programa::DataTbReporte, {}, u"LINEA ASC, TICKET ASC"_s,
                           u"LINEA DESC, TICKET DESC"_s, nullptr));
    QList<qint64> todos;
    for (int i = 0; i < n; ++i)
        todos << sin.valor(i, ModeloReporte::TICKET).toLongLong();
    QCOMPARE(todos, linea1 + linea2);
    QVERIFY(!sin.valor(0, ModeloReporte::LINEA).isValid());
}

QTEST_MAIN(TstReportsBrowser)
#include "tst_reports_browser.moc"

#include <QCheckBox>
#include <QJsonDocument>
#include <QLabel>
#include <QJsonObject>
#include <QPrinter>
#include <QPushButton>
#include <QtTest>

#include "Config.h"
#include "Exportacion.h"
#include "Lineas.h"
#include "Listado.h"
#include "MessageBox.h"
#include "ModeloReporte.h"
#include "NavegadorPrueba.h"
#include "SalidaPrueba.h"
#include "XlsxPlantilla.h"
#include "frmPLANILLA.h"

namespace {

QJsonObject celdas(const QString& archivo)
{
    return libro(archivo).value(u"cells"_s).toObject();
}

// Runs tolvex-report; `locale` sets its LANG and LC_ALL as a desktop does.
int ejecuta(const QStringList& args, QString* stderrText = nullptr, const QString& locale = {},
            QString* stdoutText = nullptr)
{
    QProcess p;
    if (!locale.isEmpty()) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(u"LANG"_s, locale);
        e.insert(u"LC_ALL"_s, locale);
        p.setProcessEnvironment(e);
    }
    p.start(qEnvironmentVariable("TOLVEX_BIN_DIR") + u"/bin/tolvex-report"_s, args);
    if (!p.waitForFinished(120000))
        return -1;
    if (stderrText)
        *stderrText = QString::fromLocal8Bit(p.readAllStandardError());
    if (stdoutText)
        *stdoutText = QString::fromLocal8Bit(p.readAllStandardOutput());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QStringList restosTemporales(const QString& dir)
{
    return QDir(dir).entryList({u".*part"_s, u".hoja*"_s}, QDir::Files | QDir::Hidden);
}

// Five rows, the first, third and fifth totals of 100, 250 and 50.
QList<FilaPrueba> cincoFilas()
{
    QList<FilaPrueba> filas;
    const double tot[5] = {100, 77, 250, 12.25, 50};
    for (int i = 0; i < 5; ++i) {
        filas << FilaPrueba::de(i + 1);
        filas.last().total = tot[i];
        filas.last().opcion1 = i % 2 == 0;
    }
    return filas;
}

// The workbook saved again by LibreOffice into dir; empty when LibreOffice is
// not installed or could not do it.
QString conLibreOffice(const QString& origen, const QString& dir)
{
    const QString soffice = QStandardPaths::findExecutable(u"soffice"_s);
    if (soffice.isEmpty())
        return {};
    QProcess p;
    p.start(soffice, {u"-env:UserInstallation=file://"_s + dir + u"/perfil-libreoffice"_s, u"--headless"_s,
                      u"--convert-to"_s, u"xlsx"_s, u"--outdir"_s, dir + u"/libreoffice"_s, origen});
    p.waitForFinished(180000);
    const QString hecha = dir + u"/libreoffice/"_s + QFileInfo(origen).fileName();
    return QFile::exists(hecha) ? hecha : QString();
}

} // namespace

class TstReportsSalida : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { MessageBox::setScripted(true); }
    void init() { MessageBox::limpiar(); }
    void cleanup()
    {
        frmPLANILLA::setEligeArchivo({});
        frmPLANILLA::setEligeImpresora({});
    }

    void exportaEImprime_data();
    void exportaEImprime();
    void plantillaAjena_data();
    void plantillaAjena();
    void plantillaDeLaPlanta_data();
    void plantillaDeLaPlanta();
    void fechasDeLaPlanta_data();
    void fechasDeLaPlanta();
    void exportaFallida();
    void cortesDelListado();
    void tab_data();
    void tab();
    void discoLleno_data();
    void discoLleno();
    void herramienta();
    void lineas();
    void lineasEnLaPlantilla_data();
    void lineasEnLaPlantilla();
};

void TstReportsSalida::exportaEImprime_data()
{
    QTest::addColumn<QString>("postgres");
    QTest::addColumn<bool>("totales");
    QTest::newRow("sqlite") << QString() << false;
    QTest::newRow("sqlite totales") << QString() << true;
    QTest::newRow("postgresql totales") << u"pg"_s << true;
}

// The five rows exported, and with "Totales" ticked also printed.
void TstReportsSalida::exportaEImprime()
{
    QFETCH(bool, totales);
    INSTALACION_DEL_MOTOR(inst);
    QVERIFY(Config::GuardaConfig(u"global"_s, u"Dato0"_s, u"Cliente:"_s));
    QList<FilaPrueba> filas = cincoFilas();
    filas[1].aux1 = u"Zeta <&> \"SA\" 'x' ñandú"_s;
    QVERIFY(insertaFilas(0, filas));

    frmPLANILLA b;
    QVERIFY(b.cargado());
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b, kEspera));
    const QSize tamano = b.size();
    if (totales)
        b.findChild<QCheckBox*>(u"Chk_Total"_s)->setChecked(true);
    const QString destino = inst.file(u"salida.xlsx"_s);
    QString carpeta, filtro;
    bool cuadroVisible = false;
    auto* cuadro = b.findChild<QWidget*>(u"CUADRO"_s);
    frmPLANILLA::setEligeArchivo([&](QWidget*, const QString& c, const QString& f) {
        carpeta = c;
        filtro = f;
        cuadroVisible = cuadro->isVisibleTo(&b);
        return destino;
    });
    pulsa(b, u"Cmd_Exportar"_s, QMessageBox::Yes);
    QCOMPARE(cajas(), caja({MessageBox::Informacion, u"ATENCION"_s, u"¿Desea exportar los datos a formato Excel?"_s,
                            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes}));
    QCOMPARE(filtro, u"Archivos Excel (*.xlsx)"_s);
    QVERIFY(cuadroVisible && QFileInfo(carpeta).isDir());
    QVERIFY(!cuadro->isVisibleTo(&b));
    QVERIFY(QFile::exists(destino));
    QCOMPARE(restosTemporales(inst.path()), QStringList());
    // The window as it was, and a word in it on where the rows went.
    QCOMPARE(b.size(), tamano);
    QCOMPARE(b.findChild<QLabel*>(u"Lbl_Aviso"_s)->text(),
             u"Exportados %1 registros a %2"_s.arg(totales ? 3 : 5).arg(destino));

    const QJsonObject o = libro(destino), c = o.value(u"cells"_s).toObject();
    QCOMPARE(o.value(u"sheets"_s).toVariant().toStringList(), QStringList{u"REPORTE"_s});
    int fila = 8;
    for (const FilaPrueba& f : filas) {
        if (totales && !f.opcion1)
            continue;
        const QString r = QString::number(fila++);
        QCOMPARE((QStringList{celda(c, u'A' + r), celda(c, u'D' + r), celda(c, u'E' + r), celda(c, u'J' + r)}),
                 (QStringList{u"n:%1"_s.arg(f.ticket), u"s:"_s + f.aux1, u"s:"_s + f.aux2, u"n:%1"_s.arg(f.total)}));
    }
    QCOMPARE(fila, totales ? 11 : 13);
    if (totales)
        QCOMPARE((QStringList{celda(c, u"I11"_s), celda(c, u"J11"_s)}), (QStringList{u"s:Total:"_s, u"n:400"_s}));
    // The template's headings and two titles, six filled cells a row (their
    // dates and times as plantillaAjena checks them), the sum.
    QCOMPARE(c.size(), 10 + 2 + (fila - 8) * 6 + (totales ? 2 : 0));
    if (!totales)
        return;

    // Printing the totals.
    b.mover(1);
    const QString pdf = inst.file(u"listado.pdf"_s);
    // What page setup chose reaches the listing: paper and margins.
    QPrinter& impresora = Listado::impresora();
    const QPageLayout anterior = impresora.pageLayout();
    impresora.setPageSize(QPageSize(QPageSize::A3));
    impresora.setPageMargins(QMarginsF(25, 20, 25, 20), QPageLayout::Millimeter);
    imprimeEn(pdf);
    // Cancel: nothing printed.
    pulsa(b, u"cmd_Imprimir"_s, QMessageBox::Cancel);
    QVERIFY(!QFile::exists(pdf));
    QCOMPARE(cajas(), caja({MessageBox::Informacion, u"Atencion"_s, u"Desea imprimir un reporte? "_s,
                            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel}));

    pulsa(b, u"cmd_Imprimir"_s, QMessageBox::Ok);
    QVERIFY(QFile::exists(pdf));
    QCOMPARE(b.posicion(), 1); // back on the record it was on
    impresora.setPageLayout(anterior);
    const QString paginas = salidaDe(u"pdfinfo"_s, {pdf});
    QVERIFY2(paginas.contains(u"1191 x 842 pts (A3)"_s), qPrintable(paginas));
    // The text starts at the left margin, 25 mm = 70.9 pt.
    const auto x = QRegularExpression(u"xMin=\"([0-9.]+)\"[^>]*>Reporte"_s)
                       .match(salidaDe(u"pdftotext"_s, {u"-bbox"_s, pdf, u"-"_s}));
    QVERIFY2(x.hasMatch() && std::abs(x.captured(1).toDouble() - 70.9 - 6.0) < 2.0, qPrintable(x.captured(1)));
    const QStringList lineas = pdfTexto(pdf).split(u'\n');
    const auto busca = [&lineas](const QString& inicio) {
        for (const QString& l : lineas)
            if (l.trimmed().startsWith(inicio))
                return l;
        return QString();
    };
    // Ticking "Totales" leaves the caption, and so the title, as it was.
    QVERIFY(!busca(u"Reporte General de Pesadas realizadas"_s).isEmpty());
    const QString cabecera = busca(u"Ticket"_s);
    QVERIFY2(cabecera.contains(QRegularExpression(
                 u"Ticket\\s+Fecha\\s+Hora\\s+Cliente:\\s+Dato 1:\\s+Dato 2:\\s+Dato 3:\\s+Dato 4:\\s+Dato 5:\\s+Total"_s)),
             qPrintable(cabecera));
    const QString hoy = QDate::currentDate().toString(u"dd/MM/yyyy"_s);
    QVERIFY(!busca(hoy + u" - "_s).isEmpty());
    // Three total rows and the sum 400; ticket 2 is not a total.
    const QString f1 = busca(u"1 01/03/2024 06:01"_s);
    QVERIFY2(f1.contains(QRegularExpression(u"^\\s*1 01/03/2024 06:01\\s+abeto\\s+Camión 1\\s+100$"_s)), qPrintable(f1));
    QVERIFY(!busca(u"3 01/03/2024"_s).isEmpty());
    QVERIFY(busca(u"2 01/03/2024"_s).isEmpty());
    QVERIFY(busca(u"Total:"_s).contains(QRegularExpression(u"Total:\\s+400$"_s)));
}

void TstReportsSalida::plantillaAjena_data()
{
    QTest::addColumn<QString>("escritor");
    QTest::addColumn<int>("filas");
    QTest::addColumn<int>("pie"); // row of the signature footer in the result
    QTest::addColumn<QString>("variante"); // the openpyxl template as another writer lays it out
    QTest::newRow("openpyxl, pie intacto") << u"openpyxl"_s << 5 << 30 << QString();
    QTest::newRow("openpyxl, pie bajo los datos") << u"openpyxl"_s << 30 << 39 << QString();
    QTest::newRow("LibreOffice, pie intacto") << u"libreoffice"_s << 22 << 30 << QString();
    QTest::newRow("LibreOffice, pie bajo los datos") << u"libreoffice"_s << 23 << 32 << QString();
    QTest::newRow("prefijo de espacio de nombres") << u"openpyxl"_s << 30 << 39 << "prefijo";
    QTest::newRow("celdas sin posición") << u"openpyxl"_s << 30 << 39 << "sin-posiciones";
    QTest::newRow("sin tabla de estilos") << u"openpyxl"_s << 30 << 39 << "sin-estilos";
}

// Templates written by other programs, with their own style tables, fonts,
// column formats, notes beside the data and a footer below it.
void TstReportsSalida::plantillaAjena()
{
    QFETCH(QString, escritor);
    QFETCH(int, filas);
    QFETCH(int, pie);
    QFETCH(QString, variante);
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    const QString plantilla = inst.file(XlsxPlantilla::kArchivo);
    const QString base = variante.isEmpty() ? plantilla : inst.file(u"base.xlsx"_s);
    const bool estilos = variante != u"sin-estilos"_s;
    QFile::remove(plantilla);
    if (escritor == u"openpyxl"_s) {
        QVERIFY(openpyxl({u"--plantilla"_s, base}));
        QVERIFY(variante.isEmpty() || openpyxl({u"--variante"_s, variante, base, plantilla}));
    } else {
        QVERIFY(QFile::copy(QStringLiteral(TOLVEX_TESTS_DIR "/data/plantilla_libreoffice.xlsx"), plantilla));
    }
    QVERIFY(insertaFilas(filas));
    const QString destino = inst.file(u"planta.xlsx"_s);
    QCOMPARE(ejecuta({u"--dir"_s, inst.path(), u"--xlsx"_s, destino}), 0);

    const QJsonObject o = libro(destino);
    const QJsonObject c = o.value(u"cells"_s).toObject();
    const QJsonObject esFecha = o.value(u"dateFormats"_s).toObject();
    const auto formato = [&c](const QString& ref) { return c.value(ref).toArray().at(2).toString(); };
    QCOMPARE(o.value(u"sheets"_s).toVariant().toStringList(), (QStringList{u"REPORTE"_s, u"Notas"_s}));

    // Headings as the template has them: values, fonts, fills, merges.
    QCOMPARE(celda(c, u"A1"_s), u"s:Molinos del Sur S.A."_s);
    QCOMPARE(celda(c, u"A7"_s), u"s:N° ticket"_s);
    QCOMPARE(o.value(u"widths"_s).toObject().value(u"D"_s).toDouble(), 24.0);
    if (estilos) {
        QVERIFY(c.value(u"A1"_s).toArray().at(3).toBool());
        QCOMPARE(c.value(u"J7"_s).toArray().at(4).toString(), u"FFDDEBF7"_s);
    }
    // Without positions the template's H2 follows A2 and so is B2 there.
    if (estilos && variante != u"sin-posiciones"_s) {
        QCOMPARE(celda(c, u"H2"_s), u"d:2025-01-31"_s);
        QCOMPARE(formato(u"H2"_s).remove(u'\\'), u"yyyy-mm-dd"_s);
    }
    // The note beside the first data row stays.
    QCOMPARE(celda(c, u"L8"_s), u"s:Observaciones: balanza verificada"_s);

    for (int i = 1; i <= filas; ++i) {
        const FilaPrueba f = FilaPrueba::de(i);
        const QString r = QString::number(7 + i);
        QCOMPARE(celda(c, u'A' + r), u"n:%1"_s.arg(i));
        // Dates and times are date cells with a date or time format; the
        // template's own format of the column is kept.
        QCOMPARE(celda(c, u'B' + r), u"d:"_s + f.fecha.toString(Qt::ISODate));
        QVERIFY2(esFecha.value(u'B' + r).toBool(), qPrintable(formato(u'B' + r)));
        if (estilos)
            QCOMPARE(formato(u'B' + r).toLower().remove(u'\\'), u"d-mmm-yy"_s);
        QCOMPARE(celda(c, u'C' + r), u"t:"_s + f.hora.toString(u"HH:mm:ss"_s));
        QVERIFY2(esFecha.value(u'C' + r).toBool(), qPrintable(formato(u'C' + r)));
        QCOMPARE(celda(c, u'D' + r), u"s:"_s + f.aux1);
        QCOMPARE(celda(c, u'J' + r), u"n:%1"_s.arg(f.total));
        if (estilos)
            QCOMPARE(formato(u'J' + r), u"#,##0.00"_s);
    }
    // The footer: in place while the data does not reach it, else moved
    // below the data with one blank row between, with its merge.
    const QString firma = u"s:Firma del responsable: ____________"_s;
    QCOMPARE(celda(c, u"A%1"_s.arg(pie)), firma);
    QCOMPARE(celda(c, u"A%1"_s.arg(pie + 1)), u"s:Documento interno"_s);
    const QStringList unidas = o.value(u"merged"_s).toVariant().toStringList();
    QVERIFY(unidas.contains(u"A%1:D%1"_s.arg(pie)) && unidas.contains(u"A1:F1"_s));
    if (pie != 30)
        QCOMPARE(pie, filas + 7 + 2);
    int firmas = 0;
    for (auto it = c.begin(); it != c.end(); ++it)
        firmas += celda(c, it.key()) == firma;
    QCOMPARE(firmas, 1);
    QCOMPARE(restosTemporales(inst.path()), QStringList());
}

void TstReportsSalida::plantillaDeLaPlanta_data()
{
    QTest::addColumn<QString>("plantilla"); // reports_xlsx.py --planta KIND, or made by LibreOffice
    QTest::addColumn<QStringList>("hojas");
    QTest::addColumn<QString>("hoja"); // where the data goes
    QTest::addColumn<int>("filas");
    QTest::addColumn<int>("pie"); // row of the signature in the result
    const QStringList pesadas{u"Pesadas"_s};
    QTest::newRow("una hoja Pesadas") << u"pesadas"_s << pesadas << u"Pesadas"_s << 6 << 31;
    QTest::newRow("más filas que las formateadas") << u"pesadas"_s << pesadas << u"Pesadas"_s << 25 << 34;
    QTest::newRow("varias hojas") << u"varias"_s << QStringList{u"Pesadas"_s, u"Notas"_s} << u"Pesadas"_s << 6 << 31;
    QTest::newRow("Reporte en segundo lugar") << u"reporte-segunda"_s << QStringList{u"Portada"_s, u"Reporte"_s}
                                              << u"Reporte"_s << 6 << 31;
    QTest::newRow("primera hoja oculta") << u"oculta-primero"_s << QStringList{u"Ayuda"_s, u"Pesadas"_s}
                                         << u"Pesadas"_s << 6 << 31;
    QTest::newRow("celdas formateadas con valor vacío") << u"valor-vacio"_s << pesadas << u"Pesadas"_s << 6 << 31;
    QTest::newRow("guardada por LibreOffice 7.4") << u"libreoffice-guardada"_s << pesadas << u"Pesadas"_s << 6 << 31;
    QTest::newRow("LibreOffice, ahora") << u"libreoffice"_s << pesadas << u"Pesadas"_s << 25 << 34;
}

// A plant's own template: its report sheet not named REPORTE, the formats
// it gave the data rows' cells (d-mmm-yyyy, hh:mm, #,##0 on B8:B29, C8:C29,
// J8:J29) and a signature at row 31. The data takes those formats, also
// below the formatted rows; formatted rows the data does not reach stay
// where they are; only the signature moves, once the data reaches it.
void TstReportsSalida::plantillaDeLaPlanta()
{
    QFETCH(QString, plantilla);
    QFETCH(QStringList, hojas);
    QFETCH(QString, hoja);
    QFETCH(int, filas);
    QFETCH(int, pie);
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    const QString archivo = inst.file(XlsxPlantilla::kArchivo);
    QFile::remove(archivo);
    if (plantilla == u"libreoffice-guardada") {
        QVERIFY(QFile::copy(QStringLiteral(TOLVEX_TESTS_DIR "/data/plantilla_pesadas_libreoffice.xlsx"), archivo));
    } else if (plantilla == u"libreoffice") {
        const QString base = inst.file(u"pesadas.xlsx"_s);
        QVERIFY(openpyxl({u"--planta"_s, u"pesadas"_s, base}));
        const QString hecha = conLibreOffice(base, inst.path());
        if (hecha.isEmpty())
            QSKIP("LibreOffice (soffice) no está instalado: vale la fila de la plantilla que guardó antes");
        QVERIFY(QFile::rename(hecha, archivo));
    } else {
        QVERIFY(openpyxl({u"--planta"_s, plantilla, archivo}));
    }
    QVERIFY(insertaFilas(filas));
    const QString destino = inst.file(u"planta.xlsx"_s);
    QString err;
    QVERIFY2(ejecuta({u"--dir"_s, inst.path(), u"--xlsx"_s, destino}, &err) == 0, qPrintable(err));

    const QJsonObject o = libro(destino, hoja);
    QCOMPARE(o.value(u"sheets"_s).toVariant().toStringList(), hojas);
    const QJsonObject c = o.value(u"cells"_s).toObject(), vacias = o.value(u"empty"_s).toObject();
    const auto formato = [&c](const QString& ref) { return c.value(ref).toArray().at(2).toString().remove(u'\\'); };
    for (int i = 1; i <= filas; ++i) {
        const FilaPrueba f = FilaPrueba::de(i);
        const QString r = QString::number(7 + i);
        QCOMPARE((QStringList{celda(c, u'A' + r), celda(c, u'B' + r), formato(u'B' + r), celda(c, u'C' + r),
                              formato(u'C' + r), celda(c, u'J' + r), formato(u'J' + r)}),
                 (QStringList{u"n:%1"_s.arg(i), u"d:"_s + f.fecha.toString(Qt::ISODate), u"d-mmm-yyyy"_s,
                              u"t:"_s + f.hora.toString(u"HH:mm:ss"_s), u"hh:mm"_s, u"n:%1"_s.arg(f.total),
                              u"#,##0"_s}));
    }
    for (int r = 8 + filas; r <= 29; ++r) {
        const auto vacia = [&vacias, r](QChar col) {
            return vacias.value(col + QString::number(r)).toString().remove(u'\\');
        };
        QCOMPARE((QStringList{vacia(u'B'), vacia(u'C'), vacia(u'J')}),
                 (QStringList{u"d-mmm-yyyy"_s, u"hh:mm"_s, u"#,##0"_s}));
    }
    for (auto it = vacias.begin(); it != vacias.end(); ++it)
        QVERIFY2(it.key().mid(1).toInt() <= 29, qPrintable(it.key()));
    QCOMPARE(celda(c, u"A%1"_s.arg(pie)), u"s:Firma:"_s);
    QCOMPARE(c.size(), 10 + 1 + 1 + filas * 6);
    // The other sheets are as they were.
    for (const QString& otra : hojas)
        if (otra != hoja)
            QVERIFY(!libro(destino, otra).value(u"cells"_s).toObject().contains(u"A8"_s));
}

void TstReportsSalida::fechasDeLaPlanta_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("patron");
    for (const char* l : {"es_ES", "es_AR", "es_MX", "es_CO", "C"})
        QTest::newRow(l) << QString::fromLatin1(l) << u"dd/MM/yyyy"_s;
    QTest::newRow("en_US") << u"en_US"_s << u"MM/dd/yyyy"_s;
}

// Under the desktop's locale: the screen's dates, the date filter typed as
// the screen shows a day, the grid, the printed listing and the export.
void TstReportsSalida::fechasDeLaPlanta()
{
    QFETCH(QString, locale);
    QFETCH(QString, patron);
    const QLocale antes;
    QLocale::setDefault(QLocale(locale));
    const auto vuelve = qScopeGuard([&antes] { QLocale::setDefault(antes); });
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(40)); // 1 March 2024 to ticket 19, 2 March to 39
    frmPLANILLA b;
    QVERIFY(b.cargado());
    const auto texto = [&b](const char* nombre) { return b.findChild<QLabel*>(QLatin1String(nombre))->text(); };
    QCOMPARE(texto("Lbl_Dato_5") + u' ' + texto("Lbl_Dato_6"), QDate(2024, 3, 1).toString(patron) + u" 06:01:01"_s);

    const QString dia = QDate(2024, 3, 2).toString(patron);
    alAbrirse<frmFiltro>([dia](frmFiltro* d) {
        for (const char* n : {"Fecha1", "Fecha2"}) {
            auto* e = d->findChild<QDateEdit*>(QLatin1String(n));
            e->findChild<QLineEdit*>()->setText(dia);
            e->interpretText();
        }
        QTest::mouseClick(d->findChild<QPushButton*>(u"CmdOkFecha"_s), Qt::LeftButton);
    });
    dobleClic(b, u"Lbl_Dato_5"_s);
    QCOMPARE(b.cantidad(), 20);
    QCOMPARE(b.seleccion().descFiltro, u" (Fecha y Hora = %1)"_s.arg(dia));
    const ModeloReporte& m = *b.modelo();
    QCOMPARE(m.data(m.index(0, ModeloReporte::FECHA)).toString() + u' ' + m.data(m.index(0, ModeloReporte::HORA)).toString(),
             dia + u" 06:20:20"_s);

    Listado l;
    l.titulo = b.windowTitle();
    l.descFiltro = b.seleccion().descFiltro;
    l.captions = Listado::captionsAuxiliares();
    l.momento = QDateTime(QDate(2026, 12, 8), QTime(7, 20, 18));
    QPrinter printer(QPrinter::HighResolution);
    Listado::preparaPagina(printer);
    const QString pdf = inst.file(u"listado.pdf"_s);
    QString error;
    QVERIFY2(Listado::imprimirPdf(printer, pdf, l.lineas(m), &error), qPrintable(error));
    const QString impreso = pdfTexto(pdf);
    const QString d = QRegularExpression::escape(dia);
    QVERIFY2(impreso.contains(QRegularExpression(u"%1 - 07:20:18\\s+\\(Fecha y Hora = %2\\)"_s.arg(
                 QRegularExpression::escape(QDate(2026, 12, 8).toString(patron)), d))),
             qPrintable(impreso));
    QVERIFY2(impreso.contains(QRegularExpression(u"\\b20 %1 06:20 "_s.arg(d))), qPrintable(impreso));

    const QString destino = inst.file(u"fechas.xlsx"_s);
    frmPLANILLA::setEligeArchivo([&destino](QWidget*, const QString&, const QString&) { return destino; });
    pulsa(b, u"Cmd_Exportar"_s, QMessageBox::Yes);
    const QJsonObject c = celdas(destino);
    const auto formato = [&c](const QString& ref) { return c.value(ref).toArray().at(2).toString().remove(u'\\'); };
    QCOMPARE((QStringList{celda(c, u"B8"_s), formato(u"B8"_s), celda(c, u"C8"_s), formato(u"C8"_s)}),
             (QStringList{u"d:2024-03-02"_s, QString(patron).replace(u'M', u'm'), u"t:06:20:20"_s, u"hh:mm:ss"_s}));
}

// Exports refused, cancelled, empty or failing: no file and no leftovers.
void TstReportsSalida::exportaFallida()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(200));
    frmPLANILLA b;
    const QString destino = inst.file(u"vacia.xlsx"_s);

    // No to the question: no dialog at all.
    bool pedido = false;
    frmPLANILLA::setEligeArchivo([&](QWidget*, const QString&, const QString&) {
        pedido = true;
        return QString();
    });
    pulsa(b, u"Cmd_Exportar"_s, QMessageBox::No);
    QVERIFY(!pedido);

    // Cancelled dialog: no file, no message.
    pulsa(b, u"Cmd_Exportar"_s, QMessageBox::Yes);
    QVERIFY(pedido);
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QVERIFY(!b.findChild<QWidget*>(u"CUADRO"_s)->isVisibleTo(&b));
    QCOMPARE(QDir(inst.path()).entryList({u"*.xlsx"_s}), QStringList{XlsxPlantilla::kArchivo});

    // Empty selection: a plain copy of the template.
    Filtros::Seleccion s;
    s.aplicaFiltro(u"(AUX1 Like 'nadie')"_s, u" = nadie"_s, u"Dato 0"_s, false);
    const auto r = Exportacion::exportar(Programa::DataCSReporte, Programa::DataTbReporte, s,
                                         inst.file(XlsxPlantilla::kArchivo), destino);
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.filas, 0);
    QCOMPARE(leeArchivo(destino), leeArchivo(inst.file(XlsxPlantilla::kArchivo)));
    QVERIFY(QFile::remove(destino));

    // Cancelled by the progress callback part way.
    qint64 total = -1;
    const auto c = Exportacion::exportar(Programa::DataCSReporte, Programa::DataTbReporte, Filtros::Seleccion(),
                                         inst.file(XlsxPlantilla::kArchivo), destino, [&](qint64 hecho, qint64 t) {
                                             total = t;
                                             return hecho < 150;
                                         });
    QVERIFY(!c.ok && c.cancelado);
    QCOMPARE(total, 200);
    QVERIFY(!QFile::exists(destino));
    QCOMPARE(restosTemporales(inst.path()), QStringList());

    frmPLANILLA::setEligeArchivo([&](QWidget*, const QString&, const QString&) { return destino; });

    // The box says why, on the line below its usual message.
    const QString plantilla = inst.file(XlsxPlantilla::kArchivo);
    const auto intenta = [&](const QString& motivo) {
        pulsa(b, u"Cmd_Exportar"_s, QMessageBox::Yes);
        QCOMPARE(MessageBox::mostrados().size(), 2);
        QCOMPARE(caja(MessageBox::mostrados().at(1)),
                 caja({MessageBox::Critico, u"ERROR"_s, u"No se pudo exportar los datos a formato Excel.\n"_s + motivo,
                       QMessageBox::Ok, QMessageBox::NoButton}));
        QVERIFY(!b.findChild<QWidget*>(u"CUADRO"_s)->isVisibleTo(&b));
        QVERIFY(!QFile::exists(destino));
        QCOMPARE(restosTemporales(inst.path()), QStringList());
    };
    // A template with its style table or its sheet cut short.
    const QString buena = inst.file(u"buena.xlsx"_s);
    QVERIFY(QFile::rename(plantilla, buena));
    const QString motivos[] = {u"La tabla de estilos de la plantilla no es válida."_s,
                               u"La hoja de la plantilla no es válida."_s};
    int i = 0;
    for (const QString& parte : {u"xl/styles.xml"_s, QString::fromLatin1(XlsxPlantilla::kHojaXml)}) {
        QFile::remove(plantilla);
        QVERIFY(openpyxl({u"--rompe"_s, parte, buena, plantilla}));
        intenta(motivos[i++]);
        QString err;
        QCOMPARE(ejecuta({u"--dir"_s, inst.path(), u"--xlsx"_s, destino}, &err), 1);
        QVERIFY2(err.contains(motivos[i - 1]), qPrintable(err));
        QVERIFY(!QFile::exists(destino));
    }
    // A cell beyond the last column a workbook has (XFD), however many letters.
    for (const QString& letras : {u"XFE"_s, u"AAAAAAAAAAAAAAAA"_s}) {
        QFile::remove(plantilla);
        QVERIFY(openpyxl({u"--columna"_s, letras, buena, plantilla}));
        intenta(motivos[1]);
    }
    // A template that is not a workbook.
    QVERIFY(escribeArchivo(plantilla, "no es un libro"));
    intenta(u"La plantilla %1 no es un libro válido."_s.arg(plantilla));
    // No template at all.
    QVERIFY(QFile::remove(plantilla));
    intenta(u"No existe la plantilla %1."_s.arg(plantilla));
    // An existing file of that name is kept when the export fails.
    QVERIFY(escribeArchivo(destino, "anterior"));
    pulsa(b, u"Cmd_Exportar"_s, QMessageBox::Yes);
    QCOMPARE(leeArchivo(destino), QByteArray("anterior"));
}

void TstReportsSalida::cortesDelListado()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    FilaPrueba f = FilaPrueba::de(1);
    f.ticket = 1234567890;
    f.aux1 = u"ABCDEFGHIJKLMNOPQRST"_s;
    f.total = 98765.5;
    QVERIFY(insertaFilas(0, {f}));
    CDatos db;
    QVERIFY(db.AbrirBase(Programa::DataCSReporte));
    ModeloReporte m;
    Filtros::Seleccion s;
    QVERIFY(m.selecciona(db.base(), db.motor(), Programa::DataTbReporte, s.filtro, s.ordenCompleto(),
                         s.ordenCompleto(true), nullptr));
    const QString l = Listado::lineaRegistro(m, 0);
    // Columns: ticket's last 8 characters, date at 10, time's first 5 at
    // 21, AUX1 cut to 15 at 28, total right-aligned in 10 at 124.
    QCOMPARE((QStringList{l.left(8), l.mid(9, 10), l.mid(20, 5), l.mid(27, 16), l.mid(43, 8), l.mid(123)}),
             (QStringList{u"34567890"_s, u"01/03/2024"_s, u"06:01"_s, u"ABCDEFGHIJKLMNO "_s, u"Camión 1"_s,
                          u"   98765.5"_s}));

    Listado listado;
    listado.titulo = u"Reporte General de Pesadas realizadas"_s;
    listado.captions = Listado::captionsAuxiliares();
    listado.momento = QDateTime(QDate(2026, 12, 5), QTime(18, 30, 1));
    listado.descFiltro = u" (Ticket entre 1 y 2)"_s;
    const auto lineas = listado.lineas(m);
    QCOMPARE(lineas.at(1).tipo, Listado::Linea::Regla);
    QCOMPARE(lineas.at(3).texto, u" Reporte General de Pesadas realizadas"_s);
    QCOMPARE(lineas.at(5).tipo, Listado::Linea::Regla);
    QCOMPARE(lineas.at(7).texto, u"  05/12/2026 - 18:30:01   (Ticket entre 1 y 2)"_s);
    QVERIFY(lineas.at(9).subrayado);
    QCOMPARE(lineas.at(9).texto.indexOf(u"Fecha"_s), 11);
    QCOMPARE(lineas.at(9).texto.indexOf(u"Dato 0:"_s), 31);
    QCOMPARE(lineas.at(9).texto.indexOf(u"Total"_s), 127);
    QCOMPARE(lineas.at(10).texto, l);
    // Without "Totales" no sum line.
    for (const auto& x : lineas)
        QVERIFY(!x.texto.contains(u"Total:"_s));
}

void TstReportsSalida::tab_data()
{
    QTest::addColumn<QString>("antes");
    QTest::addColumn<int>("columna");
    QTest::addColumn<QString>("despues");
    QTest::newRow("vacía") << QString() << 3 << u"  x"_s;
    QTest::newRow("antes del tope") << u"ab"_s << 5 << u"ab  x"_s;
    QTest::newRow("una columna antes") << u"abcd"_s << 5 << u"abcdx"_s;
    QTest::newRow("sobre el tope") << u"abcde"_s << 5 << u"abcde x"_s;
}

// Tab(n) moves to column n when the line is before it.
void TstReportsSalida::tab()
{
    QFETCH(QString, antes);
    QFETCH(int, columna);
    QFETCH(QString, despues);
    Listado::tab(antes, columna, u"x"_s);
    QCOMPARE(antes, despues);
}

void TstReportsSalida::discoLleno_data()
{
    QTest::addColumn<QString>("salida");
    QTest::addColumn<bool>("pantalla");
    QTest::newRow("tolvex-report --xlsx") << u"xlsx"_s << false;
    QTest::newRow("tolvex-report --pdf") << u"pdf"_s << false;
    QTest::newRow("exportar en pantalla") << u"xlsx"_s << true;
    QTest::newRow("imprimir a PDF en pantalla") << u"pdf"_s << true;
}

// On a full filesystem the export and the listing fail, and a file of the
// chosen name keeps what it had.
void TstReportsSalida::discoLleno()
{
    QFETCH(QString, salida);
    QFETCH(bool, pantalla);
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(4000));
    DiscoLleno disco(160);
    if (!disco.ok())
        QSKIP("hace falta root para montar un tmpfs");
    const QString destino = disco.file(u"reporte."_s + salida);
    QVERIFY(escribeArchivo(destino, "anterior"));
    // Room for the start of the file only.
    QVERIFY(escribeArchivo(disco.file(u".lastre"_s), QByteArray(100 * 1024, 'x')));
    if (!pantalla) {
        QString err;
        QCOMPARE(ejecuta({u"--dir"_s, inst.path(), u"--"_s + salida, destino}, &err), 1);
        QVERIFY(!err.isEmpty());
    } else {
        frmPLANILLA b;
        QVERIFY(b.cargado());
        frmPLANILLA::setEligeArchivo([&](QWidget*, const QString&, const QString&) { return destino; });
        imprimeEn(destino);
        if (salida == u"pdf"_s)
            pulsa(b, u"cmd_Imprimir"_s, QMessageBox::Ok);
        else
            pulsa(b, u"Cmd_Exportar"_s, QMessageBox::Yes);
        QCOMPARE(MessageBox::mostrados().size(), 2);
        QCOMPARE(MessageBox::mostrados().at(1).icono, MessageBox::Critico);
        QVERIFY(b.findChild<QLabel*>(u"Lbl_Aviso"_s)->text().isEmpty());
    }
    QCOMPARE(leeArchivo(destino), QByteArray("anterior"));
    QCOMPARE(QDir(disco.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{u".lastre"_s, u"reporte."_s + salida}));
}

void TstReportsSalida::herramienta()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(60));
    const QString xlsx = inst.file(u"diario.xlsx"_s), pdf = inst.file(u"diario.pdf"_s);
    const auto enDir = [&inst](const QStringList& args, QString* err = nullptr) {
        return ejecuta(QStringList{u"--dir"_s, inst.path()} + args, err);
    };

    QCOMPARE(enDir({u"--ticket"_s, u"10-30"_s, u"--aux"_s, u"1=ac*"_s, u"--totals"_s, u"--xlsx"_s, xlsx}), 0);
    // Every fifth ticket is a total of customer "Acme".
    const QJsonObject c = celdas(xlsx);
    QStringList tickets;
    for (int r = 8; c.contains(u"A%1"_s.arg(r)); ++r)
        tickets << celda(c, u"A%1"_s.arg(r));
    QCOMPARE(tickets, (QStringList{u"n:10"_s, u"n:15"_s, u"n:20"_s, u"n:25"_s, u"n:30"_s}));
    double suma = 0;
    for (int i = 10; i <= 30; i += 5)
        suma += FilaPrueba::de(i).total;
    QCOMPARE((QStringList{celda(c, u"I13"_s), celda(c, u"J13"_s)}), (QStringList{u"s:Total:"_s, u"n:%1"_s.arg(suma)}));

    QCOMPARE(enDir({u"--date"_s, u"02/03/2024-02/03/2024"_s, u"--xlsx"_s, xlsx}), 0);
    const QJsonObject d = celdas(xlsx);
    QCOMPARE((QStringList{celda(d, u"A8"_s), celda(d, u"A27"_s), celda(d, u"A28"_s)}),
             (QStringList{u"n:20"_s, u"n:39"_s, QString()}));

    // One day is the range of that day alone.
    QCOMPARE(enDir({u"--date"_s, u" 2024-03-02 "_s, u"--xlsx"_s, xlsx}), 0);
    const QJsonObject un = celdas(xlsx);
    QCOMPARE((QStringList{celda(un, u"A8"_s), celda(un, u"A27"_s), celda(un, u"A28"_s)}),
             (QStringList{u"n:20"_s, u"n:39"_s, QString()}));
    // With the totals switch the listing's heading starts with the first
    // filter, whichever and however many come after it.
    const QString momento = u"\\d\\d/\\d\\d/\\d{4} - \\d\\d:\\d\\d:\\d\\d +"_s;
    const struct
    {
        QStringList args;
        QString cabecera;
    } conTotales[] = {
        {{u"--ticket"_s, u"1-60"_s}, u"\\(Ticket entre 1 y 60\\) *\\n"_s},
        {{u"--date"_s, u"02/03/2024"_s, u"--aux"_s, u"1=ac*"_s},
         u"\\(Fecha y Hora = 02/03/2024\\) y \\(Dato 0 = ac\\*\\) *\\n"_s},
        {{u"--aux"_s, u"1=ac*"_s, u"--linea"_s, u"1"_s}, u"\\(Línea = 1\\) y \\(Dato 0 = ac\\*\\) *\\n"_s},
    };
    for (const auto& t : conTotales) {
        QCOMPARE(enDir(t.args + QStringList{u"--totals"_s, u"--pdf"_s, pdf}), 0);
        const QString cabecera = pdfTexto(pdf);
        QVERIFY2(cabecera.contains(QRegularExpression(momento + t.cabecera)) &&
                     cabecera.contains(u"Reporte Parcial de Pesadas realizadas"_s),
                 qPrintable(t.args.join(u' ') + u'\n' + cabecera));
    }

    QCOMPARE(enDir({u"--aux"_s, u"2=Camión 3"_s, u"--pdf"_s, pdf}), 0);
    const QString texto = pdfTexto(pdf);
    QVERIFY(texto.contains(u"Reporte Parcial de Pesadas realizadas"_s));
    QVERIFY(texto.contains(u"(Dato 1 = Camión 3)"_s));
    // Tickets 3, 10, ... 59 and the filter's description.
    QCOMPARE(texto.count(u"Camión 3"_s), 9 + 1);

    // A US desktop: the range as its screens write dates, or AAAA-MM-DD; the
    // listing's dates in that order, its times with 24 hours, no AM or PM.
    const QString enUS = u"en_US.UTF-8"_s;
    QString err;
    QCOMPARE(ejecuta({u"--dir"_s, inst.path(), u"--date"_s, u"2024-03-02-03/02/2024"_s, u"--pdf"_s, pdf}, &err, enUS), 0);
    const QString listado = pdfTexto(pdf);
    QVERIFY2(listado.contains(u"(Fecha y Hora = 03/02/2024)"_s) && listado.contains(u"20 03/02/2024 06:20 "_s),
             qPrintable(listado));
    QVERIFY2(listado.contains(QRegularExpression(u"\\d\\d/\\d\\d/\\d{4} - \\d\\d:\\d\\d:\\d\\d  "_s)) &&
                 !listado.contains(QRegularExpression(u"\\b[AP]M\\b"_s)),
             qPrintable(listado));

    // Help and mistakes in Spanish; bad arguments exit with 2.
    QString ayuda;
    QCOMPARE(ejecuta({u"--help"_s}, nullptr, enUS, &ayuda), 0);
    QVERIFY2(ayuda.startsWith(u"Uso: tolvex-report"_s) && ayuda.contains(u"--date FECHA|DESDE-HASTA"_s) &&
                 ayuda.contains(u"MM/DD/AAAA"_s) && ayuda.contains(u"con 2 cuando"_s),
             qPrintable(ayuda));
    const struct
    {
        QStringList args;
        QString error;
    } malos[] = {
        {{}, u"Indique --xlsx ARCHIVO o --pdf ARCHIVO (uno de los dos)."_s},
        {{u"--xlsx"_s, xlsx, u"--pdf"_s, pdf}, u"Indique --xlsx ARCHIVO o --pdf ARCHIVO (uno de los dos)."_s},
        {{u"--ticket"_s, u"a-b"_s, u"--xlsx"_s, xlsx}, u"--ticket espera DESDE-HASTA (números enteros)."_s},
        {{u"--date"_s, u"31/02/2024-01/03/2024"_s, u"--xlsx"_s, xlsx},
         u"--date espera FECHA o DESDE-HASTA, cada fecha como DD/MM/AAAA o AAAA-MM-DD."_s},
        {{u"--date"_s, u"31/02/2024"_s, u"--xlsx"_s, xlsx},
         u"--date espera FECHA o DESDE-HASTA, cada fecha como DD/MM/AAAA o AAAA-MM-DD."_s},
        {{u"--date"_s, u"05/03/2024-01/03/2024"_s, u"--xlsx"_s, xlsx}, u"Error en el rango de fechas"_s},
        {{u"--aux"_s, u"7=x"_s, u"--xlsx"_s, xlsx}, u"--aux espera N=PATRON con N de 1 a 6."_s},
        {{u"--bogus"_s, u"--xlsx"_s, xlsx}, u"Opción desconocida: --bogus. Vea tolvex-report --help."_s},
        {{u"--totals=si"_s, u"--xlsx"_s, xlsx}, u"La opción --totals no lleva valor."_s},
        {{u"--xlsx"_s, xlsx, u"--ticket"_s}, u"Falta el valor de --ticket (DESDE-HASTA)."_s},
        {{u"--xlsx"_s, xlsx, u"sobra"_s}, u"Argumento desconocido: sobra"_s},
    };
    for (const auto& m : malos) {
        QVERIFY2(enDir(m.args, &err) == 2, qPrintable(m.args.join(u' ')));
        QCOMPARE(err.section(u'\n', -2, -2), u"tolvex-report: "_s + m.error);
    }

    // Missing template or database: 1, with a message, no file left.
    const QString otro = inst.file(u"otro.xlsx"_s), otroPdf = inst.file(u"o.pdf"_s);
    QVERIFY(QFile::rename(inst.file(XlsxPlantilla::kArchivo), inst.file(u"guardada.xlsx"_s)));
    QCOMPARE(enDir({u"--xlsx"_s, otro}, &err), 1);
    QVERIFY(err.contains(u"REPORTE.xlsx"_s));
    QVERIFY(!QFile::exists(otro));
    QVERIFY(QFile::rename(inst.file(u"guardada.xlsx"_s), inst.file(XlsxPlantilla::kArchivo)));
    QVERIFY(QFile::rename(inst.file(u"data.db"_s), inst.file(u"guardada.db"_s)));
    QCOMPARE(enDir({u"--xlsx"_s, otro}, &err), 1);
    QVERIFY(!err.isEmpty());
    QCOMPARE(enDir({u"--pdf"_s, otroPdf}), 1);
    QVERIFY(!QFile::exists(otro) && !QFile::exists(otroPdf));
    QCOMPARE(ejecuta({u"--dir"_s, inst.file(u"nada"_s), u"--xlsx"_s, otro}), 1);
    QCOMPARE(restosTemporales(inst.path()), QStringList());
}

// One line: the listing and the book as they always were, and --linea
// still picks rows. Two lines: the line beside each row, by its name, in
// the listing, the book (the screen's and the tool's) and their filters;
// a row without a line is line 1's.
void TstReportsSalida::lineas()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QList<FilaPrueba> filas;
    for (int i = 1; i <= 12; ++i)
        filas << FilaPrueba::de(i);
    filas[1].aux1 = u"ABCDEFGHIJKLMNOPQRST"_s;
    QVERIFY(insertaFilas(0, filas));
    QVERIFY(asignaLineas());
    const QString xlsx = inst.file(u"lineas.xlsx"_s), pdf = inst.file(u"lineas.pdf"_s);
    const auto enDir = [&inst](const QStringList& args, QString* err = nullptr) {
        return ejecuta(QStringList{u"--dir"_s, inst.path()} + args, err);
    };
    const auto tickets = [](const QJsonObject& c) {
        QStringList t;
        for (int r = 8; c.contains(u"A%1"_s.arg(r)); ++r)
            t << celda(c, u"A%1"_s.arg(r)).mid(2);
        return t.join(u' ');
    };

    QCOMPARE(enDir({u"--pdf"_s, pdf}), 0);
    QVERIFY(!pdfTexto(pdf).contains(u"Línea"_s));
    QCOMPARE(enDir({u"--linea"_s, u"2"_s, u"--xlsx"_s, xlsx}), 0);
    QJsonObject c = celdas(xlsx);
    QCOMPARE(tickets(c), u"2 5 8 11"_s);
    for (auto it = c.begin(); it != c.end(); ++it)
        QVERIFY2(!it.key().startsWith(u'K'), qPrintable(it.key()));

    QVERIFY(segundaLinea(u"Molino"_s));
    QCOMPARE(enDir({u"--xlsx"_s, xlsx}), 0);
    c = celdas(xlsx);
    QCOMPARE(c.value(u"K7"_s).toArray().at(1).toString(), u"Línea"_s);
    QVERIFY(c.value(u"K7"_s).toArray().at(3).toBool()); // bold, as the heading beside it
    QCOMPARE((QStringList{celda(c, u"K8"_s), celda(c, u"K9"_s), celda(c, u"K10"_s), celda(c, u"J9"_s)}),
             (QStringList{u"n:1"_s, u"s:Molino"_s, u"n:1"_s, u"n:%1"_s.arg(FilaPrueba::de(2).total)}));
    QCOMPARE(enDir({u"--linea"_s, u" 1 "_s, u"--totals"_s, u"--xlsx"_s, xlsx}), 0);
    c = celdas(xlsx);
    QCOMPARE(tickets(c), u"10"_s); // 5 is line 2's, 10 line 1's, 15 beyond
    QCOMPARE((QStringList{celda(c, u"K8"_s), celda(c, u"I9"_s)}), (QStringList{u"n:1"_s, u"s:Total:"_s}));

    QCOMPARE(enDir({u"--linea"_s, u"2"_s, u"--pdf"_s, pdf}), 0);
    const QStringList lineas = pdfTexto(pdf).split(u'\n');
    const auto busca = [&lineas](const QString& inicio) {
        for (const QString& l : lineas)
            if (l.trimmed().startsWith(inicio))
                return l;
        return QString();
    };
    QVERIFY(!busca(u"Reporte Parcial de Pesadas realizadas"_s).isEmpty());
    QVERIFY2(pdfTexto(pdf).contains(u"(Línea = Molino)"_s), qPrintable(lineas.join(u'\n')));
    QVERIFY2(busca(u"Ticket"_s).contains(QRegularExpression(u"Ticket\\s+Fecha\\s+Hora\\s+Línea\\s+Dato 0:"_s)),
             qPrintable(busca(u"Ticket"_s)));
    const QString f2 = busca(u"2 01/03/2024"_s);
    QVERIFY2(f2.contains(QRegularExpression(u"^\\s*2 01/03/2024 06:02\\s+Molino\\s+ABCDEFGHIJKLM\\s+Camión 2\\s"_s)),
             qPrintable(f2));
    QVERIFY(busca(u"1 01/03/2024"_s).isEmpty() && !busca(u"11 01/03/2024"_s).isEmpty());

    // The columns of a row and of the headings with the line.
    CDatos db;
    QVERIFY(db.AbrirBase(Programa::DataCSReporte));
    ModeloReporte m;
    m.muestraLineas(Lineas::lista());
    Filtros::Seleccion s;
    QVERIFY(m.selecciona(db.base(), db.motor(), Programa::DataTbReporte, s.filtro, s.ordenCompleto(),
                         s.ordenCompleto(true), nullptr));
    const QString l = Listado::lineaRegistro(m, 1);
    QCOMPARE((QStringList{l.mid(26, 11), l.mid(37, 14), l.mid(51, 9), l.mid(123)}),
             (QStringList{u"Molino     "_s, u"ABCDEFGHIJKLM "_s, u"Camión 2 "_s,
                          Listado::alineaDerecha(u"%1"_s.arg(FilaPrueba::de(2).total), 10)}));
    Listado listado;
    listado.captions = Listado::captionsAuxiliares();
    const QString cabecera = listado.lineas(m).at(9).texto;
    QCOMPARE((QList<qsizetype>{cabecera.indexOf(u"Línea"_s), cabecera.indexOf(u"Dato 0:"_s),
                               cabecera.indexOf(u"Dato 5:"_s), cabecera.indexOf(u"Total"_s)}),
             (QList<qsizetype>{26, 39, 109, 127}));

    // Exported from the screen: the line's column as well.
    frmPLANILLA b;
    QVERIFY(b.cargado());
    frmPLANILLA::setEligeArchivo([&](QWidget*, const QString&, const QString&) { return xlsx; });
    pulsa(b, u"Cmd_Exportar"_s, QMessageBox::Yes);
    c = celdas(xlsx);
    QCOMPARE((QStringList{celda(c, u"K7"_s), celda(c, u"K9"_s), celda(c, u"K19"_s)}),
             (QStringList{u"s:Línea"_s, u"s:Molino"_s, u"n:1"_s}));

    // Bad numbers: exit 2 and why.
    QString err;
    for (const QString& malo : {u"dos"_s, u"0"_s, u"17"_s, u"1.5"_s, u"99999999999999999999"_s, u"1' OR '1'='1"_s}) {
        QVERIFY2(enDir({u"--linea"_s, malo, u"--xlsx"_s, xlsx}, &err) == 2, qPrintable(malo));
        QCOMPARE(err.section(u'\n', -2, -2), u"tolvex-report: --linea espera un número entero de 1 a 16."_s);
    }
    QCOMPARE(enDir({u"--xlsx"_s, xlsx, u"--linea"_s}, &err), 2);
    QCOMPARE(err.section(u'\n', -2, -2), u"tolvex-report: Falta el valor de --linea (N)."_s);
    QString ayuda;
    QCOMPARE(ejecuta({u"--help"_s}, nullptr, {}, &ayuda), 0);
    QVERIFY2(ayuda.contains(u"--linea N"_s), qPrintable(ayuda));
}

void TstReportsSalida::lineasEnLaPlantilla_data()
{
    QTest::addColumn<QString>("fila7"); // reports_xlsx.py --fila7 KIND, or the template as made
    QTest::addColumn<QString>("k7");
    QTest::addColumn<QString>("orden"); // cells of row 7 in the sheet
    const QString titulos = u"A7 B7 C7 D7 E7 F7 G7 H7 I7 J7"_s;
    QTest::newRow("plantilla del programa") << QString() << u"s:Línea"_s << titulos + u" K7"_s;
    QTest::newRow("una nota en L7") << u"nota"_s << u"s:Línea"_s << titulos + u" K7 L7"_s;
    QTest::newRow("título propio en K7") << u"propia"_s << u"s:Sector"_s << titulos + u" K7 L7"_s;
    QTest::newRow("sin fila de títulos") << u"sin"_s << u"s:Línea"_s << u"K7"_s;
}

// The line's heading goes into row 7 in column order, or makes that row;
// a heading the plant wrote there stays.
void TstReportsSalida::lineasEnLaPlantilla()
{
    QFETCH(QString, fila7);
    QFETCH(QString, k7);
    QFETCH(QString, orden);
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(3));
    QVERIFY(asignaLineas());
    QVERIFY(segundaLinea(u"Molino"_s));
    const QString plantilla = inst.file(XlsxPlantilla::kArchivo);
    if (!fila7.isEmpty()) {
        const QString original = inst.file(u"original.xlsx"_s);
        QVERIFY(QFile::rename(plantilla, original));
        QVERIFY(openpyxl({u"--fila7"_s, fila7, original, plantilla}));
    }
    const QString xlsx = inst.file(u"lineas.xlsx"_s);
    QString err;
    QVERIFY2(ejecuta({u"--dir"_s, inst.path(), u"--xlsx"_s, xlsx}, &err) == 0, qPrintable(err));
    const QJsonObject c = celdas(xlsx);
    QCOMPARE((QStringList{celda(c, u"K7"_s), celda(c, u"K8"_s), celda(c, u"K9"_s), celda(c, u"A10"_s)}),
             (QStringList{k7, u"n:1"_s, u"s:Molino"_s, u"n:3"_s}));
    QByteArray fila;
    QVERIFY(openpyxl({u"--orden"_s, xlsx}, &fila));
    QCOMPARE(QString::fromUtf8(fila).trimmed(), orden + u"\nfilas en orden"_s);
}

QTEST_MAIN(TstReportsSalida)
#include "tst_reports_salida.moc"

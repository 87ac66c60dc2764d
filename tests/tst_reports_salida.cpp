#include <QCheckBox>
#include <QJsonDocument>
#include <QLabel>
#include <QJsonObject>
#include <QPrinter>
#include <QPushButton>
#include <QtTest>

#include "Config.h"
#include "Exportacion.h"
#include "Listado.h"
#include "MessageBox.h"
#include "ModeloReporte.h"
#include "ReportesPrueba.h"
#include "XlsxPlantilla.h"
#include "frmPLANILLA.h"

namespace {

// Cells of sheet REPORTE as openpyxl reads them: "A8" -> [kind, value].
QJsonObject celdas(const QString& archivo, QStringList* hojas = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(TOLVEX_TESTS_DIR "/reports_xlsx.py"), archivo});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        qWarning() << p.readAllStandardError();
        return {};
    }
    const QJsonObject o = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    if (hojas)
        for (const auto& h : o.value(QStringLiteral("sheets")).toArray())
            *hojas << h.toString();
    return o.value(QStringLiteral("cells")).toObject();
}

QString celda(const QJsonObject& c, const QString& ref)
{
    const QJsonArray a = c.value(ref).toArray();
    if (a.isEmpty())
        return {};
    const QJsonValue v = a.at(1);
    return a.at(0).toString() + u':' + (v.isDouble() ? QString::number(v.toDouble(), 'g', 15) : v.toString());
}

QString pdfTexto(const QString& pdf)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

int ejecuta(const QStringList& args, QString* stderrText = nullptr)
{
    QProcess p;
    p.start(qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-report"), args);
    if (!p.waitForFinished(120000))
        return -1;
    if (stderrText)
        *stderrText = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QStringList restosTemporales(const QString& dir)
{
    return QDir(dir).entryList({QStringLiteral(".*part"), QStringLiteral(".hoja*")}, QDir::Files | QDir::Hidden);
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

    void exporta_data();
    void exporta();
    void plantillaAjena_data();
    void plantillaAjena();
    void exportaVaciaYCancelada();
    void exportaSinPlantilla();
    void exportaCancelaEnCurso();
    void imprime();
    void cortesDelListado();
    void tab_data();
    void tab();
    void discoLleno_data();
    void discoLleno();
    void herramienta();
};

void TstReportsSalida::exporta_data()
{
    QTest::addColumn<QString>("postgres");
    QTest::addColumn<bool>("totales");
    QTest::newRow("sqlite") << QString() << false;
    QTest::newRow("sqlite totales") << QString() << true;
    QTest::newRow("postgresql totales") << QStringLiteral("pg") << true;
}

void TstReportsSalida::exporta()
{
    QFETCH(QString, postgres);
    QFETCH(bool, totales);
    if (!postgres.isEmpty()) {
        postgres = conexionPostgres();
        if (postgres.isEmpty())
            QSKIP("TOLVEX_TEST_PG no está definido");
    }
    InstalacionDePrueba inst(postgres);
    QVERIFY(inst.ok());
    // Three total records of 100, 250 and 50 among plain ones.
    QList<FilaPrueba> filas;
    const double tot[5] = {100, 77, 250, 12.25, 50};
    for (int i = 0; i < 5; ++i) {
        FilaPrueba f = FilaPrueba::de(i + 1);
        f.total = tot[i];
        f.opcion1 = i % 2 == 0;
        filas << f;
    }
    filas[1].aux1 = QStringLiteral("Zeta <&> \"SA\" 'x' ñandú");
    QVERIFY(insertaFilas(0, filas));

    frmPLANILLA b;
    QVERIFY(b.cargado());
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b));
    const QSize tamano = b.size();
    if (totales)
        b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->setChecked(true);
    const QString destino = inst.file(QStringLiteral("salida.xlsx"));
    QString carpeta, filtro;
    bool cuadroVisible = false;
    frmPLANILLA::setEligeArchivo([&](QWidget*, const QString& c, const QString& f) {
        carpeta = c;
        filtro = f;
        cuadroVisible = b.findChild<QWidget*>(QStringLiteral("CUADRO"))->isVisibleTo(&b);
        return destino;
    });
    MessageBox::setNextAnswer(QMessageBox::Yes);
    b.findChild<QPushButton*>(QStringLiteral("Cmd_Exportar"))->click();
    QCOMPARE(MessageBox::mostrados().size(), 1);
    const auto q = MessageBox::mostrados().at(0);
    QCOMPARE(q.texto, QStringLiteral("¿Desea exportar los datos a formato Excel?"));
    QCOMPARE(q.titulo, QStringLiteral("ATENCION"));
    QCOMPARE(q.icono, MessageBox::Informacion);
    QCOMPARE(filtro, QStringLiteral("Archivos Excel (*.xlsx)"));
    QVERIFY(cuadroVisible);
    QVERIFY(QFileInfo(carpeta).isDir());
    QVERIFY(!b.findChild<QWidget*>(QStringLiteral("CUADRO"))->isVisibleTo(&b));
    QVERIFY(QFile::exists(destino));
    QCOMPARE(restosTemporales(inst.path()), QStringList());
    // The window as it was, and a word in it on where the rows went.
    QCOMPARE(b.size(), tamano);
    QCOMPARE(b.findChild<QLabel*>(QStringLiteral("Lbl_Aviso"))->text(),
             QStringLiteral("Exportados %1 registros a %2").arg(totales ? 3 : 5).arg(destino));

    QStringList hojas;
    const QJsonObject c = celdas(destino, &hojas);
    QCOMPARE(hojas, QStringList{QStringLiteral("REPORTE")});
    // Headings of the template stay.
    QCOMPARE(celda(c, QStringLiteral("A7")), QStringLiteral("s:Ticket"));
    QCOMPARE(celda(c, QStringLiteral("J7")), QStringLiteral("s:Total"));
    QList<int> esperadas;
    for (int i = 0; i < 5; ++i)
        if (!totales || filas[i].opcion1)
            esperadas << i;
    int fila = 8;
    for (int i : esperadas) {
        const FilaPrueba& f = filas[i];
        const QString r = QString::number(fila);
        QCOMPARE(celda(c, u'A' + r), QStringLiteral("n:%1").arg(f.ticket));
        QCOMPARE(celda(c, u'B' + r), QStringLiteral("d:") + f.fecha.toString(Qt::ISODate));
        QCOMPARE(celda(c, u'C' + r), QStringLiteral("t:") + f.hora.toString(QStringLiteral("HH:mm:ss")));
        QCOMPARE(celda(c, u'D' + r), QStringLiteral("s:") + f.aux1);
        QCOMPARE(celda(c, u'E' + r), QStringLiteral("s:") + f.aux2);
        QCOMPARE(celda(c, u'F' + r), QString()); // empty AUX3
        QCOMPARE(celda(c, u'J' + r), QStringLiteral("n:%1").arg(f.total));
        QCOMPARE(celda(c, u'K' + r), QString());
        ++fila;
    }
    if (totales) {
        QCOMPARE(fila, 11);
        QCOMPARE(celda(c, QStringLiteral("I11")), QStringLiteral("s:Total:"));
        QCOMPARE(celda(c, QStringLiteral("J11")), QStringLiteral("n:400"));
    }
    // Headings, two titles, six filled cells a row, the sum.
    QCOMPARE(c.size(), 10 + 2 + esperadas.size() * 6 + (totales ? 2 : 0));
}

void TstReportsSalida::plantillaAjena_data()
{
    QTest::addColumn<QString>("escritor");
    QTest::addColumn<int>("filas");
    QTest::addColumn<int>("pie"); // row of the signature footer in the result
    QTest::addColumn<QString>("variante"); // the openpyxl template as another writer lays it out
    QTest::newRow("openpyxl, pie intacto") << QStringLiteral("openpyxl") << 5 << 30 << QString();
    QTest::newRow("openpyxl, pie bajo los datos") << QStringLiteral("openpyxl") << 30 << 39 << QString();
    QTest::newRow("LibreOffice, pie intacto") << QStringLiteral("libreoffice") << 22 << 30 << QString();
    QTest::newRow("LibreOffice, pie bajo los datos") << QStringLiteral("libreoffice") << 23 << 32 << QString();
    QTest::newRow("prefijo de espacio de nombres") << QStringLiteral("openpyxl") << 30 << 39 << "prefijo";
    QTest::newRow("celdas sin posición") << QStringLiteral("openpyxl") << 30 << 39 << "sin-posiciones";
    QTest::newRow("sin tabla de estilos") << QStringLiteral("openpyxl") << 30 << 39 << "sin-estilos";
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
    const QString script = QStringLiteral(TOLVEX_TESTS_DIR "/reports_xlsx.py");
    const QString base = variante.isEmpty() ? plantilla : inst.file(QStringLiteral("base.xlsx"));
    const bool estilos = variante != QStringLiteral("sin-estilos");
    QFile::remove(plantilla);
    if (escritor == QStringLiteral("openpyxl")) {
        QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/python3"), {script, QStringLiteral("--plantilla"), base}), 0);
        if (!variante.isEmpty())
            QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/python3"),
                                       {script, QStringLiteral("--variante"), variante, base, plantilla}),
                     0);
    } else {
        QVERIFY(QFile::copy(QStringLiteral(TOLVEX_TESTS_DIR "/data/plantilla_libreoffice.xlsx"), plantilla));
    }
    QVERIFY(insertaFilas(filas));
    const QString destino = inst.file(QStringLiteral("planta.xlsx"));
    QCOMPARE(ejecuta({QStringLiteral("--dir"), inst.path(), QStringLiteral("--xlsx"), destino}), 0);

    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(TOLVEX_TESTS_DIR "/reports_xlsx.py"), destino});
    QVERIFY(p.waitForFinished(60000));
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    const QJsonObject o = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    const QJsonObject c = o.value(QStringLiteral("cells")).toObject();
    const QJsonObject esFecha = o.value(QStringLiteral("dateFormats")).toObject();
    const auto formato = [&c](const QString& ref) { return c.value(ref).toArray().at(2).toString(); };
    QCOMPARE(o.value(QStringLiteral("sheets")).toVariant().toStringList(),
             (QStringList{QStringLiteral("REPORTE"), QStringLiteral("Notas")}));

    // Headings as the template has them: values, fonts, fills, merges.
    QCOMPARE(celda(c, QStringLiteral("A1")), QStringLiteral("s:Molinos del Sur S.A."));
    QCOMPARE(celda(c, QStringLiteral("A7")), QStringLiteral("s:N° ticket"));
    QCOMPARE(o.value(QStringLiteral("widths")).toObject().value(QStringLiteral("D")).toDouble(), 24.0);
    if (estilos) {
        QVERIFY(c.value(QStringLiteral("A1")).toArray().at(3).toBool());
        QCOMPARE(c.value(QStringLiteral("J7")).toArray().at(4).toString(), QStringLiteral("FFDDEBF7"));
    }
    // Without positions the template's H2 follows A2 and so is B2 there.
    if (estilos && variante != QStringLiteral("sin-posiciones")) {
        QCOMPARE(celda(c, QStringLiteral("H2")), QStringLiteral("d:2025-01-31"));
        QCOMPARE(formato(QStringLiteral("H2")).remove(u'\\'), QStringLiteral("yyyy-mm-dd"));
    }
    // The note beside the first data row stays.
    QCOMPARE(celda(c, QStringLiteral("L8")), QStringLiteral("s:Observaciones: balanza verificada"));

    for (int i = 1; i <= filas; ++i) {
        const FilaPrueba f = FilaPrueba::de(i);
        const QString r = QString::number(7 + i);
        QCOMPARE(celda(c, u'A' + r), QStringLiteral("n:%1").arg(i));
        // Dates and times are date cells with a date or time format; the
        // template's own format of the column is kept.
        QCOMPARE(celda(c, u'B' + r), QStringLiteral("d:") + f.fecha.toString(Qt::ISODate));
        QVERIFY2(esFecha.value(u'B' + r).toBool(), qPrintable(formato(u'B' + r)));
        if (estilos)
            QCOMPARE(formato(u'B' + r).toLower().remove(u'\\'), QStringLiteral("d-mmm-yy"));
        QCOMPARE(celda(c, u'C' + r), QStringLiteral("t:") + f.hora.toString(QStringLiteral("HH:mm:ss")));
        QVERIFY2(esFecha.value(u'C' + r).toBool(), qPrintable(formato(u'C' + r)));
        QCOMPARE(celda(c, u'D' + r), QStringLiteral("s:") + f.aux1);
        QCOMPARE(celda(c, u'J' + r), QStringLiteral("n:%1").arg(f.total));
        if (estilos)
            QCOMPARE(formato(u'J' + r), QStringLiteral("#,##0.00"));
    }
    // The footer: in place while the data does not reach it, else moved
    // below the data with one blank row between, with its merge.
    const QString firma = QStringLiteral("s:Firma del responsable: ____________");
    QCOMPARE(celda(c, QStringLiteral("A%1").arg(pie)), firma);
    QCOMPARE(celda(c, QStringLiteral("A%1").arg(pie + 1)), QStringLiteral("s:Documento interno"));
    QVERIFY(o.value(QStringLiteral("merged")).toVariant().toStringList().contains(QStringLiteral("A%1:D%1").arg(pie)));
    QVERIFY(o.value(QStringLiteral("merged")).toVariant().toStringList().contains(QStringLiteral("A1:F1")));
    if (pie != 30)
        QCOMPARE(pie, filas + 7 + 2);
    int firmas = 0;
    for (auto it = c.begin(); it != c.end(); ++it)
        firmas += celda(c, it.key()) == firma;
    QCOMPARE(firmas, 1);
    QCOMPARE(restosTemporales(inst.path()), QStringList());
}

void TstReportsSalida::exportaVaciaYCancelada()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(10));
    frmPLANILLA b;
    const QString destino = inst.file(QStringLiteral("vacia.xlsx"));

    // No to the question: no dialog at all.
    bool pedido = false;
    frmPLANILLA::setEligeArchivo([&](QWidget*, const QString&, const QString&) {
        pedido = true;
        return QString();
    });
    MessageBox::setNextAnswer(QMessageBox::No);
    b.findChild<QPushButton*>(QStringLiteral("Cmd_Exportar"))->click();
    QVERIFY(!pedido);

    // Cancelled dialog: no file, no message.
    MessageBox::limpiar();
    MessageBox::setNextAnswer(QMessageBox::Yes);
    b.findChild<QPushButton*>(QStringLiteral("Cmd_Exportar"))->click();
    QVERIFY(pedido);
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QVERIFY(!b.findChild<QWidget*>(QStringLiteral("CUADRO"))->isVisibleTo(&b));
    QCOMPARE(QDir(inst.path()).entryList({QStringLiteral("*.xlsx")}), QStringList{XlsxPlantilla::kArchivo});

    // Empty selection: a plain copy of the template.
    Filtros::Seleccion s;
    s.aplicaFiltro(QStringLiteral("(AUX1 Like 'nadie')"), QStringLiteral(" = nadie"), QStringLiteral("Dato 0"), false);
    const auto r = Exportacion::exportar(Programa::DataCSReporte, Programa::DataTbReporte, s,
                                         inst.file(XlsxPlantilla::kArchivo), destino);
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.filas, 0);
    QCOMPARE(leeArchivo(destino), leeArchivo(inst.file(XlsxPlantilla::kArchivo)));
    QCOMPARE(restosTemporales(inst.path()), QStringList());
}

void TstReportsSalida::exportaSinPlantilla()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(10));
    frmPLANILLA b;
    const QString destino = inst.file(QStringLiteral("sin.xlsx"));
    frmPLANILLA::setEligeArchivo([&](QWidget*, const QString&, const QString&) { return destino; });

    const auto intenta = [&] {
        MessageBox::limpiar();
        MessageBox::setNextAnswer(QMessageBox::Yes);
        b.findChild<QPushButton*>(QStringLiteral("Cmd_Exportar"))->click();
        QCOMPARE(MessageBox::mostrados().size(), 2);
        const auto m = MessageBox::mostrados().at(1);
        QCOMPARE(m.texto, QStringLiteral("No se pudo exportar los datos a formato Excel."));
        QCOMPARE(m.titulo, QStringLiteral("ERROR"));
        QCOMPARE(m.icono, MessageBox::Critico);
        QVERIFY(!b.findChild<QWidget*>(QStringLiteral("CUADRO"))->isVisibleTo(&b));
        QVERIFY(!QFile::exists(destino));
        QCOMPARE(restosTemporales(inst.path()), QStringList());
    };
    // A template with its style table or its sheet cut short.
    const QString buena = inst.file(QStringLiteral("buena.xlsx"));
    QVERIFY(QFile::rename(inst.file(XlsxPlantilla::kArchivo), buena));
    for (const QString& parte : {QStringLiteral("xl/styles.xml"), QString::fromLatin1(XlsxPlantilla::kHojaXml)}) {
        QFile::remove(inst.file(XlsxPlantilla::kArchivo));
        QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/python3"),
                                   {QStringLiteral(TOLVEX_TESTS_DIR "/reports_xlsx.py"), QStringLiteral("--rompe"), parte,
                                    buena, inst.file(XlsxPlantilla::kArchivo)}),
                 0);
        intenta();
        QCOMPARE(ejecuta({QStringLiteral("--dir"), inst.path(), QStringLiteral("--xlsx"), destino}), 1);
        QVERIFY(!QFile::exists(destino));
    }
    // A template that is not a workbook.
    QVERIFY(escribeArchivo(inst.file(XlsxPlantilla::kArchivo), "no es un libro"));
    intenta();
    // No template at all.
    QVERIFY(QFile::remove(inst.file(XlsxPlantilla::kArchivo)));
    intenta();
    // An existing file of that name is kept when the export fails.
    QVERIFY(escribeArchivo(destino, "anterior"));
    MessageBox::limpiar();
    MessageBox::setNextAnswer(QMessageBox::Yes);
    b.findChild<QPushButton*>(QStringLiteral("Cmd_Exportar"))->click();
    QCOMPARE(leeArchivo(destino), QByteArray("anterior"));
}

void TstReportsSalida::exportaCancelaEnCurso()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(200));
    const QString destino = inst.file(QStringLiteral("cortado.xlsx"));
    qint64 total = -1;
    const auto r = Exportacion::exportar(Programa::DataCSReporte, Programa::DataTbReporte, Filtros::Seleccion(),
                                         inst.file(XlsxPlantilla::kArchivo), destino, [&](qint64 hecho, qint64 t) {
                                             total = t;
                                             return hecho < 150;
                                         });
    QVERIFY(!r.ok);
    QVERIFY(r.cancelado);
    QCOMPARE(total, 200);
    QVERIFY(!QFile::exists(destino));
    QCOMPARE(restosTemporales(inst.path()), QStringList());
}

void TstReportsSalida::imprime()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato0"), QStringLiteral("Cliente:")));
    QList<FilaPrueba> filas;
    const double tot[5] = {100, 77, 250, 12.25, 50};
    for (int i = 0; i < 5; ++i) {
        FilaPrueba f = FilaPrueba::de(i + 1);
        f.total = tot[i];
        f.opcion1 = i % 2 == 0;
        filas << f;
    }
    QVERIFY(insertaFilas(0, filas));
    frmPLANILLA b;
    b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->setChecked(true);
    b.mover(1);
    const QString pdf = inst.file(QStringLiteral("listado.pdf"));
    // What page setup chose reaches the listing: paper and margins.
    QPrinter& impresora = Listado::impresora();
    const QPageLayout anterior = impresora.pageLayout();
    impresora.setPageSize(QPageSize(QPageSize::A3));
    impresora.setPageMargins(QMarginsF(25, 20, 25, 20), QPageLayout::Millimeter);
    frmPLANILLA::setEligeImpresora([&](QWidget*, QPrinter* printer, const std::function<void(QPrinter*)>& imprime) {
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(pdf);
        imprime(printer);
        printer->setOutputFileName(QString());
        return true;
    });
    // Cancel: nothing printed.
    MessageBox::setNextAnswer(QMessageBox::Cancel);
    b.findChild<QPushButton*>(QStringLiteral("cmd_Imprimir"))->click();
    QVERIFY(!QFile::exists(pdf));
    const auto q = MessageBox::mostrados().at(0);
    QCOMPARE(q.texto, QStringLiteral("Desea imprimir un reporte? "));
    QCOMPARE(q.titulo, QStringLiteral("Atencion"));
    QCOMPARE(q.icono, MessageBox::Informacion);
    QCOMPARE(q.porDefecto, QMessageBox::Cancel);

    MessageBox::setNextAnswer(QMessageBox::Ok);
    b.findChild<QPushButton*>(QStringLiteral("cmd_Imprimir"))->click();
    QVERIFY(QFile::exists(pdf));
    QCOMPARE(b.posicion(), 1); // back on the record it was on
    impresora.setPageLayout(anterior);
    QProcess info;
    info.start(QStringLiteral("pdfinfo"), {pdf});
    QVERIFY(info.waitForFinished(60000));
    const QString paginas = QString::fromUtf8(info.readAllStandardOutput());
    QVERIFY2(paginas.contains(QStringLiteral("1191 x 842 pts (A3)")), qPrintable(paginas));
    // The text starts at the left margin, 25 mm = 70.9 pt.
    QProcess caja;
    caja.start(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), pdf, QStringLiteral("-")});
    QVERIFY(caja.waitForFinished(60000));
    const auto x = QRegularExpression(QStringLiteral("xMin=\"([0-9.]+)\"[^>]*>Reporte"))
                       .match(QString::fromUtf8(caja.readAllStandardOutput()));
    QVERIFY(x.hasMatch());
    QVERIFY2(std::abs(x.captured(1).toDouble() - 70.9 - 6.0) < 2.0, qPrintable(x.captured(1)));
    const QStringList lineas = pdfTexto(pdf).split(u'\n');
    const auto busca = [&lineas](const QString& inicio) {
        for (const QString& l : lineas)
            if (l.trimmed().startsWith(inicio))
                return l;
        return QString();
    };
    QVERIFY(!busca(QStringLiteral("Reporte Parcial de Pesadas realizadas")).isEmpty() ||
            !busca(QStringLiteral("Reporte General de Pesadas realizadas")).isEmpty());
    const QString cabecera = busca(QStringLiteral("Ticket"));
    QVERIFY2(cabecera.contains(QRegularExpression(QStringLiteral(
                 "Ticket\\s+Fecha\\s+Hora\\s+Cliente:\\s+Dato 1:\\s+Dato 2:\\s+Dato 3:\\s+Dato 4:\\s+Dato 5:\\s+Total"))),
             qPrintable(cabecera));
    const QString hoy = QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy"));
    QVERIFY(!busca(hoy + QStringLiteral(" - ")).isEmpty());
    // Three total rows and the sum 400; ticket 2 is not a total.
    const QString f1 = busca(QStringLiteral("1 01/03/2024 06:01"));
    QVERIFY2(f1.contains(QRegularExpression(QStringLiteral("^\\s*1 01/03/2024 06:01\\s+abeto\\s+Camión 1\\s+100$"))),
             qPrintable(f1));
    QVERIFY(!busca(QStringLiteral("3 01/03/2024")).isEmpty());
    QVERIFY(busca(QStringLiteral("2 01/03/2024")).isEmpty());
    QVERIFY(busca(QStringLiteral("Total:")).contains(QRegularExpression(QStringLiteral("Total:\\s+400$"))));
}

void TstReportsSalida::cortesDelListado()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    FilaPrueba f = FilaPrueba::de(1);
    f.ticket = 1234567890;
    f.aux1 = QStringLiteral("ABCDEFGHIJKLMNOPQRST");
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
    QCOMPARE(l.left(8), QStringLiteral("34567890"));
    QCOMPARE(l.mid(9, 10), QStringLiteral("01/03/2024"));
    QCOMPARE(l.mid(20, 5), QStringLiteral("06:01"));
    QCOMPARE(l.mid(27, 16), QStringLiteral("ABCDEFGHIJKLMNO "));
    QCOMPARE(l.mid(43, 8), QStringLiteral("Camión 1"));
    QCOMPARE(l.mid(123), QStringLiteral("   98765.5"));

    Listado listado;
    listado.titulo = QStringLiteral("Reporte General de Pesadas realizadas");
    listado.captions = Listado::captionsAuxiliares();
    listado.momento = QDateTime(QDate(2026, 12, 5), QTime(18, 30, 1));
    listado.descFiltro = QStringLiteral(" (Ticket entre 1 y 2)");
    const auto lineas = listado.lineas(m);
    QCOMPARE(lineas.at(1).tipo, Listado::Linea::Regla);
    QCOMPARE(lineas.at(3).texto, QStringLiteral(" Reporte General de Pesadas realizadas"));
    QCOMPARE(lineas.at(5).tipo, Listado::Linea::Regla);
    QCOMPARE(lineas.at(7).texto, QStringLiteral("  05/12/2026 - 18:30:01   (Ticket entre 1 y 2)"));
    QVERIFY(lineas.at(9).subrayado);
    QCOMPARE(lineas.at(9).texto.indexOf(QStringLiteral("Fecha")), 11);
    QCOMPARE(lineas.at(9).texto.indexOf(QStringLiteral("Dato 0:")), 31);
    QCOMPARE(lineas.at(9).texto.indexOf(QStringLiteral("Total")), 127);
    QCOMPARE(lineas.at(10).texto, l);
    // Without "Totales" no sum line.
    for (const auto& x : lineas)
        QVERIFY(!x.texto.contains(QStringLiteral("Total:")));
}

void TstReportsSalida::tab_data()
{
    QTest::addColumn<QString>("antes");
    QTest::addColumn<int>("columna");
    QTest::addColumn<QString>("despues");
    QTest::newRow("vacía") << QString() << 3 << QStringLiteral("  x");
    QTest::newRow("antes del tope") << QStringLiteral("ab") << 5 << QStringLiteral("ab  x");
    QTest::newRow("una columna antes") << QStringLiteral("abcd") << 5 << QStringLiteral("abcdx");
    QTest::newRow("sobre el tope") << QStringLiteral("abcde") << 5 << QStringLiteral("abcde x");
}

// Tab(n) moves to column n when the line is before it.
void TstReportsSalida::tab()
{
    QFETCH(QString, antes);
    QFETCH(int, columna);
    QFETCH(QString, despues);
    Listado::tab(antes, columna, QStringLiteral("x"));
    QCOMPARE(antes, despues);
}

void TstReportsSalida::discoLleno_data()
{
    QTest::addColumn<QString>("salida");
    QTest::addColumn<bool>("pantalla");
    QTest::newRow("tolvex-report --xlsx") << QStringLiteral("xlsx") << false;
    QTest::newRow("tolvex-report --pdf") << QStringLiteral("pdf") << false;
    QTest::newRow("exportar en pantalla") << QStringLiteral("xlsx") << true;
    QTest::newRow("imprimir a PDF en pantalla") << QStringLiteral("pdf") << true;
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
    const QString destino = disco.file(QStringLiteral("reporte.") + salida);
    QVERIFY(escribeArchivo(destino, "anterior"));
    // Room for the start of the file only.
    QFile lastre(disco.file(QStringLiteral(".lastre")));
    QVERIFY(lastre.open(QIODevice::WriteOnly));
    QVERIFY(lastre.write(QByteArray(100 * 1024, 'x')) > 0 && lastre.flush());
    lastre.close();
    if (!pantalla) {
        QString err;
        QCOMPARE(ejecuta({QStringLiteral("--dir"), inst.path(), u"--"_qs + salida, destino}, &err), 1);
        QVERIFY(!err.isEmpty());
    } else {
        frmPLANILLA b;
        QVERIFY(b.cargado());
        frmPLANILLA::setEligeArchivo([&](QWidget*, const QString&, const QString&) { return destino; });
        frmPLANILLA::setEligeImpresora([&](QWidget*, QPrinter* printer, const std::function<void(QPrinter*)>& imprime) {
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(destino);
            imprime(printer);
            printer->setOutputFileName(QString());
            return true;
        });
        MessageBox::setNextAnswer(salida == QStringLiteral("pdf") ? QMessageBox::Ok : QMessageBox::Yes);
        b.findChild<QPushButton*>(salida == QStringLiteral("pdf") ? QStringLiteral("cmd_Imprimir")
                                                                  : QStringLiteral("Cmd_Exportar"))
            ->click();
        QCOMPARE(MessageBox::mostrados().size(), 2);
        QCOMPARE(MessageBox::mostrados().at(1).icono, MessageBox::Critico);
        QVERIFY(b.findChild<QLabel*>(QStringLiteral("Lbl_Aviso"))->text().isEmpty());
    }
    QCOMPARE(leeArchivo(destino), QByteArray("anterior"));
    QCOMPARE(QDir(disco.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral(".lastre"), QStringLiteral("reporte.") + salida}));
}

void TstReportsSalida::herramienta()
{
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(insertaFilas(60));
    const QString xlsx = inst.file(QStringLiteral("diario.xlsx"));
    const QString dir = inst.path();
    QString err;

    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--ticket"), QStringLiteral("10-30"),
                      QStringLiteral("--aux"), QStringLiteral("1=ac*"), QStringLiteral("--totals"),
                      QStringLiteral("--xlsx"), xlsx}, &err), 0);
    // Every fifth ticket is a total of customer "Acme".
    const QJsonObject c = celdas(xlsx);
    QStringList tickets;
    for (int r = 8; c.contains(QStringLiteral("A%1").arg(r)); ++r)
        tickets << celda(c, QStringLiteral("A%1").arg(r));
    QCOMPARE(tickets, (QStringList{QStringLiteral("n:10"), QStringLiteral("n:15"), QStringLiteral("n:20"),
                                   QStringLiteral("n:25"), QStringLiteral("n:30")}));
    double suma = 0;
    for (int i = 10; i <= 30; i += 5)
        suma += FilaPrueba::de(i).total;
    QCOMPARE(celda(c, QStringLiteral("I13")), QStringLiteral("s:Total:"));
    QCOMPARE(celda(c, QStringLiteral("J13")), QStringLiteral("n:%1").arg(suma));

    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--date"), QStringLiteral("02/03/2024-02/03/2024"),
                      QStringLiteral("--xlsx"), xlsx}), 0);
    const QJsonObject d = celdas(xlsx);
    QCOMPARE(celda(d, QStringLiteral("A8")), QStringLiteral("n:20"));
    QCOMPARE(celda(d, QStringLiteral("A27")), QStringLiteral("n:39"));
    QCOMPARE(celda(d, QStringLiteral("A28")), QString());

    const QString pdf = inst.file(QStringLiteral("diario.pdf"));
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--aux"), QStringLiteral("2=Camión 3"),
                      QStringLiteral("--pdf"), pdf}), 0);
    const QString texto = pdfTexto(pdf);
    QVERIFY(texto.contains(QStringLiteral("Reporte Parcial de Pesadas realizadas")));
    QVERIFY(texto.contains(QStringLiteral("(Dato 1 = Camión 3)")));
    // Tickets 3, 10, ... 59 and the filter's description.
    QCOMPARE(texto.count(QStringLiteral("Camión 3")), 9 + 1);

    // Bad arguments: 2.
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir}), 2);
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--xlsx"), xlsx, QStringLiteral("--pdf"), pdf}), 2);
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--ticket"), QStringLiteral("a-b"),
                      QStringLiteral("--xlsx"), xlsx}), 2);
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--date"), QStringLiteral("31/02/2024-01/03/2024"),
                      QStringLiteral("--xlsx"), xlsx}), 2);
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--date"), QStringLiteral("05/03/2024-01/03/2024"),
                      QStringLiteral("--xlsx"), xlsx}), 2);
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--aux"), QStringLiteral("7=x"),
                      QStringLiteral("--xlsx"), xlsx}), 2);
    QCOMPARE(ejecuta({QStringLiteral("--bogus"), QStringLiteral("--xlsx"), xlsx}), 2);

    // Missing template or database: 1, with a message, no file left.
    const QString otro = inst.file(QStringLiteral("otro.xlsx"));
    QVERIFY(QFile::rename(inst.file(XlsxPlantilla::kArchivo), inst.file(QStringLiteral("guardada.xlsx"))));
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--xlsx"), otro}, &err), 1);
    QVERIFY(err.contains(QStringLiteral("REPORTE.xlsx")));
    QVERIFY(!QFile::exists(otro));
    QVERIFY(QFile::rename(inst.file(QStringLiteral("guardada.xlsx")), inst.file(XlsxPlantilla::kArchivo)));
    QVERIFY(QFile::rename(inst.file(QStringLiteral("data.db")), inst.file(QStringLiteral("guardada.db"))));
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--xlsx"), otro}, &err), 1);
    QVERIFY(!err.isEmpty());
    QCOMPARE(ejecuta({QStringLiteral("--dir"), dir, QStringLiteral("--pdf"), inst.file(QStringLiteral("o.pdf"))}), 1);
    QVERIFY(!QFile::exists(otro));
    QVERIFY(!QFile::exists(inst.file(QStringLiteral("o.pdf"))));
    QCOMPARE(ejecuta({QStringLiteral("--dir"), inst.file(QStringLiteral("nada")), QStringLiteral("--xlsx"), otro}), 1);
    QCOMPARE(restosTemporales(inst.path()), QStringList());
}

QTEST_MAIN(TstReportsSalida)
#include "tst_reports_salida.moc"

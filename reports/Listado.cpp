#include "Listado.h"

#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>

#include "ArchivoAtomico.h"
#include "Config.h"
#include "FechaHora.h"
#include "ModeloReporte.h"

void Listado::tab(QString& linea, int columna, const QString& texto)
{
    const int posicion = columna - 1;
    if (linea.size() <= posicion)
        linea += QString(posicion - linea.size(), u' ');
    else if (!linea.isEmpty())
        linea += u' ';
    linea += texto;
}

QString Listado::alineaDerecha(const QString& texto, int ancho)
{
    return (QString(ancho, u' ') + texto).right(ancho);
}

QStringList Listado::captionsAuxiliares()
{
    QStringList c;
    for (int i = 0; i < 6; ++i)
        c << Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i),
                               QStringLiteral("Dato %1:").arg(i));
    return c;
}

QString Listado::lineaRegistro(const ModeloReporte& m, int fila)
{
    QString l = alineaDerecha(m.texto(fila, ModeloReporte::TICKET), 8);
    tab(l, 10, m.texto(fila, ModeloReporte::FECHA).left(10));
    tab(l, 21, m.texto(fila, ModeloReporte::HORA).left(5));
    if (m.conLinea()) {
        // The line takes room from the six data, cut to 13 letters.
        tab(l, 27, m.texto(fila, ModeloReporte::LINEA).left(10));
        const int columnas[6] = {38, 52, 66, 80, 94, 108};
        for (int i = 0; i < 6; ++i)
            tab(l, columnas[i], m.texto(fila, ModeloReporte::AUX1 + i).left(13));
    } else {
        const int columnas[6] = {28, 44, 60, 76, 92, 108};
        for (int i = 0; i < 6; ++i)
            tab(l, columnas[i], m.texto(fila, ModeloReporte::AUX1 + i).left(15));
    }
    tab(l, 124, alineaDerecha(m.texto(fila, ModeloReporte::TOTAL), 10));
    return l;
}

QVector<Listado::Linea> Listado::lineas(const ModeloReporte& m) const
{
    QVector<Linea> out;
    const auto texto = [&out](const QString& t, bool subrayado = false) {
        out.append({Linea::Texto, t, subrayado});
    };
    const auto regla = [&out] { out.append({Linea::Regla, {}, false}); };

    texto({});
    regla();
    texto({});
    QString l;
    tab(l, 2, titulo);
    texto(l);
    texto({});
    regla();
    texto({});
    l.clear();
    tab(l, 3, FechaHora::fecha(momento.date()) + QStringLiteral(" - ") + FechaHora::hora(momento.time()) +
                  QStringLiteral("  ") + descFiltro);
    texto(l);
    texto({});
    l.clear();
    tab(l, 2, QStringLiteral("Ticket"));
    tab(l, 12, QStringLiteral("Fecha"));
    tab(l, 22, QStringLiteral("Hora"));
    if (m.conLinea()) {
        tab(l, 27, QStringLiteral("Línea"));
        const int columnas[6] = {40, 54, 68, 82, 96, 110};
        for (int i = 0; i < 6; ++i)
            tab(l, columnas[i], captions.value(i));
    } else {
        const int columnas[6] = {32, 48, 64, 80, 96, 112};
        for (int i = 0; i < 6; ++i)
            tab(l, columnas[i], captions.value(i));
    }
    tab(l, 128, QStringLiteral("Total"));
    texto(l, true);

    double suma = 0;
    for (int fila = 0; fila < m.rowCount(); ++fila) {
        texto(lineaRegistro(m, fila));
        suma += m.valor(fila, ModeloReporte::TOTAL).toDouble();
    }
    if (totales) {
        l.clear();
        tab(l, 108, QStringLiteral("Total:"));
        tab(l, 124, alineaDerecha(FormatoCorto::numero(suma), 10));
        texto(l);
    }
    texto({});
    regla();
    texto({});
    texto({});
    return out;
}

bool Listado::imprimir(QPrinter& printer, const QVector<Linea>& lineas, QString* error)
{
    printer.setPageOrientation(QPageLayout::Landscape);
    return pinta(printer, printer.resolution(), lineas, error);
}

bool Listado::pinta(QPagedPaintDevice& hoja, int resolucion, const QVector<Linea>& lineas, QString* error)
{
    QPainter p;
    if (!p.begin(&hoja)) {
        if (error)
            *error = QStringLiteral("No se pudo iniciar la impresión.");
        return false;
    }
    QFont font(QStringLiteral("Courier"), 10);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    QFont subrayada = font;
    subrayada.setUnderline(true);
    p.setFont(font);
    const QFontMetricsF fm(font, &hoja);
    const double alto = fm.lineSpacing();
    const QRect util = hoja.pageLayout().paintRectPixels(resolucion);
    const QRectF pagina = util.translated(-util.topLeft());
    // 17000 twips, or the printable width when the page is narrower.
    const double largoRegla = std::min(pagina.width(), 17000.0 / 1440.0 * resolucion);
    QPen pen(Qt::black);
    pen.setWidthF(resolucion / 72.0);
    double y = 0;
    for (const Linea& l : lineas) {
        if (l.tipo == Linea::Regla) {
            p.setPen(pen);
            p.drawLine(QPointF(0, y), QPointF(largoRegla, y));
            continue;
        }
        if (y + alto > pagina.height()) {
            hoja.newPage();
            y = 0;
        }
        p.setFont(l.subrayado ? subrayada : font);
        p.drawText(QPointF(0, y + fm.ascent()), l.texto);
        y += alto;
    }
    return p.end();
}

QPageLayout Listado::pagina()
{
    // 133 columns of Courier 10 need nearly the whole width of a landscape page.
    return QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(6, 8, 6, 8),
                       QPageLayout::Millimeter);
}

void Listado::preparaPagina(QPrinter& printer)
{
    const QPageLayout l = pagina();
    printer.setPageOrientation(l.orientation());
    printer.setPageMargins(l.margins(), l.units());
}

QPrinter& Listado::impresora()
{
    static QPrinter* printer = [] {
        auto* p = new QPrinter(QPrinter::HighResolution);
        preparaPagina(*p);
        return p;
    }();
    return *printer;
}

bool Listado::pdfCompleto(const QString& archivo)
{
    QFile f(archivo);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray datos = f.readAll();
    if (!datos.startsWith("%PDF-") || !datos.trimmed().endsWith("%%EOF"))
        return false;
    const qsizetype pos = datos.lastIndexOf("startxref");
    if (pos < 0)
        return false;
    bool ok = false;
    const qint64 xref = datos.mid(pos + 9, 24).trimmed().split('\n').value(0).trimmed().toLongLong(&ok);
    return ok && xref > 0 && xref < pos && datos.mid(xref, 4) == "xref";
}

bool Listado::imprimirPdf(QPrinter& printer, const QString& destino, const QVector<Linea>& lineas, QString* error)
{
    return publicaPdf(
        destino,
        [&](const QString& parcial, QString* e) {
            const QPrinter::OutputFormat formato = printer.outputFormat();
            const QString nombre = printer.outputFileName();
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(parcial);
            const bool ok = imprimir(printer, lineas, e);
            printer.setOutputFileName(nombre);
            printer.setOutputFormat(formato);
            return ok;
        },
        error);
}

bool Listado::escribePdf(const QString& destino, const QVector<Linea>& lineas, QString* error)
{
    return publicaPdf(
        destino,
        [&lineas](const QString& parcial, QString* e) {
            QPdfWriter pdf(parcial);
            pdf.setResolution(1200); // as the program's high-resolution printer
            pdf.setPageLayout(pagina());
            return pinta(pdf, pdf.resolution(), lineas, e);
        },
        error);
}

bool Listado::publicaPdf(const QString& destino, const std::function<bool(const QString&, QString*)>& escribe,
                         QString* error)
{
    const QFileInfo fi(destino);
    const QString parcial = fi.absolutePath() + QStringLiteral("/.") + fi.fileName() + QStringLiteral(".part");
    QFile::remove(parcial);
    QString e;
    bool ok = escribe(parcial, &e);
    // A write that failed on the way leaves a file whose end does not match.
    if (ok && !pdfCompleto(parcial)) {
        ok = false;
        e = QStringLiteral("No se pudo escribir %1 completo (¿disco lleno?).").arg(destino);
    }
    if (!ok) {
        QFile::remove(parcial);
        if (error)
            *error = e;
        return false;
    }
    return ArchivoAtomico::publica(parcial, fi.absoluteFilePath(), error);
}

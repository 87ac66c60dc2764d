#pragma once

#include <QDateTime>
#include <QPageLayout>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

class QPagedPaintDevice;
class QPrinter;
class ModeloReporte;

// The printed listing: fixed columns in Courier 10 on a landscape page; the
// line's column when the model shows the plant's lines.
class Listado
{
public:
    struct Linea
    {
        enum Tipo { Texto, Regla };
        Tipo tipo = Texto;
        QString texto;
        bool subrayado = false;
    };

    QString titulo;          // the browser's window caption
    QString descFiltro;      // the active filters
    QStringList captions;    // the six auxiliary field captions
    bool totales = false;    // add the sum line
    QDateTime momento = QDateTime::currentDateTime();

    // Builds the lines for the rows of modelo, in its order.
    QVector<Linea> lineas(const ModeloReporte& modelo) const;

    // Prints the lines on printer (landscape, Courier 10), breaking pages.
    static bool imprimir(QPrinter& printer, const QVector<Linea>& lineas, QString* error);
    // Prints into the PDF file destino, which is replaced whole or keeps
    // what it had; the printer keeps its other settings.
    static bool imprimirPdf(QPrinter& printer, const QString& destino, const QVector<Linea>& lineas,
                            QString* error);
    // The same PDF without a printer, on an A4 page set up as preparaPagina
    // does: it may run on any thread.
    static bool escribePdf(const QString& destino, const QVector<Linea>& lineas, QString* error);
    // True when the file is a whole PDF: header, trailer and a cross-reference
    // table where the trailer says.
    static bool pdfCompleto(const QString& archivo);

    // The program's printer: page setup configures it, and the listing
    // prints on it (preview, printer and PDF).
    static QPrinter& impresora();
    // Landscape with margins narrow enough for the 133 columns.
    static void preparaPagina(QPrinter& printer);

    // Landscape A4 with margins narrow enough for the 133 columns.
    static QPageLayout pagina();

    // Text placed at 1-based character column n (Tab(n)).
    static void tab(QString& linea, int columna, const QString& texto);
    static QString alineaDerecha(const QString& texto, int ancho);
    static QString lineaRegistro(const ModeloReporte& modelo, int fila);
    // The captions Dato0..Dato5 of the settings file.
    static QStringList captionsAuxiliares();

private:
    static bool pinta(QPagedPaintDevice& hoja, int resolucion, const QVector<Linea>& lineas, QString* error);
    // Writes a PDF through escribe into a partial file, checks it is whole
    // and only then puts it in destino's place.
    static bool publicaPdf(const QString& destino, const std::function<bool(const QString&, QString*)>& escribe,
                           QString* error);
};

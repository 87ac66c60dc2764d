#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

class QPrinter;
class ModeloReporte;

// The printed listing: fixed columns in Courier 10 on a landscape page.
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
    // True when the file is a whole PDF: header, trailer and a cross-reference
    // table where the trailer says.
    static bool pdfCompleto(const QString& archivo);

    // The program's printer: page setup configures it, and the listing
    // prints on it (preview, printer and PDF).
    static QPrinter& impresora();
    // Landscape with margins narrow enough for the 133 columns.
    static void preparaPagina(QPrinter& printer);

    // Text placed at 1-based character column n (Tab(n)).
    static void tab(QString& linea, int columna, const QString& texto);
    static QString alineaDerecha(const QString& texto, int ancho);
    static QString lineaRegistro(const ModeloReporte& modelo, int fila);
    // The captions Dato0..Dato5 of the settings file.
    static QStringList captionsAuxiliares();
};

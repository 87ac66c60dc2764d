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

    // Text placed at 1-based character column n (Tab(n)).
    static void tab(QString& linea, int columna, const QString& texto);
    static QString alineaDerecha(const QString& texto, int ancho);
    static QString lineaRegistro(const ModeloReporte& modelo, int fila);
    // The captions Dato0..Dato5 of the settings file.
    static QStringList captionsAuxiliares();
};

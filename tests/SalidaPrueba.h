#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>

#include "MessageBox.h"
#include "frmPLANILLA.h"

// The browser's listing and workbook as other programs read them: PDF
// through pdftotext, xlsx through openpyxl (reports_xlsx.py, beside this
// file: TOLVEX_TESTS_DIR).

// Runs reports_xlsx.py, which reads and writes workbooks with openpyxl.
inline bool openpyxl(const QStringList& args, QByteArray* salida = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral(TOLVEX_TESTS_DIR "/reports_xlsx.py")} + args);
    const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ok)
        qWarning() << p.readAllStandardError();
    if (salida)
        *salida = p.readAllStandardOutput();
    return ok;
}

// The workbook as openpyxl reads it: sheets, merges, widths and the cells of
// sheet REPORTE, "A8" -> [kind, value, format, bold, fill].
inline QJsonObject libro(const QString& archivo, const QString& hoja = QStringLiteral("REPORTE"))
{
    QByteArray json;
    return openpyxl({archivo, hoja}, &json) ? QJsonDocument::fromJson(json).object() : QJsonObject();
}

// A cell as "kind:value" (n, s, d, t, b), empty when it has none.
inline QString celda(const QJsonObject& c, const QString& ref)
{
    const QJsonArray a = c.value(ref).toArray();
    if (a.isEmpty())
        return {};
    const QJsonValue v = a.at(1);
    return a.at(0).toString() + u':' + (v.isDouble() ? QString::number(v.toDouble(), 'g', 15) : v.toString());
}

// What a program (pdftotext, pdfinfo) writes on its standard output.
inline QString salidaDe(const QString& programa, const QStringList& args)
{
    QProcess p;
    p.start(programa, args);
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

inline QString pdfTexto(const QString& pdf)
{
    return salidaDe(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
}

// The print dialog answered with a PDF file as the printer.
inline void imprimeEn(const QString& pdf)
{
    frmPLANILLA::setEligeImpresora([pdf](QWidget*, QPrinter* printer, const std::function<void(QPrinter*)>& imprime) {
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(pdf);
        imprime(printer);
        printer->setOutputFileName(QString());
        return true;
    });
}

// Presses the browser's button after answering its question.
inline void pulsa(frmPLANILLA& b, const QString& boton, QMessageBox::StandardButton respuesta)
{
    MessageBox::limpiar();
    MessageBox::setNextAnswer(respuesta);
    b.findChild<QPushButton*>(boton)->click();
}

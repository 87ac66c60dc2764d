#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

// Texts the station writes: the display rule, the desktop's number format
// (dates and times: FechaHora), and the two text files of the program directory, the
// journal "Transac.dat" and the error log "Datos.log" (Windows-1252, CRLF,
// appended and closed after every write).
namespace Diario {

inline const QString kJournal = QStringLiteral("Transac.dat");
inline const QString kLog = QStringLiteral("Datos.log");
inline const QString kRutinaCarga = QStringLiteral("Rutina: Form_Load (Formulario frmPeso)");

// Display rule of every weight-like value: rounded to decimales, "." always.
QString muestra(double valor, int decimales);
// Rounds as the display rule does.
double redondea(double valor, int decimales);

// The desktop's locale, or Spanish (Argentina) when none is set (C/POSIX).
QLocale locale();
// A number in the desktop's number format, shortest form, no group separator.
QString numero(double v, int decimales);

// Blank-padded on the left to ancho; a longer text is kept whole.
QString izquierda(const QString& texto, int ancho);
// Blank-padded on the right, or cut, to exactly ancho characters.
QString derecha(const QString& texto, int ancho);

// Journal pieces: the header of an opening, one batch entry, the closing.
QString cabecera(const QStringList& aux, double decimoFino, int decimales,
                 const QString& finoMostrado, double preset, const QString& presetMostrado,
                 const QDateTime& ahora);
QString lote(double pesoBatch, double totalActual, int decimales, const QDateTime& ahora);
QString cierre();

// One error log record.
QString registroError(qint32 nroError, const QString& msg, const QString& rutina,
                      const QDateTime& ahora);

// Appends texto (Windows-1252) to the file of the program directory (or to
// the file at an absolute path). What cannot be written now (the file cannot
// be opened, the disk is full) is kept and written first, in order, by the
// next append to that file or by reintenta(); false (and error) while it waits.
bool agrega(const QString& archivo, const QString& texto, QString* error = nullptr);
// Writes what waits, file by file; true when nothing is left waiting.
bool reintenta();
// Appends to the file still waiting to be written, and why the last attempt failed.
int enEspera(const QString& archivo, QString* causa = nullptr);

} // namespace Diario

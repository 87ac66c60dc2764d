#pragma once

#include <QString>
#include <optional>

// The settings store: "Tolvex.ini" in the working directory (every value
// kept with a trailing "."), or the global settings table of the database.
namespace Config {

inline const QString kArchivo = QStringLiteral("Tolvex.ini");
// One byte for every scrambled value. With it every printable Windows-1252
// character scrambles to a character that is neither a line break nor NUL,
// so scrambled values survive the file unchanged.
constexpr quint8 kClave = 0x1F;

QString CodificaTexto(const QString& texto, quint8 clave = kClave);

// Value of key, or def when missing or stored empty. With scrambled the
// result (stored or default) goes through CodificaTexto. With fromTable the
// section is ignored and the global settings table is read; a database
// failure returns def and fills error.
QString LeeConfig(const QString& seccion, const QString& clave, const QString& def,
                  bool scrambled = false, bool fromTable = false, QString* error = nullptr);

// Stores value under key. Returns false (and error) when it could not.
bool GuardaConfig(const QString& seccion, const QString& clave, const QString& valor,
                  bool scrambled = false, bool toTable = false, QString* error = nullptr);

// Path of the settings file in the working directory, whatever its letters'
// case; the path it would have when missing.
QString rutaArchivo();

// A setting read as a number the lenient way the settings file allows
// (blanks around it); nothing when it is not a number.
std::optional<double> aNumero(const QString& texto);
// A whole-number setting: def when missing, nothing when not a number.
std::optional<int> LeeEntero(const QString& seccion, const QString& clave, int def);

} // namespace Config

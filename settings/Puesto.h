#pragma once

#include <QString>

// The identity of a workstation: which one wrote a row of a database that
// several share. Kept as [global] Puesto in the settings file of its program
// directory, so two program directories are two workstations, even on one
// machine. Readable: the host name and a short random suffix.
namespace Puesto {

inline const QString kClave = QStringLiteral("Puesto");

// A new identity: the host name, "-" and six random hexadecimal digits.
QString nuevo();

// The identity of the program directory, made and written into its settings
// file when missing. When the file cannot be written, the identity made
// from the host name and the directory's path (the same at every start) is
// returned, and aviso says why.
QString de(const QString& directorio, QString* aviso = nullptr);

// The name an installer gave the workstation ([global] PuestoNombre, shown
// in its stead); empty when it has none.
inline const QString kClaveNombre = QStringLiteral("PuestoNombre");
constexpr int kMaxNombre = 60;
QString nombre(const QString& directorio);
// Names the workstation of a prepared program directory: at most kMaxNombre
// characters, none of them a control character. False, with why, when the
// name is not valid or the settings file cannot be written (or would not
// keep it as it is).
bool nombra(const QString& directorio, const QString& nombre, QString* error);

} // namespace Puesto

#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file whole or leaves it as it was.
//
// The new content goes to a temporary file beside the target; every write,
// the flush and the sync to disk are checked, and only then is the temporary
// renamed over the target. On any failure the temporary is removed, the
// target keeps its previous content, and the caller gets false with a reason.
// An existing target keeps its permission bits; a new one gets `modoNuevo`.
namespace ArchivoAtomico {

// Permission bits of a new file when none is given: owner read/write,
// group read.
constexpr unsigned ModoPorDefecto = 0640;

bool reemplaza(const QString& ruta, const QByteArray& contenido, QString* error = nullptr,
               unsigned modoNuevo = ModoPorDefecto);

// Writes `contenido` to a new file that must not exist yet (no replace).
bool crea(const QString& ruta, const QByteArray& contenido, QString* error = nullptr,
          unsigned modoNuevo = ModoPorDefecto);

// Puts a complete file another writer made (`temporal`, beside `ruta`) in
// place of `ruta`: synced, renamed over it, the directory synced. On
// failure the temporary is removed and `ruta` keeps its previous content.
bool publica(const QString& temporal, const QString& ruta, QString* error = nullptr);

// The temporaries a process killed in the middle of a replacement of `ruta`
// left beside it ("Pendientes_3.dat.tmp-Ab12Cd"), removed; `ruta` itself
// and other files' temporaries stay. Only for a file no other writer is
// replacing at the same time. How many were removed.
int quitaTemporales(const QString& ruta);

// errno of the last failed call on this thread (0 after a success), and
// a short Spanish reason for it ("disco lleno", "sin permiso"...).
int ultimoError();
QString causa(int error);

// Test double: the next replacements fail at the given stage, once
// `trasBytes` bytes have been written (Escritura) or outright (the others).
// `veces` < 0 keeps failing until cleared with Etapa::Ninguna.
enum class Etapa { Ninguna, Apertura, Escritura, Sincronizacion, Renombrado };
void simulaFallo(Etapa etapa, qint64 trasBytes = 0, int veces = -1);

} // namespace ArchivoAtomico

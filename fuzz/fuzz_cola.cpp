// The station's pending-writes queue file (Pendientes.dat, one JSON entry a
// line, of this version or of the previous one without identities) and the
// last-ticket file beside it.
//
// Properties: a file loads or says how many lines it could not read; what
// loaded, written back (as the queue does when an entry comes) and loaded
// again gives the same entries in the same order and the same last ticket.

#include "FuzzApoyo.h"
#include "Registrador.h"

#include <QFile>

namespace {

QString ruta(const QString& nombre)
{
    return FuzzApoyo::carpeta() + u'/' + nombre;
}

bool escribe(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The entries of a queue, rows and markings first, then audits; the queue
// is left empty. Ids and `desde` are the queue's own bookkeeping. Every
// entry read from a file may have been written already (`quiza`).
QList<QByteArray> entradas(ColaPendientes& cola, bool leidas)
{
    QList<QByteArray> out;
    for (bool auditoria : {false, true}) {
        Pendiente p;
        while (cola.primero(auditoria, &p)) {
            cola.quita(p.id);
            FUZZ_EXIGE(p.quiza || !leidas, p.aJson());
            p.id = 0;
            p.desde = -1;
            out << p.aJson();
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzApoyo::inicia(argc, argv);
    return 0;
}

// The input: the last-ticket file up to the first "\n\x01\n", then the queue
// file (without that mark, all of it is the queue file).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray entrada(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype corte = entrada.indexOf("\n\x01\n");
    const QByteArray ultimo = corte < 0 ? QByteArray() : entrada.left(corte);
    const QByteArray archivo = corte < 0 ? entrada : entrada.mid(corte + 3);
    const QString pendientes = ruta(QStringLiteral("Pendientes.dat"));
    const QString ultimoDat = ruta(ColaPendientes::kArchivoUltimo);
    QFile::remove(ultimoDat);
    if (!escribe(pendientes, archivo) || (corte >= 0 && !escribe(ultimoDat, ultimo)))
        return 0;

    ColaPendientes cola(pendientes, QStringLiteral("PUESTO-1"), 1);
    QString error;
    const bool todo = cola.carga(&error);
    FUZZ_EXIGE(todo == error.isEmpty(), error);
    const int n = cola.cantidad();
    const qint64 ult = cola.ultimo();
    FUZZ_EXIGE(ult >= -1, QString::number(ult));

    // A new entry makes the queue write its file whole.
    Pendiente nuevo;
    nuevo.tipo = Pendiente::Comando;
    nuevo.fecha = QDate(2026, 1, 2);
    nuevo.hora = QTime(3, 4, 5);
    nuevo.comando = QStringLiteral("Tara");
    FUZZ_EXIGE(cola.agrega(nuevo, &error), error);
    FUZZ_EXIGE(cola.cantidad() == n + 1, QString::number(cola.cantidad()));

    ColaPendientes otra(pendientes, QStringLiteral("PUESTO-1"), 1);
    FUZZ_EXIGE(otra.carga(&error), error);
    FUZZ_EXIGE(otra.cantidad() == n + 1, QStringLiteral("%1 de %2").arg(otra.cantidad()).arg(n + 1));
    FUZZ_EXIGE(otra.ultimo() == ult, QStringLiteral("%1 de %2").arg(otra.ultimo()).arg(ult));
    const QList<QByteArray> antes = entradas(cola, false), despues = entradas(otra, true);
    FUZZ_EXIGE(antes.size() == despues.size(), QString());
    for (qsizetype i = 0; i < antes.size(); ++i)
        FUZZ_EXIGE(antes[i] == despues[i], QString::fromUtf8(antes[i] + "\n" + despues[i]));
    return 0;
}

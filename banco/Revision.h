#pragma once

// What tolvex-killtest and tolvex-caos read from outside a station's program
// directories after they were killed, and how they judge it: the journals,
// the pending queues, a clean start that writes what was queued, and the
// rows of a database against its workstations.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <algorithm>
#include <cmath>

#include "CDatos.h"
#include "Config.h"
#include "Diario.h"
#include "Estacion.h"
#include "Lineas.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Registrador.h"
#include "Schema.h"
#include "frmMain.h"

namespace Revision {

using Lote = QPair<QString, qint64>; // AUX1, TOTAL (of one workstation)

inline QString integridad(const QString& archivo)
{
    QString r = QStringLiteral("sin respuesta");
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("integridad"));
        db.setDatabaseName(archivo);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next())
                r = q.value(0).toString();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("integridad"));
    return r;
}

struct Diario_
{
    int aperturas = 0;
    int abiertas = 0; // openings without their "]": runs killed
    int rotas = 0;
    QStringList detalle;
    QHash<Lote, qint64> lotes; // -> the batch's weight
};

// The journal as a sequence of openings: "[", 11 header fields, then whole
// batch entries of 4 fields ("*date*time*weight*total", each total the one
// before plus the weight), then "]" and CRLF; an opening without its "]" is
// one whose run was killed.
inline Diario_ leeDiario(const QString& archivo)
{
    Diario_ d;
    QFile f(archivo);
    if (!f.open(QIODevice::ReadOnly))
        return d;
    const QString texto = QString::fromLatin1(f.readAll());
    const QStringList partes = texto.split(u'[');
    if (!partes.first().isEmpty()) {
        ++d.rotas;
        d.detalle << QStringLiteral("texto antes de la primera apertura");
    }
    const QLocale loc = Diario::locale();
    const QRegularExpression fechaHora(QStringLiteral("^[0-9][0-9/.:\\- ]*[0-9]$"));
    for (qsizetype i = 1; i < partes.size(); ++i) {
        QString parte = partes[i];
        ++d.aperturas;
        if (parte.endsWith(QStringLiteral("]\r\n")))
            parte.chop(3);
        else
            ++d.abiertas;
        const QStringList campos = parte.split(u'*');
        auto rota = [&](const QString& por) {
            ++d.rotas;
            d.detalle << QStringLiteral("apertura %1: %2").arg(i).arg(por);
        };
        if (parte.contains(u']') || parte.contains(u'\n') || campos.size() < 11 ||
            (campos.size() - 11) % 4 != 0) {
            rota(QStringLiteral("%1 campos").arg(campos.size()));
            continue;
        }
        const QString aux1 = campos[0].trimmed();
        double anterior = 0;
        for (qsizetype k = 11; k < campos.size(); k += 4) {
            bool ok1 = false, ok2 = false;
            const double peso = loc.toDouble(campos[k + 2].trimmed(), &ok1);
            const double total = loc.toDouble(campos[k + 3].trimmed(), &ok2);
            if (!fechaHora.match(campos[k]).hasMatch() ||
                !fechaHora.match(campos[k + 1]).hasMatch() || !ok1 || !ok2 ||
                (k > 11 && std::llround(anterior + peso) != std::llround(total))) {
                rota(QStringLiteral("entrada %1").arg((k - 11) / 4 + 1));
                break;
            }
            anterior = total;
            d.lotes.insert({aux1, std::llround(total)}, std::llround(peso));
        }
    }
    return d;
}

inline bool colaLegible(const QString& archivo, int* entradas, QString* error)
{
    ColaPendientes c(archivo);
    const bool ok = c.carga(error);
    *entradas = c.cantidad();
    return ok;
}

// A clean start of the program in a directory: the main window loads and
// writes what was left queued. True when the queue emptied within limiteMs.
inline bool arranqueLimpio(const QString& dir, int limiteMs = 120000)
{
    MessageBox::setScripted(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Tolvex"));
    QDir::setCurrent(dir);
    qputenv("TOLVEX_HOME", dir.toLocal8Bit());
    Programa::leeVariables();
    Programa::OperadorActual = QStringLiteral("SOAK");
    Programa::NivelActual = QStringLiteral("Instalador");
    QStringList colas;
    for (const Linea& l : Lineas::lista())
        colas << QDir(dir).absoluteFilePath(l.archivo(Registrador::kArchivo));
    const auto sinColas = [&colas] {
        return std::none_of(colas.cbegin(), colas.cend(), [](const QString& c) { return QFile::exists(c); });
    };
    bool vacia = false;
    {
        frmMain principal;
        principal.carga();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < limiteMs &&
               !(vacia = Estacion::pendientes() == 0 && sinColas())) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        Estacion::cerrar();
    }
    return vacia;
}

struct Fila
{
    qint64 ticket;
    double total;
    double peso;
    bool marcada;
};

// The rows of one database against the workstations that write to it.
struct Base
{
    qint64 filas = 0, vacios = 0, saltos = 0, duplicados = 0;
    qint64 fueraDelDiario = 0, soloDiario = 0, diarioDistinto = 0;
    qint64 marcasMal = 0, ultimosMal = 0, ticketGlobal = 0;
    int rotas = 0, aperturas = 0, abiertas = 0;
    QStringList detalle;
    QHash<QString, QSet<Lote>> lotesDe;         // clave(workstation, line) -> its batches
    QHash<QString, QHash<Lote, double>> pesoDe; // -> their weights
    bool leida = false;
    bool ticketOk() const { return ticketGlobal == filas + 1; }
    // Everything but what only the caller can know (what was queued).
    bool bien() const
    {
        return leida && vacios == 0 && saltos == 0 && duplicados == 0 && soloDiario == 0 &&
               diarioDistinto == 0 && marcasMal == 0 && ultimosMal == 0 && rotas == 0 && ticketOk();
    }
};

struct PuestoBase
{
    QString dir;
    QString identidad;
    // Its last run was closed (not killed): the close marks its last row.
    bool cerrada = false;
    // One line of the workstation: its journal, last ticket and rows.
    int linea = 1;
};

// The key of one line's rows: the workstation's identity for line 1 (rows
// of a version without lines among them), "identity/N" for line N.
inline QString clave(const QString& identidad, int linea)
{
    return linea <= 1 ? identidad : identidad + u'/' + QString::number(linea);
}

// Reads the database the first directory names (its Programa variables are
// loaded) and checks, for every line of every workstation given: no row has an empty required field; tickets are 1..N
// and the Ticket setting is N + 1; no batch has two rows of a workstation;
// every batch of a journal is a row of its workstation with the journal's
// weight (rows missing from the journal are counted: the caller bounds
// them); each directory's last ticket is its workstation's last row; every
// row's dispatch mark is what its own workstation's next row makes of it
// (the last row's, what a close makes of it: a mark).
inline Base revisaBase(const QList<PuestoBase>& puestos)
{
    Base b;
    if (puestos.isEmpty())
        return b;
    QDir::setCurrent(puestos.first().dir);
    qputenv("TOLVEX_HOME", puestos.first().dir.toLocal8Bit());
    Programa::leeVariables();
    const QString tabla = Programa::DataTbReporte;
    QHash<QString, QVector<Fila>> filasPorPuesto;
    {
        CDatos db;
        if (!db.AbrirBase(Programa::DataCSReporte) ||
            !db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET").arg(tabla))) {
            b.detalle << db.ultimoError();
            return b;
        }
        b.leida = true;
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
            ++b.filas;
            const qint64 ticket = db.Campo(QStringLiteral("TICKET")).toLongLong();
            if (ticket != b.filas)
                ++b.saltos;
            for (const QString& c :
                 {QStringLiteral("TICKET"), QStringLiteral("AUX1"), QStringLiteral("TOTAL"),
                  QStringLiteral("PESO"), QStringLiteral("FECHA"), QStringLiteral("HORA"),
                  QStringLiteral("OPERADOR"), Schema::kPuesto, Schema::kLinea, Schema::kIdLote}) {
                const QVariant v = db.Campo(c);
                if (v.isNull() || v.toString().trimmed().isEmpty())
                    ++b.vacios;
            }
            const QString puesto = clave(db.Campo(Schema::kPuesto).toString(), db.Campo(Schema::kLinea).toInt());
            const Lote l{db.Campo(QStringLiteral("AUX1")).toString(),
                         std::llround(db.Campo(QStringLiteral("TOTAL")).toDouble())};
            if (b.lotesDe[puesto].contains(l)) {
                ++b.duplicados;
                b.detalle << QStringLiteral("fila doble de %1: %2 total %3")
                                 .arg(puesto, l.first)
                                 .arg(l.second);
            }
            b.lotesDe[puesto].insert(l);
            const double peso = db.Campo(QStringLiteral("PESO")).toDouble();
            b.pesoDe[puesto].insert(l, peso);
            filasPorPuesto[puesto].append({ticket, db.Campo(QStringLiteral("TOTAL")).toDouble(),
                                           peso, db.Campo(QStringLiteral("OPCION1")).toInt() != 0});
        }
        b.ticketGlobal =
            Config::LeeConfig(QString(), QStringLiteral("Ticket"), QStringLiteral("1"), false, true)
                .toLongLong();
    }
    for (const PuestoBase& p : puestos) {
        const Linea linea{p.linea, {}};
        PuestoBase e = p;
        e.identidad = clave(p.identidad, p.linea);
        const QSet<Lote> propios = b.lotesDe.value(e.identidad);
        const Diario_ d = leeDiario(QDir(e.dir).absoluteFilePath(linea.archivo(Diario::kJournal)));
        b.rotas += d.rotas;
        b.aperturas += d.aperturas;
        b.abiertas += d.abiertas;
        for (const QString& s : d.detalle)
            b.detalle << e.identidad + QStringLiteral(": diario: ") + s;
        for (const Lote& l : propios)
            b.fueraDelDiario += d.lotes.contains(l) ? 0 : 1;
        for (auto it = d.lotes.cbegin(); it != d.lotes.cend(); ++it) {
            if (!propios.contains(it.key())) {
                ++b.soloDiario;
                b.detalle << QStringLiteral("%1: el diario tiene %2 total %3 sin fila")
                                 .arg(e.identidad, it.key().first)
                                 .arg(it.key().second);
            } else if (std::llround(b.pesoDe[e.identidad].value(it.key())) != it.value()) {
                ++b.diarioDistinto;
                b.detalle << QStringLiteral("%1: el diario dice peso %2 y la fila %3 (total %4)")
                                 .arg(e.identidad)
                                 .arg(it.value())
                                 .arg(b.pesoDe[e.identidad].value(it.key()))
                                 .arg(it.key().second);
            }
        }
        // A row is a dispatch total when its workstation's next row has a
        // smaller TOTAL, or when the workstation closed after it; nothing
        // else marks or unmarks it.
        const QVector<Fila> f = filasPorPuesto.value(e.identidad);
        for (qsizetype i = 0; i < f.size(); ++i) {
            if (f[i].marcada != (i + 1 < f.size() ? f[i].total > f[i + 1].total : e.cerrada)) {
                ++b.marcasMal;
                b.detalle << QStringLiteral("%1: marca de despacho errada en el ticket %2")
                                 .arg(e.identidad)
                                 .arg(f[i].ticket);
            }
        }
        QFile u(QDir(e.dir).absoluteFilePath(linea.archivo(ColaPendientes::kArchivoUltimo)));
        const qint64 ultimo = u.open(QIODevice::ReadOnly) ? u.readAll().trimmed().toLongLong() : -1;
        if (f.isEmpty() || f.last().ticket != ultimo) {
            ++b.ultimosMal;
            b.detalle << QStringLiteral("%1: último ticket %2, su última fila %3")
                             .arg(e.identidad)
                             .arg(ultimo)
                             .arg(f.isEmpty() ? -1 : f.last().ticket);
        }
    }
    if (b.saltos > 0)
        b.detalle
            << QStringLiteral("%1 tickets fuera de la serie 1..%2").arg(b.saltos).arg(b.filas);
    if (!b.ticketOk())
        b.detalle << QStringLiteral("Ticket vale %1 con %2 filas").arg(b.ticketGlobal).arg(b.filas);
    return b;
}

} // namespace Revision

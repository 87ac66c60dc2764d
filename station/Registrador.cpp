#include "Registrador.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <cmath>
#include <sys/stat.h>

#include "ArchivoAtomico.h"
#include "CDatos.h"
#include "Diario.h"
#include "Puesto.h"
#include "Contexto.h"
#include "FechaHora.h"
#include "Lineas.h"
#include "Schema.h"
#include "SqlDialect.h"

// ---------------------------------------------------------------- Pendiente

QByteArray Pendiente::aJson() const
{
    QJsonObject o;
    o[QStringLiteral("tipo")] = int(tipo);
    o[QStringLiteral("id")] = QString::number(id);
    if (!idLote.isEmpty())
        o[QStringLiteral("idlote")] = idLote;
    if (antigua)
        o[QStringLiteral("antigua")] = true;
    o[QStringLiteral("ticket")] = QString::number(ticket);
    if (desde >= 0)
        o[QStringLiteral("desde")] = QString::number(desde);
    o[QStringLiteral("fecha")] = fecha.toString(Qt::ISODate);
    o[QStringLiteral("hora")] = hora.toString(QStringLiteral("HH:mm:ss"));
    o[QStringLiteral("operador")] = operador;
    if (tipo == Comando) {
        o[QStringLiteral("comando")] = comando;
        o[QStringLiteral("valores")] = valores;
        o[QStringLiteral("resultado")] = resultado;
    } else {
        o[QStringLiteral("aux")] = QJsonArray::fromStringList(aux);
        o[QStringLiteral("total")] = total;
        o[QStringLiteral("peso")] = peso;
        o[QStringLiteral("bach")] = bach;
        o[QStringLiteral("preset")] = preset;
        o[QStringLiteral("ptotal")] = pTotal;
        if (!motivo.isEmpty())
            o[QStringLiteral("motivo")] = motivo;
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool Pendiente::deJson(const QByteArray& linea, Pendiente* p)
{
    QJsonParseError e;
    const QJsonDocument d = QJsonDocument::fromJson(linea, &e);
    if (e.error != QJsonParseError::NoError || !d.isObject())
        return false;
    const QJsonObject o = d.object();
    const int tipo = o.value(QStringLiteral("tipo")).toInt(-1);
    if (tipo < Lote || tipo > Diferencia)
        return false;
    Pendiente r;
    r.tipo = Tipo(tipo);
    bool ok1 = false, ok2 = false;
    r.id = o.value(QStringLiteral("id")).toString().toULongLong(&ok1);
    r.ticket = o.value(QStringLiteral("ticket")).toString().toLongLong(&ok2);
    r.fecha = QDate::fromString(o.value(QStringLiteral("fecha")).toString(), Qt::ISODate);
    r.hora = QTime::fromString(o.value(QStringLiteral("hora")).toString(), QStringLiteral("HH:mm:ss"));
    if (!ok1 || !ok2 || !r.fecha.isValid() || !r.hora.isValid())
        return false;
    if (o.contains(QStringLiteral("desde"))) {
        r.desde = o.value(QStringLiteral("desde")).toString().toLongLong(&ok1);
        if (!ok1 || r.desde < 0)
            return false;
    }
    r.idLote = o.value(QStringLiteral("idlote")).toString();
    r.antigua = o.value(QStringLiteral("antigua")).toBool();
    r.operador = o.value(QStringLiteral("operador")).toString();
    r.comando = o.value(QStringLiteral("comando")).toString();
    r.valores = o.value(QStringLiteral("valores")).toString();
    r.resultado = o.value(QStringLiteral("resultado")).toString();
    for (const QJsonValue& v : o.value(QStringLiteral("aux")).toArray())
        r.aux << v.toString();
    r.total = o.value(QStringLiteral("total")).toDouble();
    r.peso = o.value(QStringLiteral("peso")).toDouble();
    r.bach = o.value(QStringLiteral("bach")).toDouble();
    r.preset = o.value(QStringLiteral("preset")).toDouble();
    r.pTotal = o.value(QStringLiteral("ptotal")).toDouble();
    r.motivo = o.value(QStringLiteral("motivo")).toString();
    *p = r;
    return true;
}

// ----------------------------------------------------------- ColaPendientes

ColaPendientes::ColaPendientes(const QString& archivo, const QString& puesto, int linea)
    : m_archivo(archivo),
      m_archivoUltimo(QFileInfo(archivo).dir().absoluteFilePath(Linea{linea, {}}.archivo(kArchivoUltimo))),
      m_puesto(puesto), m_linea(linea)
{
}

QString ColaPendientes::nuevaIdentidad()
{
    quint32 v[4];
    QRandomGenerator::system()->fillRange(v);
    QString id;
    for (quint32 x : v)
        id += QString::number(x, 16).rightJustified(8, u'0');
    return id;
}

bool ColaPendientes::carga(QString* error)
{
    QMutexLocker lock(&m_mutex);
    m_cola.clear();
    m_enArchivo.clear();
    m_alDia = true;
    m_atrasado = false;
    m_ultimo = -1;
    QFile u(m_archivoUltimo);
    if (u.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const qint64 t = u.readAll().trimmed().toLongLong(&ok);
        if (ok && t >= 0)
            m_ultimo = t;
    }
    m_ultimoGuardado = m_ultimo;
    QFile f(m_archivo);
    if (!f.exists())
        return true;
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    int malas = 0;
    while (!f.atEnd()) {
        const QByteArray linea = f.readLine().trimmed();
        if (linea.isEmpty())
            continue;
        Pendiente p;
        if (!Pendiente::deJson(linea, &p)) {
            ++malas;
            continue;
        }
        // Ids only tell entries apart within this queue: renumbered on load.
        p.id = m_siguienteId++;
        p.quiza = true;
        if ((p.tipo == Pendiente::Lote || p.tipo == Pendiente::Diferencia) && p.idLote.isEmpty()) {
            // The previous version's entry: an identity made from it and the
            // workstation, the same at every load until the file keeps it.
            p.antigua = p.tipo == Pendiente::Lote;
            p.idLote = QString::fromLatin1(
                QCryptographicHash::hash(m_puesto.toUtf8() + '\n' + linea, QCryptographicHash::Sha256)
                    .toHex()
                    .left(32));
        }
        m_ultimo = std::max(m_ultimo, p.desde);
        m_cola.append(p);
        m_enArchivo.insert(p.id);
    }
    if (malas > 0 && error)
        *error = QStringLiteral("%1 línea(s) ilegibles en %2").arg(malas).arg(m_archivo);
    return malas == 0;
}

int ColaPendientes::quitaTemporales() const
{
    return ArchivoAtomico::quitaTemporales(m_archivo) + ArchivoAtomico::quitaTemporales(m_archivoUltimo);
}

bool ColaPendientes::guarda(QString* error)
{
    QString e;
    bool ok = true;
    int codigo = 0;
    if (m_cola.isEmpty()) {
        // The last ticket, which the entries carried, is kept first.
        if (m_ultimo >= 0 && m_ultimo != m_ultimoGuardado) {
            ok = ArchivoAtomico::reemplaza(m_archivoUltimo, QByteArray::number(m_ultimo) + "\r\n", &e);
            codigo = ok ? 0 : ArchivoAtomico::ultimoError();
            if (ok)
                m_ultimoGuardado = m_ultimo;
        }
        if (ok && QFile::exists(m_archivo) && !QFile::remove(m_archivo)) {
            e = QStringLiteral("No se pudo borrar %1").arg(m_archivo);
            ok = false;
        }
    } else {
        // Every entry still to be written comes after the last row written
        // (rows in queue order; audits never look for theirs this way).
        QByteArray contenido;
        for (Pendiente& p : m_cola) {
            p.desde = std::max(p.desde, m_ultimo);
            contenido += p.aJson() + '\n';
        }
        ok = ArchivoAtomico::reemplaza(m_archivo, contenido, &e);
        codigo = ok ? 0 : ArchivoAtomico::ultimoError();
    }
    if (!ok) {
        // The file keeps its previous content; what it lacks stays in memory.
        m_alDia = false;
        m_causa = codigo != 0 ? ArchivoAtomico::causa(codigo) : e;
        if (error)
            *error = e;
        return false;
    }
    m_enArchivo.clear();
    for (const Pendiente& p : std::as_const(m_cola))
        m_enArchivo.insert(p.id);
    m_alDia = true;
    m_atrasado = false;
    m_causa.clear();
    return true;
}

bool ColaPendientes::guardaPendiente(QString* error)
{
    QMutexLocker lock(&m_mutex);
    return m_alDia || guarda(error);
}

bool ColaPendientes::asienta(QString* error)
{
    QMutexLocker lock(&m_mutex);
    return (m_alDia && !m_atrasado) || guarda(error);
}

int ColaPendientes::sinGuardar() const
{
    QMutexLocker lock(&m_mutex);
    if (m_alDia)
        return 0;
    return int(std::count_if(m_cola.cbegin(), m_cola.cend(),
                             [this](const Pendiente& p) { return !m_enArchivo.contains(p.id); }));
}

QString ColaPendientes::causaSinGuardar() const
{
    QMutexLocker lock(&m_mutex);
    return m_causa;
}

bool ColaPendientes::agrega(Pendiente p, QString* error)
{
    QMutexLocker lock(&m_mutex);
    p.id = m_siguienteId++;
    if ((p.tipo == Pendiente::Lote || p.tipo == Pendiente::Diferencia) && p.idLote.isEmpty())
        p.idLote = nuevaIdentidad();
    m_cola.append(p);
    return guarda(error);
}

bool ColaPendientes::primero(bool auditoria, Pendiente* p) const
{
    QMutexLocker lock(&m_mutex);
    for (const Pendiente& e : m_cola) {
        if ((e.tipo == Pendiente::Comando) == auditoria) {
            *p = e;
            return true;
        }
    }
    return false;
}

bool ColaPendientes::fijaTicket(quint64 id, qint64 ticket, QString* error)
{
    QMutexLocker lock(&m_mutex);
    for (Pendiente& e : m_cola) {
        if (e.id == id)
            e.ticket = ticket;
    }
    return guarda(error);
}

void ColaPendientes::intento(quint64 id)
{
    QMutexLocker lock(&m_mutex);
    for (Pendiente& e : m_cola) {
        if (e.id == id)
            e.quiza = true;
    }
}

void ColaPendientes::quita(quint64 id)
{
    QMutexLocker lock(&m_mutex);
    m_cola.erase(std::remove_if(m_cola.begin(), m_cola.end(),
                                [id](const Pendiente& e) { return e.id == id; }),
                 m_cola.end());
    m_atrasado = true;
}

qint64 ColaPendientes::ultimo() const
{
    QMutexLocker lock(&m_mutex);
    return m_ultimo;
}

void ColaPendientes::fijaUltimo(qint64 ticket)
{
    QMutexLocker lock(&m_mutex);
    m_ultimo = ticket;
}

int ColaPendientes::cantidad() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_cola.size());
}

// ------------------------------------------------------ ConexionesRegistro

ConexionesRegistro::ConexionesRegistro(const Contexto& contexto) : m_contexto(contexto) {}
ConexionesRegistro::~ConexionesRegistro() = default;

namespace {
// The identity of a SQLite file (device and inode), 0 for a server or a
// file that cannot be read.
quint64 identidad(const CDatos& db, const QString& cs)
{
    if (db.motor() != ConnectionString::SQLite)
        return 0;
    struct stat st;
    const QByteArray ruta = QFile::encodeName(ConnectionString::parse(cs, CDatos::directorioBase()).path);
    if (::stat(ruta.constData(), &st) != 0)
        return 0;
    return (quint64(st.st_dev) << 40) ^ quint64(st.st_ino);
}
} // namespace

CDatos* ConexionesRegistro::abre(int cual, const QString& cs, QString* error)
{
    std::unique_ptr<CDatos>& db = m_db[cual];
    // A file replaced (a copy restored, say) or removed since it was opened
    // is opened again: rows must not go to the file no one else sees.
    if (db && m_cs[cual] == cs && db->abierta() &&
        (db->motor() != ConnectionString::SQLite ||
         (m_id[cual] != 0 && identidad(*db, cs) == m_id[cual]))) {
        // A file is not dropped under a program; a server connection may be.
        m_reusada = m_reusada || db->motor() == ConnectionString::PostgreSQL;
        return db.get();
    }
    db = std::make_unique<CDatos>();
    m_cs[cual] = cs;
    if (cual == 0)
        m_identidad = false;
    if (!db->AbrirBase(cs)) {
        *error = db->ultimoError();
        db.reset();
        return nullptr;
    }
    m_id[cual] = identidad(*db, cs);
    return db.get();
}

CDatos* ConexionesRegistro::abreReporte(QString* error)
{
    CDatos* db = abre(0, m_contexto.DataCSReporte, error);
    if (db && !m_identidad) {
        if (!Schema::aseguraIdentidad(*db, m_contexto.DataTbReporte, error)) {
            m_db[0].reset();
            return nullptr;
        }
        m_identidad = true;
    }
    return db;
}

void ConexionesRegistro::cierra()
{
    m_db[0].reset();
    m_db[1].reset();
}

// ------------------------------------------------------- EscrituraRegistro

namespace {
// A weight as the error log's lines give it.
QString cifra(double v)
{
    return QString::number(v, 'g', 15);
}

// "del 05/12/2026 10:00:01 (Total 5250, Peso 250)": which batch an entry is.
QString delLote(const Pendiente& p)
{
    return QStringLiteral("del %1 %2 (Total %3, Peso %4)")
        .arg(FechaHora::fecha(p.fecha), FechaHora::hora(p.hora), cifra(p.total), cifra(p.peso));
}
} // namespace

namespace EscrituraRegistro {

namespace {

// The row of one ticket, through a statement prepared once per connection.
bool abreTicket(CDatos& db, const QString& tabla, qint64 ticket)
{
    return db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = ?").arg(tabla), {ticket});
}

bool casiIgual(double a, double b)
{
    return std::fabs(a - b) < 1e-6 * std::max(1.0, std::fabs(a));
}

// Whether the current row holds what the entry holds.
bool mismoContenido(CDatos& db, const Pendiente& p)
{
    return db.Existe_Registro() &&
           casiIgual(db.Campo(QStringLiteral("TOTAL")).toDouble(), p.total) &&
           casiIgual(db.Campo(QStringLiteral("PESO")).toDouble(), p.peso) &&
           CDatos::aFecha(db.Campo(QStringLiteral("FECHA"))) == p.fecha &&
           CDatos::aHora(db.Campo(QStringLiteral("HORA"))) == p.hora &&
           db.Campo(QStringLiteral("OPERADOR")).toString() == p.operador;
}

// Marks the row of ticket t as a dispatch total when its TOTAL is above the
// entry's accumulator, or takes the mark off. Only a row of the queue's
// workstation and line: nothing when there is no such row.
bool marca(CDatos& db, const Contexto& x, const ColaPendientes& cola, qint64 t, const Pendiente& p,
           bool quizaHecho)
{
    if (t < 1)
        return true;
    if (!db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET = ? AND %2 = ? AND %3 = ?")
                             .arg(x.DataTbReporte, Schema::kPuesto, Schema::kLinea),
                         {t, cola.puesto(), cola.linea()}))
        return false;
    if (!db.Existe_Registro())
        return true;
    const double total = db.Campo(QStringLiteral("TOTAL")).toDouble();
    const QString info = db.Campo(QStringLiteral("INFO")).toString();
    const QString marcador = marcaTotal(p.fecha, p.hora);
    if (total > p.pTotal) {
        if (quizaHecho && info.endsWith(marcador))
            return true;
        return db.EditaRegistros(
            {{QStringLiteral("OPCION1"), true}, {QStringLiteral("INFO"), info + marcador}});
    }
    return db.EditaRegistros({{QStringLiteral("OPCION1"), false}, {QStringLiteral("INFO"), sinMarcasTotal(info)}});
}

// The row an earlier attempt of an entry committed.
struct Hallada
{
    qint64 ticket = 0; // 0: none; -1: the table could not be read
    // Written by the entry's workstation and line: the identity is theirs.
    bool propia = false;
    QString puesto;
    int linea = 0;
    double peso = 0;
    double total = 0;
    QString info;
};

// Looks for the entry's row by its identity. An entry of the previous
// version may also have a row of that version (no workstation on it), which
// is known by content only: after the ticket the entry follows, or at the
// ticket it noted.
Hallada buscaEscrito(CDatos& db, const QString& tabla, const ColaPendientes& cola, const Pendiente& p)
{
    Hallada h;
    if (!db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE %2 = ?").arg(tabla, Schema::kIdLote), {p.idLote})) {
        h.ticket = -1;
        return h;
    }
    if (db.Existe_Registro()) {
        h.ticket = db.Campo(QStringLiteral("TICKET")).toLongLong();
        h.puesto = db.Campo(Schema::kPuesto).toString();
        h.linea = db.Campo(Schema::kLinea).toInt();
        h.propia = h.puesto == cola.puesto() && h.linea == cola.linea();
        h.peso = db.Campo(QStringLiteral("PESO")).toDouble();
        h.total = db.Campo(QStringLiteral("TOTAL")).toDouble();
        h.info = db.Campo(QStringLiteral("INFO")).toString();
        return h;
    }
    if (!p.antigua || (p.ticket < 1 && p.desde < 0))
        return h;
    const bool noto = p.ticket > 0;
    if (!db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE TICKET %2 ? AND %3 IS NULL ORDER BY TICKET")
                             .arg(tabla, noto ? QStringLiteral("=") : QStringLiteral(">"), Schema::kPuesto),
                         {noto ? p.ticket : p.desde})) {
        h.ticket = -1;
        return h;
    }
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
        if (mismoContenido(db, p)) {
            h.ticket = db.Campo(QStringLiteral("TICKET")).toLongLong();
            h.peso = p.peso;
            h.total = p.total;
            h.info = db.Campo(QStringLiteral("INFO")).toString();
            return h;
        }
    }
    return h;
}

// Takes a found row as the entry's: the last ticket follows it when it is
// the workstation's own (or the previous version's, without a workstation:
// then fila gets it too). What was found goes to the error log.
void adopta(ColaPendientes& cola, const Pendiente& p, const Hallada& h, const QString& como, QStringList* avisos,
            Pendiente* fila)
{
    if (h.propia || h.puesto.isEmpty()) {
        fila->ticket = h.ticket;
        fila->peso = h.peso;
        fila->total = h.total;
        fila->info = h.info;
    }
    // A difference entry's weight is the row's: the entry has none of its own.
    Pendiente visto = p;
    if (p.tipo == Pendiente::Diferencia)
        visto.peso = h.peso;
    QString aviso = QStringLiteral("El registro %1 ya estaba guardado con el ticket %2 (%3); no se guardó otra vez.")
                        .arg(delLote(visto))
                        .arg(h.ticket)
                        .arg(como);
    if (h.propia)
        cola.fijaUltimo(h.ticket);
    else if (!h.puesto.isEmpty())
        aviso += QStringLiteral(" La fila es del puesto %1 línea %2, no de este (%3 línea %4): no se toma como propia.")
                     .arg(h.puesto)
                     .arg(h.linea)
                     .arg(cola.puesto())
                     .arg(cola.linea());
    if (p.antigua)
        aviso += QStringLiteral(" Era un registro pendiente de la versión anterior, sin identidad: se buscó también por su contenido entre las filas sin puesto.");
    if (avisos)
        avisos->append(aviso);
}

qint64 ticketActual(CDatos& db, const Contexto& x, QString* error)
{
    if (!db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE  VARIABLE = 'Ticket'")
                             .arg(x.DataTbGlobal))) {
        *error = db.ultimoError();
        return 0;
    }
    if (!db.Existe_Registro())
        return 1;
    bool ok = false;
    const qint64 t = qint64(db.Campo(QStringLiteral("VALOR")).toString().trimmed().toDouble(&ok));
    if (!ok || t < 1) {
        *error = QStringLiteral("El valor de Ticket no es un número válido.");
        return 0;
    }
    return t;
}

// A ticket the counter gave that a row already has (a counter left behind
// by a hand import, another program or an older version): the counter moves
// past the table's highest ticket and the row takes the first free number.
// With one database it runs in the transaction that took the ticket, which
// holds the counter's lock.
bool saltaTicketTomado(CDatos& db, CDatos& global, const Contexto& x, qint64* t, QStringList* avisos,
                       QString* error)
{
    if (!db.AbreRegistro(QStringLiteral("SELECT MAX(TICKET) AS MAYOR FROM %1").arg(x.DataTbReporte))) {
        *error = db.ultimoError();
        return false;
    }
    const qint64 libre = qMax(db.Campo(QStringLiteral("MAYOR")).toLongLong(), *t) + 1;
    db.CierraRegistro();
    if (!global.Ejecuta(QStringLiteral("UPDATE %1 SET VALOR = ? WHERE VARIABLE = ?").arg(x.DataTbGlobal),
                        {QString::number(libre + 1), QStringLiteral("Ticket")})) {
        *error = global.ultimoError();
        return false;
    }
    if (avisos)
        avisos->append(QStringLiteral("El ticket %1 ya lo tenía otra fila de %2 (el contador Ticket había quedado atrás): "
                                      "el contador pasó a %3 y el registro se guardó con el ticket %4.")
                           .arg(*t)
                           .arg(x.DataTbReporte)
                           .arg(libre + 1)
                           .arg(libre));
    *t = libre;
    return true;
}

bool mismaBase(const Contexto& x)
{
    return x.DataCSGlobal.trimmed() == x.DataCSReporte.trimmed();
}

bool escribeLote(ColaPendientes& cola, const Pendiente& p, QString* error, ConexionesRegistro& c,
                 QStringList* avisos, Pendiente* fila)
{
    CDatos* base = c.abreReporte(error);
    if (!base)
        return false;
    CDatos& db = *base;
    auto falla = [&](const QString& e) {
        *error = e.isEmpty() ? db.ultimoError() : e;
        db.Deshace();
        return false;
    };
    const QString tabla = c.contexto().DataTbReporte;
    const bool misma = mismaBase(c.contexto());
    // An earlier attempt may have committed (read back after a crash, or
    // tried before): its row is this entry's, and only its identity says so.
    if (p.quiza) {
        const Hallada h = buscaEscrito(db, tabla, cola, p);
        if (h.ticket < 0)
            return falla({});
        if (h.ticket > 0) {
            adopta(cola, p, h, QStringLiteral("un intento anterior llegó a guardarlo"), avisos, fila);
            return true;
        }
    }
    // The row before this one is this workstation's own last row: on a
    // database shared by several workstations Ticket - 1 may be another's.
    const qint64 propio = cola.ultimo();
    qint64 t = 0;
    if (!misma) {
        // The counter lives elsewhere: it is taken on its own, once, and
        // kept in the entry so that a retry reuses it.
        t = p.ticket;
        if (t == 0) {
            QString e;
            CDatos* g = c.abre(1, c.contexto().DataCSGlobal, &e);
            if (!g || (t = g->TomaTicket(c.contexto().DataTbGlobal)) == 0)
                return falla(g ? g->ultimoError() : e);
            if (!cola.fijaTicket(p.id, t, &e))
                return falla(e);
        }
    }
    cola.intento(p.id);
    if (!db.IniciaTransaccion())
        return falla({});
    if (misma && (t = db.TomaTicket(c.contexto().DataTbGlobal)) == 0)
        return falla({});
    if (!marca(db, c.contexto(), cola, propio >= 0 ? propio : t - 1, p, false))
        return falla({});
    if (!abreTicket(db, tabla, t))
        return falla({});
    if (db.Existe_Registro()) {
        QString e;
        CDatos* g = misma ? &db : c.abre(1, c.contexto().DataCSGlobal, &e);
        if (!g || !saltaTicketTomado(db, *g, c.contexto(), &t, avisos, &e) ||
            (!misma && !cola.fijaTicket(p.id, t, &e)) || !abreTicket(db, tabla, t))
            return falla(e);
    }
    const QString info = p.tipo == Pendiente::Diferencia || !p.motivo.isEmpty() ? marcaDiferencia(p.motivo)
                                                                                 : QString();
    QList<ParCampo> campos{{QStringLiteral("TICKET"), t}};
    for (int i = 0; i < 6; ++i)
        campos.append({QStringLiteral("AUX%1").arg(i + 1), p.aux.value(i).left(70)});
    campos += {{QStringLiteral("TOTAL"), p.total},
               {QStringLiteral("PESO"), p.peso},
               {QStringLiteral("BACH"), p.bach},
               {QStringLiteral("PRESET"), p.preset},
               {QStringLiteral("FECHA"), p.fecha},
               {QStringLiteral("HORA"), p.hora},
               {QStringLiteral("INFO"), info},
               {QStringLiteral("OPERADOR"), p.operador},
               {Schema::kPuesto, cola.puesto()},
               {Schema::kLinea, cola.linea()},
               {Schema::kIdLote, p.idLote}};
    if (!db.AgregaRegistros(campos) || !db.Confirma()) {
        const QString e = db.ultimoError();
        db.Deshace();
        // The database refuses a second row with one identity: the entry's
        // row is there already (written by an attempt this one did not know of).
        const Hallada h = buscaEscrito(db, tabla, cola, p);
        if (h.ticket > 0) {
            adopta(cola, p, h, QStringLiteral("la base rechazó una segunda fila con la identidad ") + p.idLote,
                   avisos, fila);
            return true;
        }
        return falla(e);
    }
    cola.fijaUltimo(t);
    fila->ticket = t;
    fila->peso = p.peso;
    fila->total = p.total;
    fila->info = info;
    if (p.antigua && avisos)
        avisos->append(QStringLiteral("El registro %1 era un pendiente de la versión anterior, sin identidad: se buscó "
                                      "por su contenido entre las filas sin puesto, no estaba, y se guardó con el ticket %2.")
                           .arg(delLote(p))
                           .arg(t));
    return true;
}

// TOTAL of this workstation and line's last row: the row of the queue's
// last ticket, or, when that is unknown, the one of the highest ticket of
// both. Nothing (not an error) when there is none.
bool totalAnterior(CDatos& db, const Contexto& x, const ColaPendientes& cola, std::optional<double>* total)
{
    total->reset();
    const qint64 t = cola.ultimo();
    if (t == 0)
        return true;
    const QString propias = QStringLiteral("%1 = ? AND %2 = ?").arg(Schema::kPuesto, Schema::kLinea);
    const bool leida =
        t > 0 ? db.AbreRegistro(QStringLiteral("SELECT TOTAL FROM %1 WHERE TICKET = ? AND %2").arg(x.DataTbReporte, propias),
                                {t, cola.puesto(), cola.linea()})
              : db.AbreRegistro(QStringLiteral("SELECT TOTAL FROM %1 WHERE %2 AND TICKET = "
                                               "(SELECT MAX(TICKET) FROM %1 WHERE %2)")
                                    .arg(x.DataTbReporte, propias),
                                {cola.puesto(), cola.linea(), cola.puesto(), cola.linea()});
    if (!leida)
        return false;
    if (db.Existe_Registro())
        *total = db.Campo(QStringLiteral("TOTAL")).toDouble();
    db.CierraRegistro();
    return true;
}

// The accumulator read when the link opened, against the last row: above
// it, the kilos of the batches not seen become a batch row of their own;
// otherwise (no row, the same, or reset meanwhile) nothing is written. The
// entries before it are written by now, so the last row is theirs.
bool escribeDiferencia(ColaPendientes& cola, const Pendiente& p, QString* error, ConexionesRegistro& c,
                       QStringList* avisos, Pendiente* fila)
{
    CDatos* base = c.abreReporte(error);
    if (!base)
        return false;
    CDatos& db = *base;
    // A row committed by an earlier attempt is the last row itself now.
    if (p.quiza) {
        const Hallada h = buscaEscrito(db, c.contexto().DataTbReporte, cola, p);
        if (h.ticket < 0) {
            *error = db.ultimoError();
            return false;
        }
        if (h.ticket > 0) {
            adopta(cola, p, h, QStringLiteral("un intento anterior llegó a guardarlo"), avisos, fila);
            return true;
        }
    }
    std::optional<double> anterior;
    if (!totalAnterior(db, c.contexto(), cola, &anterior)) {
        *error = db.ultimoError();
        return false;
    }
    if (!anterior || p.total <= *anterior || casiIgual(p.total, *anterior))
        return true;
    Pendiente q = p;
    // The accumulator and TOTAL carry the indicator's decimals: the
    // subtraction's binary noise is dropped.
    q.peso = std::round((p.total - *anterior) * 1e6) / 1e6;
    q.quiza = false;
    if (!escribeLote(cola, q, error, c, avisos, fila))
        return false;
    if (avisos && fila->ticket > 0)
        avisos->append(QStringLiteral("El acumulador aumentó %1 kg sin que se vieran los lotes (último TOTAL "
                                      "registrado %2, acumulador %3): se registró una fila de diferencia, ticket %4.")
                           .arg(cifra(q.peso), cifra(*anterior), cifra(p.total))
                           .arg(fila->ticket));
    return true;
}

bool escribeCierre(ColaPendientes& cola, const Pendiente& p, QString* error, ConexionesRegistro& c)
{
    // The last row of this workstation; Ticket - 1 only for a directory
    // that does not keep it (and only when that row is this workstation's).
    qint64 ultimo = cola.ultimo();
    if (ultimo < 0) {
        CDatos* g = c.abre(1, c.contexto().DataCSGlobal, error);
        if (!g)
            return false;
        const qint64 t = ticketActual(*g, c.contexto(), error);
        if (t == 0)
            return false;
        ultimo = t - 1;
    }
    // An attempt that may have committed is known by its ticket, so that a
    // retry does not append the marker a second time.
    CDatos* base = c.abreReporte(error);
    if (!base)
        return false;
    CDatos& db = *base;
    QString e;
    if (!db.IniciaTransaccion() || !marca(db, c.contexto(), cola, ultimo, p, p.ticket == ultimo) ||
        !cola.fijaTicket(p.id, ultimo, &e) || !db.Confirma()) {
        *error = e.isEmpty() ? db.ultimoError() : e;
        db.Deshace();
        return false;
    }
    return true;
}

bool escribeComando(const Pendiente& p, QString* error, ConexionesRegistro& c)
{
    const QString tabla = Schema::kTablaComandos;
    const QString sql =
        QStringLiteral("SELECT * FROM %1 WHERE FECHA = %2 AND HORA = %3 AND OPERADOR = %4 AND "
                       "COMANDO = %5 AND VALORES = %6 AND RESULTADO = %7")
            .arg(tabla, SqlDialect::texto(p.fecha.toString(Qt::ISODate)),
                 SqlDialect::texto(p.hora.toString(QStringLiteral("HH:mm:ss"))),
                 SqlDialect::texto(p.operador), SqlDialect::texto(p.comando),
                 SqlDialect::texto(p.valores), SqlDialect::texto(p.resultado));
    CDatos* base = c.abre(0, c.contexto().DataCSReporte, error);
    if (!base)
        return false;
    CDatos& db = *base;
    if (!db.AbreRegistro(sql)) {
        *error = db.ultimoError();
        return false;
    }
    if (db.Existe_Registro())
        return true;
    if (!db.AgregaRegistros({{QStringLiteral("FECHA"), p.fecha},
                             {QStringLiteral("HORA"), p.hora},
                             {QStringLiteral("OPERADOR"), p.operador},
                             {QStringLiteral("COMANDO"), p.comando},
                             {QStringLiteral("VALORES"), p.valores},
                             {QStringLiteral("RESULTADO"), p.resultado}})) {
        *error = db.ultimoError();
        return false;
    }
    return true;
}

} // namespace

QString marcaTotal(const QDate& fecha, const QTime& hora)
{
    return QStringLiteral(" -> TOTAL <- (") + FechaHora::fecha(fecha) + QStringLiteral(" - ") +
           FechaHora::hora(hora) + u')';
}

QString marcaDiferencia(const QString& motivo)
{
    return motivo.isEmpty() ? QStringLiteral("Diferencia") : QStringLiteral("Diferencia: ") + motivo;
}

QString sinMarcasTotal(const QString& info)
{
    static const QRegularExpression marcas(QStringLiteral(" -> TOTAL <- \\([^)]*\\)"));
    return QString(info).remove(marcas);
}

bool escribe(ColaPendientes& cola, const Pendiente& p, QString* error)
{
    ConexionesRegistro c;
    return escribe(cola, p, error, c);
}

bool escribe(ColaPendientes& cola, const Pendiente& p, QString* error, ConexionesRegistro& c,
             QStringList* avisos, Pendiente* fila)
{
    c.nuevaEntrada();
    Pendiente propia;
    if (!fila)
        fila = &propia;
    *fila = p;
    fila->ticket = 0;
    fila->info.clear();
    bool ok = false;
    switch (p.tipo) {
    case Pendiente::Lote:
        ok = escribeLote(cola, p, error, c, avisos, fila);
        break;
    case Pendiente::Diferencia:
        ok = escribeDiferencia(cola, p, error, c, avisos, fila);
        break;
    case Pendiente::Cierre:
        ok = escribeCierre(cola, p, error, c);
        break;
    case Pendiente::Comando:
        ok = escribeComando(p, error, c);
        break;
    }
    if (!ok)
        c.cierra();
    return ok;
}

} // namespace EscrituraRegistro

// ------------------------------------------------------ TrabajadorRegistro

namespace {
QString describe(const Pendiente& p)
{
    const QString cuando = FechaHora::fecha(p.fecha) + u' ' + FechaHora::hora(p.hora);
    switch (p.tipo) {
    case Pendiente::Lote:
        return QStringLiteral("No se pudo guardar el registro %1.").arg(delLote(p));
    case Pendiente::Cierre:
        return QStringLiteral("No se pudo marcar el total del cierre del %1.").arg(cuando);
    case Pendiente::Comando:
        return QStringLiteral("No se pudo registrar el comando %1 del %2.").arg(p.comando, cuando);
    case Pendiente::Diferencia:
        return QStringLiteral("No se pudo comparar el acumulador %1 leído el %2 con el último TOTAL registrado.")
            .arg(cifra(p.total), cuando);
    }
    return {};
}
} // namespace

void TrabajadorRegistro::ronda()
{
    // The error log catches up with what waits for it.
    Diario::reintenta();
    // Entries only memory holds go to the file first, as soon as it can be
    // written again.
    const int antes = m_cola.sinGuardar();
    QString eg;
    if (!m_cola.guardaPendiente(&eg) && antes > 0 && eg != m_errorGuardado)
        Q_EMIT fallo(QStringLiteral("%1 registro(s) sin guardar en %2.").arg(antes).arg(m_cola.archivo()), eg);
    m_errorGuardado = eg;
    const bool filas = escribeOrden(false);
    const bool auditoria = escribeOrden(true);
    QString ea;
    if (filas && auditoria && !m_cola.asienta(&ea))
        Q_EMIT fallo(QStringLiteral("No se pudo actualizar la cola de registros."), ea);
    Q_EMIT terminada(filas && auditoria);
}

bool TrabajadorRegistro::escribeOrden(bool auditoria)
{
    Pendiente p;
    while (m_cola.primero(auditoria, &p)) {
        QString e;
        QStringList avisos;
        Pendiente fila;
        bool ok = EscrituraRegistro::escribe(m_cola, p, &e, m_conexiones, &avisos, &fila);
        // A connection kept since an earlier entry may have been dropped by
        // the server meanwhile: one more attempt at once on a new one (the
        // entry is read again, as the failed attempt may have marked it tried).
        if (!ok && m_conexiones.reusada() && m_cola.primero(auditoria, &p))
            ok = EscrituraRegistro::escribe(m_cola, p, &e, m_conexiones, &avisos, &fila);
        for (const QString& a : std::as_const(avisos))
            Q_EMIT aviso(a);
        if (!ok) {
            if (p.id != m_idFallido || e != m_errorFallido)
                Q_EMIT fallo(describe(p), e);
            m_idFallido = p.id;
            m_errorFallido = e;
            return false;
        }
        // Told while the entry is still in the queue file: a crash now tells
        // it again at the next start, never not at all.
        if (fila.ticket > 0 && m_alConfirmar)
            m_alConfirmar(fila);
        m_cola.quita(p.id);
        Q_EMIT escrito(p);
    }
    return true;
}

// -------------------------------------------------------------- Registrador

Registrador::Registrador(const QString& directorio, const Contexto& contexto, QObject* parent, int linea)
    : QObject(parent), m_directorio(QDir(directorio).absolutePath()),
      m_puesto(Puesto::de(m_directorio, &m_avisoPuesto)),
      m_cola(QDir(directorio).absoluteFilePath(Linea{linea, {}}.archivo(kArchivo)), m_puesto, linea),
      m_contexto(contexto)
{
    qRegisterMetaType<Pendiente>();
    if (!m_avisoPuesto.isEmpty())
        anota(m_avisoPuesto);
    m_cola.quitaTemporales();
    m_cola.carga(&m_errorCarga);
    if (!m_errorCarga.isEmpty())
        anota(m_errorCarga);
    m_hilo = new QThread;
    m_hilo->setObjectName(QStringLiteral("Registros"));
    m_trabajador = new TrabajadorRegistro(m_cola, contexto);
    m_trabajador->moveToThread(m_hilo);
    connect(m_hilo, &QThread::finished, m_trabajador, &QObject::deleteLater);
    // Told at the moment of the failure, from the writer's thread; receivers
    // in the window's thread still get it queued.
    connect(m_trabajador, &TrabajadorRegistro::fallo, this, &Registrador::fallo, Qt::DirectConnection);
    connect(m_trabajador, &TrabajadorRegistro::aviso, this, &Registrador::aviso, Qt::DirectConnection);
    // Both reach the error log from this thread.
    connect(this, &Registrador::fallo, this,
            [this](const QString& d, const QString& e) { anota(d + u' ' + QString(e).replace(u'\n', u' ').simplified()); });
    connect(this, &Registrador::aviso, this, &Registrador::anota);
    connect(m_trabajador, &TrabajadorRegistro::escrito, this, [this](const Pendiente& p) {
        Q_EMIT escrito(p);
        Q_EMIT estado(pendientes());
    });
    connect(m_trabajador, &TrabajadorRegistro::terminada, this, [this](bool ok) {
        m_ocupado = false;
        m_fallaReciente = !ok;
        Q_EMIT estado(pendientes());
        if (ok) {
            reintenta(); // entries added during the round
            return;
        }
        // Retried on its own as well, so that rows left when the station
        // closed are written while the program runs. The timer ends the
        // pause itself: however early it fires, its round is never dropped.
        m_ultimoFallo.start();
        QTimer::singleShot(m_pausaMs, this, [this] {
            m_fallaReciente = false;
            reintenta();
        });
    });
    m_hilo->start();
}

Registrador::~Registrador()
{
    m_hilo->quit();
    m_hilo->wait();
    delete m_hilo;
    m_cola.asienta();
}

void Registrador::anota(const QString& texto)
{
    const int n = m_cola.linea();
    Diario::agrega(QDir(m_directorio).absoluteFilePath(Diario::kLog),
                   Diario::registroError(m_nroError,
                                         n == 1 ? texto : QStringLiteral("Línea %1: %2").arg(n).arg(texto),
                                         QStringLiteral("Rutina: saveReporte (Formulario frmPeso)"),
                                         QDateTime::currentDateTime()));
}

bool Registrador::agrega(const Pendiente& p, QString* error)
{
    const bool ok = m_cola.agrega(p, error);
    Q_EMIT estado(pendientes());
    reintenta();
    return ok;
}

void Registrador::setAlConfirmar(std::function<void(const Pendiente&)> f)
{
    m_trabajador->setAlConfirmar(std::move(f));
}

void Registrador::reintenta()
{
    if (m_ocupado || m_cola.cantidad() == 0)
        return;
    if (m_fallaReciente && m_ultimoFallo.isValid() && m_ultimoFallo.elapsed() < m_pausaMs)
        return;
    m_ocupado = true;
    QMetaObject::invokeMethod(m_trabajador, &TrabajadorRegistro::ronda, Qt::QueuedConnection);
}

#include "LectorPlanta.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRandomGenerator>
#include <QSqlDriver>
#include <QStringList>
#include <QTimer>
#include <cmath>

#include "CDatos.h"
#include "ConsultaReportes.h"
#include "FechaHora.h"
#include "Lineas.h"
#include "PublicadorPlanta.h"
#include "Puesto.h"
#include "Reloj.h"
#include "Schema.h"

namespace {

constexpr qsizetype kMaxTexto = 200;

QJsonValue texto(const QJsonValue& v)
{
    return v.isString() ? QJsonValue(v.toString().left(kMaxTexto)) : QJsonValue(QString());
}

} // namespace

LectorPlanta::LectorPlanta(const Contexto& contexto, const QString& puesto, QObject* parent)
    : QObject(parent), m_contexto(contexto), m_puesto(puesto), m_compartida(PublicadorPlanta::compartida(contexto))
{
}

LectorPlanta::~LectorPlanta() = default;

void LectorPlanta::inicia()
{
    m_reloj = new QTimer(this);
    m_reloj->setInterval(kRevisaMs);
    connect(m_reloj, &QTimer::timeout, this, &LectorPlanta::revisa);
    m_reloj->start();
    revisa();
}

QJsonObject LectorPlanta::lineaDe(const QJsonValue& v)
{
    const QJsonObject o = v.toObject();
    const QJsonValue n = o.value(QStringLiteral("linea"));
    const double d = n.toDouble(-1);
    if (!n.isDouble() || d != double(int(d)) || d < 1 || d > Lineas::kMaximo)
        return {};
    QJsonObject r{{QStringLiteral("linea"), int(d)}};
    for (const char* k : {"nombre", "marcha", "motivo", "instante", "textoError", "textoModo"})
        r.insert(QLatin1String(k), texto(o.value(QLatin1String(k))));
    for (const char* k : {"abierta", "conectado", "vigente"})
        r.insert(QLatin1String(k), o.value(QLatin1String(k)).toBool(false));
    const QJsonValue peso = o.value(QStringLiteral("peso"));
    r.insert(QStringLiteral("peso"), peso.isDouble() ? peso : QJsonValue());
    r.insert(QStringLiteral("decimales"), std::clamp(o.value(QStringLiteral("decimales")).toInt(0), 0, 6));
    const QJsonObject t = o.value(QStringLiteral("textos")).toObject();
    r.insert(QStringLiteral("textos"), QJsonObject{{QStringLiteral("peso"), texto(t.value(QStringLiteral("peso")))},
                                                   {QStringLiteral("lectura"), texto(t.value(QStringLiteral("lectura")))}});
    return r;
}

bool LectorPlanta::carga(const QString& json, Carga* c)
{
    const QJsonObject o = QJsonDocument::fromJson(json.toUtf8()).object();
    const QJsonValue p = o.value(QStringLiteral("puesto"));
    if (!p.isString() || p.toString().isEmpty() || p.toString().size() > 100 ||
        !o.value(QStringLiteral("lineas")).isArray())
        return false;
    // The run and the counter together, or neither (an earlier publisher).
    const QJsonValue corrida = o.value(QStringLiteral("corrida"));
    const QJsonValue n = o.value(QStringLiteral("n"));
    c->corrida.clear();
    c->n = -1;
    if (!corrida.isUndefined() || !n.isUndefined()) {
        const double d = n.toDouble(-1);
        if (!corrida.isString() || corrida.toString().isEmpty() || corrida.toString().size() > 64 || !n.isDouble() ||
            !(d >= 0 && d <= 9007199254740992.0) || d != std::floor(d))
            return false;
        c->corrida = corrida.toString();
        c->n = qint64(d);
    }
    c->puesto = p.toString();
    c->nombre = texto(o.value(QStringLiteral("nombre"))).toString().left(Puesto::kMaxNombre);
    c->lineas = {};
    for (const QJsonValue& v : o.value(QStringLiteral("lineas")).toArray()) {
        const QJsonObject l = lineaDe(v);
        if (!l.isEmpty())
            c->lineas.append(l);
    }
    return true;
}

void LectorPlanta::revisa()
{
    if (m_compartida) {
        if (m_db && !m_db->base().isOpen())
            desconecta();
        if (!m_db && Reloj::ms() >= m_reintentoDesde && !conecta())
            m_reintentoDesde = Reloj::ms() + kReintentoMs;
    }
    if (m_totalesMs < 0 || Reloj::ms() - m_totalesMs >= kTotalesMs)
        leeTotales();
}

bool LectorPlanta::conecta()
{
    auto db = std::make_unique<CDatos>();
    if (!db->AbrirBase(m_contexto.DataCSReporte))
        return false;
    // The table may not be there yet: no workstation has published.
    Schema::creaPlanta(*db, nullptr);
    QSqlDriver* driver = db->base().driver();
    const QString marca = QStringLiteral("tolvex_planta_") +
                          QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, u'0');
    if (!driver->subscribeToNotification(PublicadorPlanta::kCanal) || !driver->subscribeToNotification(marca))
        return false;
    connect(driver, &QSqlDriver::notification, this,
            [this](const QString& nombre, QSqlDriver::NotificationSource, const QVariant& payload) {
                if (nombre == m_marca)
                    m_suelos.clear(); // what comes after is newer than the rows
                else if (nombre == PublicadorPlanta::kCanal)
                    aviso(payload.toString());
            });
    // What was published before: every workstation's rows, with their age
    // by the server's clock (a difference of two of its readings); one
    // silent for more than a week (retired, or installed again under a new
    // identity) is no longer shown.
    if (!db->AbreRegistro(QStringLiteral("SELECT PUESTO, ESTADO, floor(extract(epoch FROM now() - VISTO) * 1000) AS E "
                                         "FROM %1 WHERE VISTO > now() - interval '%2 days' ORDER BY PUESTO, LINEA")
                              .arg(Schema::kTablaPlanta)
                              .arg(kOlvidoDias)))
        return false;
    struct Leido
    {
        QString nombre;
        qint64 edad = -1;
        QJsonArray lineas;
    };
    QMap<QString, Leido> leidos;
    QHash<QString, qint64> suelos;
    QSet<QString> conocidos;
    for (bool hay = db->PrimerRegistro(); hay; hay = db->SiguienteRegistro()) {
        const QString p = db->Campo(QStringLiteral("PUESTO")).toString();
        if (conocidos.size() >= kMaxPuestos && !conocidos.contains(p))
            continue;
        conocidos.insert(p);
        // A row whose state is not one says nothing of its workstation.
        const QJsonObject o = QJsonDocument::fromJson(db->Campo(QStringLiteral("ESTADO")).toString().toUtf8()).object();
        const QJsonObject l = lineaDe(o);
        if (l.isEmpty())
            continue;
        Leido& w = leidos[p];
        w.lineas.append(l);
        // The freshest row says when the workstation was last heard of.
        const qint64 e = std::max<qint64>(0, db->Campo(QStringLiteral("E")).toLongLong());
        if (w.edad < 0 || e <= w.edad) {
            w.edad = e;
            const QString nombre = texto(o.value(QStringLiteral("nombrePuesto"))).toString().left(Puesto::kMaxNombre);
            if (!nombre.isEmpty())
                w.nombre = nombre;
        }
        const QJsonValue corrida = o.value(QStringLiteral("corrida"));
        const double n = o.value(QStringLiteral("n")).toDouble(-1);
        if (corrida.isString() && n >= 0 && n <= 9007199254740992.0) {
            qint64& s = suelos[p + u'\n' + corrida.toString()];
            s = std::max(s, qint64(n));
        }
    }
    db->CierraRegistro();
    // Notifications that were waiting are older than the rows, or newer
    // than them only after this mark.
    if (!db->Ejecuta(QStringLiteral("SELECT pg_notify(?, '')"), {marca}))
        return false;
    m_db = std::move(db);
    m_marca = marca;
    m_suelos = suelos;
    m_conocidos = conocidos;
    m_ajenos.clear();
    for (auto it = leidos.cbegin(); it != leidos.cend(); ++it)
        emit estados(it.key(), it->nombre, it->edad, it->lineas);
    if (!m_conectada) {
        m_conectada = true;
        emit base(true);
    }
    return true;
}

void LectorPlanta::aviso(const QString& json)
{
    Carga c;
    if (!m_db || !carga(json, &c))
        return;
    if (c.n >= 0) {
        const auto s = m_suelos.constFind(c.puesto + u'\n' + c.corrida);
        if (s != m_suelos.cend() && c.n <= *s)
            return; // the table had it, or newer
    }
    if (!delPlantel(c.puesto))
        return;
    emit estados(c.puesto, c.nombre, 0, c.lineas);
}

bool LectorPlanta::delPlantel(const QString& puesto)
{
    if (m_conocidos.contains(puesto))
        return true;
    if (m_ajenos.contains(puesto) || m_conocidos.size() >= kMaxPuestos)
        return false;
    // A workstation's first notification comes with its rows, in one transaction.
    if (!m_db->AbreRegistro(QStringLiteral("SELECT 1 AS HAY FROM %1 WHERE PUESTO = ? LIMIT 1").arg(Schema::kTablaPlanta),
                            {puesto}))
        return false;
    const bool hay = m_db->PrimerRegistro();
    m_db->CierraRegistro();
    if (hay) {
        m_conocidos.insert(puesto);
    } else {
        if (m_ajenos.size() >= 1024)
            m_ajenos.clear();
        m_ajenos.insert(puesto);
    }
    return hay;
}

void LectorPlanta::desconecta()
{
    m_db.reset();
    m_consultas.reset();
    if (m_conectada) {
        m_conectada = false;
        emit base(false);
    }
}

void LectorPlanta::olvidaConsultas()
{
    // A statement refused on a connection that is still there (a table
    // that is not) does not take the plant's channel down.
    if (!m_compartida)
        m_consultas.reset();
    else if (!m_db->base().isOpen())
        desconecta();
}

void LectorPlanta::leeTotales()
{
    m_totalesMs = Reloj::ms();
    if (m_compartida && !m_db)
        return;
    // On PostgreSQL the channel's connection reads them too.
    if (!m_compartida && !m_consultas) {
        m_consultas = std::make_unique<CDatos>();
        if (!m_consultas->AbrirBase(m_contexto.DataCSReporte)) {
            m_consultas.reset();
            return;
        }
    }
    const QString tabla = m_contexto.DataTbReporte;
    QString filtro = ConsultaReportes::hoy(m_contexto).sel.filtro;
    QVariantList valores;
    if (!m_compartida) {
        filtro += QStringLiteral(" AND PUESTO = ?");
        valores.append(m_puesto);
    }
    CDatos& db = m_compartida ? *m_db : *m_consultas;
    if (!db.AbreRegistro(QStringLiteral("SELECT PUESTO, COALESCE(LINEA, 1) AS L, COUNT(*) AS N, SUM(PESO) AS P, "
                                            "MAX(TICKET) AS U FROM ") +
                             tabla + filtro + QStringLiteral(" GROUP BY PUESTO, COALESCE(LINEA, 1)"),
                         valores)) {
        // Read again on a new connection next time.
        olvidaConsultas();
        return;
    }
    struct Fila
    {
        QString puesto;
        int linea;
        qint64 lotes;
        double kilos;
    };
    QHash<qint64, Fila> porTicket;
    QJsonArray filas;
    QList<Fila> sinTicket;
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
        const Fila f{db.Campo(QStringLiteral("PUESTO")).toString(), db.Campo(QStringLiteral("L")).toInt(),
                     db.Campo(QStringLiteral("N")).toLongLong(), db.Campo(QStringLiteral("P")).toDouble()};
        const QVariant u = db.Campo(QStringLiteral("U"));
        if (u.isNull())
            sinTicket.append(f);
        else
            porTicket.insert(u.toLongLong(), f);
    }
    db.CierraRegistro();
    QStringList tickets;
    for (auto it = porTicket.cbegin(); it != porTicket.cend(); ++it)
        tickets.append(QString::number(it.key()));
    QHash<qint64, QJsonObject> ultimos;
    if (!tickets.isEmpty()) {
        if (!db.AbreRegistro(QStringLiteral("SELECT TICKET, PESO, FECHA, HORA FROM %1 WHERE TICKET IN (%2)")
                                 .arg(tabla, tickets.join(u',')))) {
            olvidaConsultas();
            return;
        }
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
            ultimos.insert(db.Campo(QStringLiteral("TICKET")).toLongLong(),
                           {{QStringLiteral("ticket"), db.Campo(QStringLiteral("TICKET")).toDouble()},
                            {QStringLiteral("peso"), db.Campo(QStringLiteral("PESO")).toDouble()},
                            {QStringLiteral("fecha"), FechaHora::fecha(CDatos::aFecha(db.Campo(QStringLiteral("FECHA"))))},
                            {QStringLiteral("hora"), FechaHora::hora(CDatos::aHora(db.Campo(QStringLiteral("HORA"))))}});
        db.CierraRegistro();
    }
    const auto fila = [](const Fila& f, const QJsonValue& ultimo) {
        return QJsonObject{{QStringLiteral("puesto"), f.puesto},  {QStringLiteral("linea"), f.linea},
                           {QStringLiteral("lotes"), f.lotes},    {QStringLiteral("kilos"), f.kilos},
                           {QStringLiteral("ultimo"), ultimo}};
    };
    for (auto it = porTicket.cbegin(); it != porTicket.cend(); ++it)
        filas.append(fila(*it, ultimos.contains(it.key()) ? QJsonValue(ultimos.value(it.key())) : QJsonValue()));
    for (const Fila& f : std::as_const(sinTicket))
        filas.append(fila(f, QJsonValue()));
    emit totales(filas);
}

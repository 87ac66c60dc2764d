#include "LectorPlanta.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDriver>
#include <QStringList>
#include <QTimer>

#include "CDatos.h"
#include "ConsultaReportes.h"
#include "FechaHora.h"
#include "Lineas.h"
#include "PublicadorPlanta.h"
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

bool LectorPlanta::carga(const QString& texto, QString* puesto, qint64* ms, QJsonArray* lineas)
{
    const QJsonObject o = QJsonDocument::fromJson(texto.toUtf8()).object();
    const QJsonValue p = o.value(QStringLiteral("puesto"));
    const QJsonValue t = o.value(QStringLiteral("ms"));
    if (!p.isString() || p.toString().isEmpty() || p.toString().size() > 100 || !t.isDouble() ||
        !o.value(QStringLiteral("lineas")).isArray())
        return false;
    *puesto = p.toString();
    *ms = qint64(t.toDouble());
    *lineas = {};
    for (const QJsonValue& v : o.value(QStringLiteral("lineas")).toArray()) {
        const QJsonObject l = lineaDe(v);
        if (!l.isEmpty())
            lineas->append(l);
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
    if (!driver->subscribeToNotification(PublicadorPlanta::kCanal))
        return false;
    connect(driver, &QSqlDriver::notification, this,
            [this](const QString& nombre, QSqlDriver::NotificationSource, const QVariant& payload) {
                if (nombre != PublicadorPlanta::kCanal)
                    return;
                QString puesto;
                qint64 ms = 0;
                QJsonArray lineas;
                if (carga(payload.toString(), &puesto, &ms, &lineas))
                    emit estados(puesto, ms, 0, lineas);
            });
    // What was published before: every workstation's rows, with their age
    // by the server's clock; one silent for more than a week (retired, or
    // installed again under a new identity) is no longer shown.
    if (!db->AbreRegistro(QStringLiteral("SELECT PUESTO, ESTADO, floor(extract(epoch FROM VISTO) * 1000) AS V, "
                                         "floor(extract(epoch FROM now() - VISTO) * 1000) AS E FROM %1 "
                                         "WHERE VISTO > now() - interval '%2 days' ORDER BY PUESTO, LINEA")
                              .arg(Schema::kTablaPlanta)
                              .arg(kOlvidoDias)))
        return false;
    QString puesto;
    qint64 visto = 0, edad = 0;
    QJsonArray lineas;
    const auto emite = [&] {
        if (!puesto.isEmpty())
            emit estados(puesto, visto, edad, lineas);
        lineas = {};
    };
    for (bool hay = db->PrimerRegistro(); hay; hay = db->SiguienteRegistro()) {
        const QString p = db->Campo(QStringLiteral("PUESTO")).toString();
        if (p != puesto) {
            emite();
            puesto = p;
            visto = 0;
            edad = 0;
        }
        // The workstation's freshest row says when it was last heard of.
        const qint64 v = db->Campo(QStringLiteral("V")).toLongLong();
        if (v >= visto) {
            visto = v;
            edad = db->Campo(QStringLiteral("E")).toLongLong();
        }
        const QJsonObject l = lineaDe(QJsonDocument::fromJson(db->Campo(QStringLiteral("ESTADO")).toString().toUtf8()).object());
        if (!l.isEmpty())
            lineas.append(l);
    }
    emite();
    db->CierraRegistro();
    m_db = std::move(db);
    if (!m_conectada) {
        m_conectada = true;
        emit base(true);
    }
    return true;
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

#include "CanalLocal.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QLocalSocket>
#include <memory>
#include <sys/stat.h>

#include "Acceso.h"
#include "Canal.h"
#include "Diario.h"
#include "EstacionBase.h"
#include "EstadoJson.h"
#include "Niveles.h"
#include "Trabajos.h"

namespace {

const QString kRutina = QStringLiteral("Rutina: canal local");
// How a sign-in with a master password alone names its operator.
const QString kMaestro = QStringLiteral("Maestro");

QString op(const QJsonObject& m)
{
    return m.value(QStringLiteral("op")).toString();
}

// An integral number within [minimo, maximo].
bool entero(const QJsonValue& v, double minimo, double maximo, qint64* r)
{
    const double d = v.toDouble(-1e300);
    if (!v.isDouble() || !(d >= minimo && d <= maximo) || d != double(qint64(d)))
        return false;
    *r = qint64(d);
    return true;
}

} // namespace

CanalLocal::CanalLocal(const Contexto& contexto, const QString& quien, bool servicio, QObject* parent)
    : QObject(parent), m_contexto(contexto), m_quien(quien), m_servicio(servicio),
      m_niveles(new Trabajos(1, 256, {}, this))
{
    connect(&m_servidor, &QLocalServer::newConnection, this, &CanalLocal::nuevo);
}

CanalLocal::~CanalLocal()
{
    for (auto& [s, c] : m_clientes) {
        s->disconnect(this);
        s->abort();
    }
    m_servidor.close();
}

bool CanalLocal::escucha(const QString& directorio, QString* error)
{
    const QString ruta = Canal::ruta(directorio);
    // A socket left by a process that ended (a kill, a power cut) takes the
    // name; whoever calls this holds the bus, so nobody serves there now.
    QLocalServer::removeServer(ruta);
    // Qt makes the socket where nobody else reaches it and then moves it into
    // place: there is no moment at which it has the umask's mode.
    m_servidor.setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    if (!m_servidor.listen(ruta)) {
        if (error)
            *error = QStringLiteral("No se pudo abrir el canal local %1: %2").arg(ruta, m_servidor.errorString());
        return false;
    }
    // Read and write for the installation's account and group, nothing to run.
    if (::chmod(QFile::encodeName(ruta).constData(), 0660) != 0) {
        if (error)
            *error = QStringLiteral("No se pudo fijar el modo del canal local %1").arg(ruta);
        m_servidor.close();
        return false;
    }
    return true;
}

QString CanalLocal::permiso(const QString& operacion, const QString& nivel)
{
    if (!Niveles::esNivel(nivel))
        return QStringLiteral("Nivel desconocido: %1").arg(nivel);
    if (nivel == Niveles::kGerencia)
        return QStringLiteral("El nivel Gerencia no opera las estaciones");
    if (operacion == Canal::Op::kReset && nivel != Niveles::kInstalador && nivel != Niveles::kSuperior)
        return QStringLiteral("El borrado general es solo para los niveles Instalador y Superior");
    return {};
}

void CanalLocal::sirve(EstacionBase* e)
{
    const int n = e->linea().numero;
    m_estaciones[n] = e;
    const auto aviso = [this, n](const QString& operacion) {
        return [this, n, operacion] {
            difunde({{QStringLiteral("op"), operacion}, {QStringLiteral("linea"), n}});
        };
    };
    connect(e, &EstacionBase::estadoCambiado, this, [this, e, n](const EstadoEstacion& es) {
        if (!m_clientes.empty())
            difunde({{QStringLiteral("op"), Canal::Op::kEstado},
                     {QStringLiteral("linea"), n},
                     {QStringLiteral("iniciada"), e->iniciada()},
                     {QStringLiteral("estado"), EstadoJson::entero(es)}});
    });
    connect(e, &EstacionBase::lecturaProcesada, this, [this, n](const LecturaPeso& l) {
        if (!m_clientes.empty())
            difunde({{QStringLiteral("op"), Canal::Op::kLectura},
                     {QStringLiteral("linea"), n},
                     {QStringLiteral("lectura"), EstadoJson::lectura(l)}});
    });
    connect(e, &EstacionBase::registrosCambiados, this, [this, e, n] {
        difunde({{QStringLiteral("op"), Canal::Op::kRegistros},
                 {QStringLiteral("linea"), n},
                 {QStringLiteral("avisos"), QJsonArray::fromStringList(e->avisosRegistro())}});
    });
    connect(e, &EstacionBase::loteRegistrado, this, [this, n](double total, double peso) {
        difunde({{QStringLiteral("op"), Canal::Op::kLote},
                 {QStringLiteral("linea"), n},
                 {QStringLiteral("total"), total},
                 {QStringLiteral("peso"), peso}});
    });
    connect(e, &EstacionBase::operacionTerminada, this, [this, n](int id, bool ok) {
        const auto i = m_operaciones.find({n, id});
        if (i == m_operaciones.end())
            return;
        const auto [s, suyo] = i->second;
        m_operaciones.erase(i);
        if (s)
            envia(s, {{QStringLiteral("op"), Canal::Op::kTerminada},
                      {QStringLiteral("linea"), n},
                      {QStringLiteral("id"), suyo},
                      {QStringLiteral("ok"), ok}});
    });
    connect(e, &EstacionBase::escrituraFallida, this, aviso(Canal::Op::kEscrituraFallida));
    connect(e, &EstacionBase::sinRespuesta, this, aviso(Canal::Op::kSinRespuesta));
    connect(e, &EstacionBase::cerrada, this, aviso(Canal::Op::kCerrada));
    connect(e, &EstacionBase::abierta, this, [this, e, n] {
        difunde({{QStringLiteral("op"), Canal::Op::kAbierta},
                 {QStringLiteral("linea"), n},
                 {QStringLiteral("periodo"), e->periodoConfigurado()}});
    });
    connect(e, &EstacionBase::fallo, this, [this, n](const QString& texto) {
        difunde({{QStringLiteral("op"), Canal::Op::kFallo}, {QStringLiteral("linea"), n}, {QStringLiteral("texto"), texto}});
    });
    connect(e, &EstacionBase::periodoEfectivoCambiado, this, [this, n](int ms) {
        difunde({{QStringLiteral("op"), Canal::Op::kPeriodo}, {QStringLiteral("linea"), n}, {QStringLiteral("ms"), ms}});
    });
    connect(e, &QObject::destroyed, this, [this, n, e] {
        const auto i = m_estaciones.find(n);
        if (i != m_estaciones.end() && (!i->second || i->second == e))
            m_estaciones.erase(i);
    });
}

QJsonObject CanalLocal::hola() const
{
    QJsonArray lineas;
    for (const auto& [n, e] : m_estaciones) {
        if (!e)
            continue;
        lineas.append(QJsonObject{{QStringLiteral("linea"), n},
                                  {QStringLiteral("nombre"), e->linea().nombre},
                                  {QStringLiteral("estado"), EstadoJson::entero(e->estado())},
                                  {QStringLiteral("iniciada"), e->iniciada()},
                                  {QStringLiteral("periodo"), e->periodoConfigurado()},
                                  {QStringLiteral("fallo"), e->falloApertura()},
                                  {QStringLiteral("avisos"), QJsonArray::fromStringList(e->avisosRegistro())}});
    }
    return {{QStringLiteral("op"), Canal::Op::kHola},
            {QStringLiteral("quien"), m_quien},
            {QStringLiteral("servicio"), m_servicio},
            {QStringLiteral("lineas"), lineas}};
}

void CanalLocal::nuevo()
{
    while (QLocalSocket* s = m_servidor.nextPendingConnection()) {
        m_clientes[s];
        connect(s, &QLocalSocket::readyRead, this, [this, s] { lee(s); });
        connect(s, &QLocalSocket::disconnected, this, [this, s] {
            m_clientes.erase(s);
            s->deleteLater();
        });
        envia(s, hola());
    }
}

void CanalLocal::lee(QLocalSocket* s)
{
    const auto i = m_clientes.find(s);
    if (i == m_clientes.end())
        return;
    // A request may drop the client (it stops reading its answers): the
    // partial line is kept here until the reading ends.
    QByteArray resto = std::move(i->second.resto);
    QString error;
    const bool ok = Canal::lee(s, &resto, [&](const QJsonObject& m) { return m_clientes.count(s) && pedido(s, m); },
                               &error);
    const auto j = m_clientes.find(s);
    if (j == m_clientes.end())
        return;
    if (!ok)
        descarta(s, error);
    else
        j->second.resto = std::move(resto);
}

void CanalLocal::envia(QLocalSocket* s, const QJsonObject& m)
{
    escribe(s, Canal::linea(m));
}

void CanalLocal::escribe(QLocalSocket* s, const QByteArray& linea)
{
    if (!m_clientes.count(s))
        return;
    // A client that reads nothing would hold what it is sent here for ever.
    if (s->bytesToWrite() > kMaxSinLeer) {
        descarta(s, QStringLiteral("el cliente no lee lo que se le envía"));
        return;
    }
    s->write(linea);
}

void CanalLocal::difunde(const QJsonObject& m)
{
    if (m_clientes.empty())
        return;
    const QByteArray linea = Canal::linea(m);
    QList<QLocalSocket*> todos;
    for (const auto& [s, c] : m_clientes)
        todos << s;
    for (QLocalSocket* s : std::as_const(todos))
        escribe(s, linea);
}

void CanalLocal::descarta(QLocalSocket* s, const QString& motivo)
{
    if (!m_clientes.erase(s))
        return;
    const QString texto = QStringLiteral("Canal local: cliente desconectado: %1").arg(motivo);
    Diario::agrega(Diario::kLog, Diario::registroError(0, texto, kRutina, QDateTime::currentDateTime()));
    std::fprintf(stderr, "%s\n", texto.toLocal8Bit().constData());
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

void CanalLocal::rechaza(QLocalSocket* s, int linea, int id, const QString& mensaje)
{
    envia(s, {{QStringLiteral("op"), Canal::Op::kRechazo},
              {QStringLiteral("linea"), linea},
              {QStringLiteral("id"), id},
              {QStringLiteral("mensaje"), mensaje}});
}

bool CanalLocal::pedido(QLocalSocket* s, const QJsonObject& m)
{
    using namespace Canal::Op;
    const QString o = op(m);
    if (o != kAbreVista && o != kCierraVista && o != kComando && o != kPrograma && o != kReset) {
        descarta(s, QStringLiteral("operación desconocida \"%1\"").arg(o.left(40)));
        return false;
    }
    const int n = m.value(QStringLiteral("linea")).toInt();
    const int id = m.value(QStringLiteral("id")).toInt();
    const auto i = m_estaciones.find(n);
    if (i == m_estaciones.end() || !i->second) {
        rechaza(s, n, id, QStringLiteral("La línea %1 no se registra aquí").arg(n));
        return true;
    }
    const QString operador = m.value(QStringLiteral("operador")).toString();
    // The level is read off this thread, one request after another, so that
    // what a client asks reaches the line in the order it asked.
    auto nivel = std::make_shared<std::pair<bool, QString>>();
    const QPointer<QLocalSocket> ps = s;
    const QPointer<EstacionBase> pe = i->second;
    const bool lanzado = m_niveles->lanza(
        [nivel, contexto = m_contexto, operador, leer = o != kCierraVista] {
            if (leer && !operador.isEmpty())
                nivel->first = Acceso::nivel(contexto, operador, &nivel->second);
        },
        [this, nivel, ps, pe, m, o, n, id, operador] {
            if (!ps || !pe || !m_clientes.count(ps))
                return;
            QString no;
            if (o == Canal::Op::kCierraVista)
                no.clear();
            else if (operador.isEmpty())
                no = QStringLiteral("Operador desconocido");
            else if (!nivel->first)
                no = QStringLiteral("No se pudo leer la tabla de operadores");
            else if (nivel->second.isEmpty() && operador == kMaestro)
                // A master sign-in has no row: the station's, not the reset.
                no = o == Canal::Op::kReset ? permiso(o, Niveles::kOperador) : QString();
            else if (nivel->second.isEmpty())
                no = QStringLiteral("Operador desconocido: %1").arg(operador);
            else
                no = permiso(o, nivel->second);
            if (!no.isEmpty())
                rechaza(ps, n, id, no);
            else
                ejecuta(ps, pe, m);
        });
    if (!lanzado)
        rechaza(s, n, id, QStringLiteral("El registrador está ocupado, intente de nuevo"));
    return true;
}

void CanalLocal::ejecuta(QLocalSocket* s, EstacionBase* e, const QJsonObject& m)
{
    using namespace Canal::Op;
    const QString o = op(m);
    const int n = e->linea().numero;
    const int id = m.value(QStringLiteral("id")).toInt();
    const QString operador = m.value(QStringLiteral("operador")).toString();
    int suyo = 0;
    if (o == kAbreVista) {
        QStringList aux;
        for (const QJsonValue& v : m.value(QStringLiteral("aux")).toArray())
            aux << v.toString();
        e->abreVista(aux, operador);
        return;
    }
    if (o == kCierraVista) {
        e->cierraVista(operador);
        return;
    }
    if (o == kComando) {
        const QString letra = m.value(QStringLiteral("letra")).toString();
        if (letra.size() != 1 || !letra.at(0).isLetter() || letra.at(0).unicode() > 127) {
            rechaza(s, n, id, QStringLiteral("Comando no válido"));
            return;
        }
        suyo = e->comando(char(letra.at(0).unicode()), m.value(QStringLiteral("nombre")).toString(), operador);
    } else if (o == kPrograma) {
        qint64 despacho = 0, grueso = 0, fino = 0, fin = 0;
        constexpr double k32 = 4294967295.0;
        if (!entero(m.value(QStringLiteral("despacho")), 0, k32, &despacho) ||
            !entero(m.value(QStringLiteral("grueso")), 0, k32, &grueso) ||
            !entero(m.value(QStringLiteral("fino")), 0, k32, &fino) ||
            !entero(m.value(QStringLiteral("fin")), -9007199254740992.0, 9007199254740992.0, &fin)) {
            rechaza(s, n, id, QStringLiteral("Valores de programación no válidos"));
            return;
        }
        suyo = e->programa({quint32(despacho), quint32(grueso), quint32(fino), fin}, operador);
    } else {
        suyo = e->reset(operador);
    }
    m_operaciones[{n, suyo}] = {s, id};
}

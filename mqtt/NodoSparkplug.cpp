#include "NodoSparkplug.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "BuzonLotes.h"
#include "Diario.h"
#include "EstacionPesaje.h"

namespace {

constexpr char kRutina[] = "Rutina: NodoSparkplug (MQTT)";

qint64 ahoraMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

qint64 cpuHiloNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// libmosquitto is initialised once for the process.
void iniciaBiblioteca()
{
    static const bool hecho = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)hecho;
}

} // namespace

NodoSparkplug::NodoSparkplug(const ConfigMqtt& config, const QString& directorio, BuzonLotes* buzon)
    : m_config(config), m_directorio(directorio), m_buzon(buzon)
{
    iniciaBiblioteca();
    m_despertador = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    QFile f(QDir(m_directorio).filePath(kArchivoBdSeq));
    if (f.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const qint64 n = f.readAll().trimmed().toLongLong(&ok);
        if (ok && n >= 0)
            m_bdSeq = (n + 1) % 256;
    }
    m_hilo = std::thread([this] { corre(); });
}

NodoSparkplug::~NodoSparkplug()
{
    m_fin = true;
    despierta();
    if (m_hilo.joinable())
        m_hilo.join();
    if (m_despertador >= 0)
        ::close(m_despertador);
}

void NodoSparkplug::sigue(EstacionPesaje* estacion)
{
    const int linea = estacion->linea().numero;
    QObject::connect(estacion, &EstacionPesaje::estadoCambiado, estacion,
                     [this, linea](const EstadoEstacion& e) { publica(linea, e); }, Qt::DirectConnection);
    QObject::connect(estacion, &EstacionPesaje::cerrada, estacion, [this, linea] { cerrada(linea); },
                     Qt::DirectConnection);
}

void NodoSparkplug::publica(int linea, const EstadoEstacion& e)
{
    {
        QMutexLocker l(&m_mutex);
        Linea& x = m_lineas[linea];
        if (x.estado == e)
            return;
        x.estado = e;
        x.cambio = true;
    }
    despierta();
}

void NodoSparkplug::cerrada(int linea)
{
    {
        QMutexLocker l(&m_mutex);
        Linea& x = m_lineas[linea];
        x.estado.abierta = false;
        x.cambio = true;
    }
    despierta();
}

void NodoSparkplug::despierta()
{
    // One wake-up on its way is enough for any number of changes.
    const quint64 uno = 1;
    if (m_despertador >= 0 && !m_avisado.exchange(true))
        (void)!::write(m_despertador, &uno, sizeof uno);
}

QByteArray NodoSparkplug::temaLotes() const
{
    return "tolvex/" + m_config.grupo.toUtf8() + '/' + m_config.nodo.toUtf8() + "/lote";
}

NodoSparkplug::Cuenta NodoSparkplug::cuenta() const
{
    return {m_mensajes, m_lotes, m_descartados, m_cpuNs, m_conectado};
}

void NodoSparkplug::anota(const QString& texto)
{
    Diario::agrega(QDir(m_directorio).filePath(Diario::kLog),
                   Diario::registroError(0, texto, QLatin1String(kRutina), QDateTime::currentDateTime()));
}

QByteArray NodoSparkplug::muerte() const
{
    return Sparkplug::codifica({QDateTime::currentMSecsSinceEpoch(), -1, Sparkplug::muerteNodo(m_bdSeq)});
}

qint64 NodoSparkplug::siguienteSeq()
{
    const qint64 s = m_seq;
    m_seq = (m_seq + 1) % 256;
    return s;
}

bool NodoSparkplug::envia(const QByteArray& tema, const Sparkplug::Mensaje& m, int qos)
{
    const QByteArray datos = Sparkplug::codifica(m);
    const int rc = mosquitto_publish(m_mosq, nullptr, tema.constData(), int(datos.size()), datos.constData(), qos, false);
    if (rc == MOSQ_ERR_SUCCESS)
        ++m_mensajes;
    return rc == MOSQ_ERR_SUCCESS;
}

bool NodoSparkplug::conecta()
{
    if (!m_mosq) {
        const QByteArray id = ("tolvex-" + m_config.grupo + '-' + m_config.nodo).toUtf8().left(200);
        m_mosq = mosquitto_new(id.constData(), true, this);
        if (!m_mosq) {
            perdida(QStringLiteral("no se pudo crear el cliente MQTT"));
            return false;
        }
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto*, void* yo, int rc) {
            static_cast<NodoSparkplug*>(yo)->alConectar(rc);
        });
        mosquitto_message_callback_set(m_mosq, [](mosquitto*, void* yo, const mosquitto_message* m) {
            static_cast<NodoSparkplug*>(yo)->alMensaje(m);
        });
        mosquitto_publish_callback_set(m_mosq, [](mosquitto*, void* yo, int mid) {
            static_cast<NodoSparkplug*>(yo)->alPublicar(mid);
        });
        if (!m_config.usuario.isEmpty())
            mosquitto_username_pw_set(m_mosq, m_config.usuario.toUtf8().constData(),
                                      m_config.clave.isEmpty() ? nullptr : m_config.clave.toUtf8().constData());
        if (m_config.tls()) {
            const int rc = mosquitto_tls_set(m_mosq, QFile::encodeName(m_config.ca).constData(), nullptr, nullptr,
                                             nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS) {
                perdida(QStringLiteral("certificado de la autoridad: ") + QString::fromUtf8(mosquitto_strerror(rc)));
                mosquitto_destroy(m_mosq);
                m_mosq = nullptr;
                return false;
            }
        }
    }
    // A new connection, a new bdSeq: the will carries it, and so will the NBIRTH.
    m_bdSeq = (m_bdSeq + 1) % 256;
    {
        QSaveFile f(QDir(m_directorio).filePath(kArchivoBdSeq));
        if (f.open(QIODevice::WriteOnly)) {
            f.write(QByteArray::number(m_bdSeq));
            f.commit();
        }
    }
    const QByteArray will = muerte();
    const QByteArray temaMuerte = Sparkplug::tema(m_config.grupo, "NDEATH", m_config.nodo);
    mosquitto_will_set(m_mosq, temaMuerte.constData(), int(will.size()), will.constData(), 1, false);
    const int rc = mosquitto_connect(m_mosq, m_config.host.toUtf8().constData(), m_config.puerto, kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        perdida(rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno))
                                     : QString::fromUtf8(mosquitto_strerror(rc)));
        return false;
    }
    m_conectando = true;
    m_desdeConexion = ahoraMs();
    return true;
}

void NodoSparkplug::perdida(const QString& causa)
{
    if (m_mosq && (m_conectando || m_enSesion))
        mosquitto_disconnect(m_mosq);
    m_conectando = false;
    m_enSesion = false;
    m_conectado = false;
    m_enVuelo.clear();
    m_loteEnVuelo.clear();
    for (Publicada& p : m_publicadas)
        p.nacida = false;
    m_proximoIntento = ahoraMs() + m_pausaMs;
    m_pausaMs = std::min(m_pausaMs * 2, kPausaMaxMs);
    if (!m_perdidaAnotada && !m_fin) {
        m_perdidaAnotada = true;
        anota((m_conectoAlgunaVez ? QStringLiteral("Se perdió la conexión con el broker MQTT %1:%2: %3. Se reintenta.")
                                  : QStringLiteral("No se pudo conectar con el broker MQTT %1:%2: %3. Se reintenta."))
                  .arg(m_config.host)
                  .arg(m_config.puerto)
                  .arg(causa));
    }
}

void NodoSparkplug::alConectar(int rc)
{
    if (rc != 0) {
        perdida(QStringLiteral("el broker rechazó la conexión (") +
                QString::fromUtf8(mosquitto_connack_string(rc)) + u')');
        return;
    }
    m_conectando = false;
    m_enSesion = true;
    m_conectado = true;
    m_pausaMs = kPausaMinMs;
    if (m_perdidaAnotada && m_conectoAlgunaVez)
        anota(QStringLiteral("Se restableció la conexión con el broker MQTT %1:%2.").arg(m_config.host).arg(m_config.puerto));
    else if (m_perdidaAnotada)
        anota(QStringLiteral("Se conectó con el broker MQTT %1:%2.").arg(m_config.host).arg(m_config.puerto));
    m_perdidaAnotada = false;
    m_conectoAlgunaVez = true;
    const QByteArray ncmd = Sparkplug::tema(m_config.grupo, "NCMD", m_config.nodo);
    const QByteArray dcmd = Sparkplug::tema(m_config.grupo, "DCMD", m_config.nodo, QStringLiteral("+"));
    mosquitto_subscribe(m_mosq, nullptr, ncmd.constData(), 1);
    mosquitto_subscribe(m_mosq, nullptr, dcmd.constData(), 1);
    nace();
}

void NodoSparkplug::nace()
{
    m_seq = 0;
    envia(Sparkplug::tema(m_config.grupo, "NBIRTH", m_config.nodo),
          {QDateTime::currentMSecsSinceEpoch(), siguienteSeq(), Sparkplug::nacimientoNodo(m_bdSeq)});
    for (Publicada& p : m_publicadas)
        p.nacida = false;
    {
        // Every open line is born again at once.
        QMutexLocker l(&m_mutex);
        for (auto i = m_lineas.begin(); i != m_lineas.end(); ++i)
            i->cambio = true;
    }
}

void NodoSparkplug::alMensaje(const mosquitto_message* m)
{
    const QByteArray tema(m->topic ? m->topic : "");
    const QByteArray datos(static_cast<const char*>(m->payload), m->payloadlen > 0 ? m->payloadlen : 0);
    Sparkplug::Mensaje msj;
    QString error;
    if (!Sparkplug::decodifica(datos, &msj, &error)) {
        ++m_descartados;
        return;
    }
    if (tema == Sparkplug::tema(m_config.grupo, "NCMD", m_config.nodo)) {
        if (Sparkplug::pideRebirth(msj))
            m_rebirth = true;
        return;
    }
    const QByteArray prefijo = Sparkplug::tema(m_config.grupo, "DCMD", m_config.nodo) + '/';
    if (!tema.startsWith(prefijo)) {
        ++m_descartados;
        return;
    }
    const QString dispositivo = QString::fromUtf8(tema.mid(prefijo.size())).left(100);
    if (!m_dcmdAnotado.value(dispositivo)) {
        m_dcmdAnotado.insert(dispositivo, true);
        QStringList nombres;
        for (const Sparkplug::Metrica& x : msj.metricas)
            nombres << (x.nombre.isEmpty() ? QStringLiteral("alias %1").arg(x.alias) : x.nombre.left(100));
        anota(QStringLiteral("Se rechazó un comando MQTT (DCMD) para %1 (%2): los comandos se dan en la estación.")
                  .arg(dispositivo, nombres.mid(0, 10).join(QStringLiteral(", "))));
    }
}

void NodoSparkplug::alPublicar(int mid)
{
    const auto i = m_enVuelo.constFind(mid);
    if (i == m_enVuelo.cend())
        return;
    const QString id = *i;
    m_enVuelo.erase(i);
    if (id != m_loteEnVuelo || !m_buzon)
        return;
    QString error;
    if (m_buzon->quita(id, &error))
        ++m_lotes;
    else
        anota(QStringLiteral("No se pudo quitar el lote %1 de %2: %3; se enviará de nuevo.")
                  .arg(id, BuzonLotes::kArchivo, error));
    m_loteEnVuelo.clear();
}

int NodoSparkplug::atiende()
{
    if (m_rebirth) {
        m_rebirth = false;
        nace();
    }
    {
        QMutexLocker l(&m_mutex);
        for (auto i = m_lineas.begin(); i != m_lineas.end(); ++i)
            if (i->cambio) {
                m_publicadas[i.key()].pendiente = true;
                i->cambio = false;
            }
    }
    const qint64 ahora = ahoraMs();
    const qint64 reloj = QDateTime::currentMSecsSinceEpoch();
    int espera = -1;
    for (auto i = m_publicadas.begin(); i != m_publicadas.end(); ++i) {
        Publicada& p = *i;
        if (!p.pendiente)
            continue;
        const int n = i.key();
        const int falta = int(p.ultimoMs + 1000 / kMaximoPorSegundo - ahora);
        if (p.nacida && falta > 0) {
            espera = espera < 0 ? falta : std::min(espera, falta);
            continue;
        }
        EstadoEstacion e;
        {
            QMutexLocker l(&m_mutex);
            e = m_lineas.value(n).estado;
        }
        const QString disp = Sparkplug::dispositivo(n);
        if (!e.abierta) {
            if (p.nacida)
                envia(Sparkplug::tema(m_config.grupo, "DDEATH", m_config.nodo, disp), {reloj, siguienteSeq(), {}});
            p.nacida = false;
            p.pendiente = false;
            continue;
        }
        if (!p.nacida) {
            p.metricas = Sparkplug::metricas(n, e);
            envia(Sparkplug::tema(m_config.grupo, "DBIRTH", m_config.nodo, disp), {reloj, siguienteSeq(), p.metricas});
            p.nacida = true;
            p.ultimoMs = ahora;
            p.pendiente = false;
            continue;
        }
        const QVector<Sparkplug::Metrica> ahoraM = Sparkplug::metricas(n, e);
        const QVector<Sparkplug::Metrica> c = Sparkplug::cambios(p.metricas, ahoraM);
        p.pendiente = false;
        if (c.isEmpty())
            continue;
        envia(Sparkplug::tema(m_config.grupo, "DDATA", m_config.nodo, disp), {reloj, siguienteSeq(), c});
        p.metricas = ahoraM;
        p.ultimoMs = ahora;
    }
    // The next batch, once the one before was acknowledged.
    BuzonLotes::Entrada lote;
    if (m_buzon && m_loteEnVuelo.isEmpty() && m_buzon->primero(&lote)) {
        int mid = 0;
        const QByteArray tema = temaLotes();
        const int rc = mosquitto_publish(m_mosq, &mid, tema.constData(), int(lote.json.size()),
                                         lote.json.constData(), 1, false);
        if (rc == MOSQ_ERR_SUCCESS) {
            ++m_mensajes;
            m_loteEnVuelo = lote.idLote;
            m_enVuelo.insert(mid, lote.idLote);
        }
    }
    return espera;
}

void NodoSparkplug::corre()
{
    const auto mide = [this, t0 = cpuHiloNs()] { m_cpuNs = cpuHiloNs() - t0; };
    // Asked to end, the node still gives the broker what the outbox holds,
    // for a while, if the broker is there.
    qint64 hastaMs = -1;
    const auto sigue = [&] {
        if (!m_fin)
            return true;
        if (hastaMs < 0)
            hastaMs = ahoraMs() + kDrenaMs;
        return (m_enSesion || m_conectando) && m_buzon && m_buzon->cantidad() > 0 && ahoraMs() < hastaMs;
    };
    while (sigue()) {
        if (!m_conectando && !m_enSesion && ahoraMs() >= m_proximoIntento)
            conecta();
        int espera = 1000;
        if (m_enSesion) {
            const int e = atiende();
            if (e >= 0)
                espera = std::min(espera, e);
            if (!m_loteEnVuelo.isEmpty() || m_rebirth)
                espera = std::min(espera, 1000);
        } else if (!m_conectando) {
            espera = int(std::clamp<qint64>(m_proximoIntento - ahoraMs(), 0, 1000));
        }
        if (m_conectando)
            espera = std::min(espera, 500);
        pollfd fds[2] = {{m_despertador, POLLIN, 0}, {-1, 0, 0}};
        const int sock = m_mosq && (m_conectando || m_enSesion) ? mosquitto_socket(m_mosq) : -1;
        if (sock >= 0) {
            fds[1].fd = sock;
            fds[1].events = short(POLLIN | (mosquitto_want_write(m_mosq) ? POLLOUT : 0));
        }
        ::poll(fds, sock >= 0 ? 2 : 1, espera);
        if (fds[0].revents & POLLIN) {
            // Drained first, then open to a new wake-up, then (next turn)
            // the states are looked at: no change is left unseen.
            quint64 n = 0;
            (void)!::read(m_despertador, &n, sizeof n);
            m_avisado = false;
        }
        if (sock >= 0) {
            int rc = MOSQ_ERR_SUCCESS;
            if (fds[1].revents & (POLLIN | POLLERR | POLLHUP))
                rc = mosquitto_loop_read(m_mosq, 1);
            if (rc == MOSQ_ERR_SUCCESS && (m_conectando || m_enSesion) && mosquitto_want_write(m_mosq))
                rc = mosquitto_loop_write(m_mosq, 1);
            if (rc == MOSQ_ERR_SUCCESS && (m_conectando || m_enSesion))
                rc = mosquitto_loop_misc(m_mosq);
            if (rc != MOSQ_ERR_SUCCESS && (m_conectando || m_enSesion))
                perdida(rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno))
                                             : QString::fromUtf8(mosquitto_strerror(rc)));
        }
        // Closed under the loop (the keepalive ran out), or a broker that
        // takes the connection and never answers it.
        if ((m_conectando || m_enSesion) && mosquitto_socket(m_mosq) < 0)
            perdida(QStringLiteral("el broker cerró la conexión"));
        else if (m_conectando && ahoraMs() - m_desdeConexion > 2000 * kKeepAliveS)
            perdida(QStringLiteral("el broker no respondió a la conexión"));
        mide();
    }
    // A clean exit: the death is said, not left to the will.
    if (m_mosq && m_enSesion) {
        envia(Sparkplug::tema(m_config.grupo, "NDEATH", m_config.nodo),
              {QDateTime::currentMSecsSinceEpoch(), -1, Sparkplug::muerteNodo(m_bdSeq)}, 1);
        for (int i = 0; i < 20 && mosquitto_want_write(m_mosq); ++i)
            if (mosquitto_loop_write(m_mosq, 10) != MOSQ_ERR_SUCCESS)
                break;
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_write(m_mosq, 1);
    }
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
    mide();
}

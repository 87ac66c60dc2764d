// tolvex-caos: the plant's worst day. Four workstations recording at once,
// each a tolvex-soak process on a kept program directory with its own
// simulated indicator and its web monitor: three on one PostgreSQL database
// (two of them twins, writing equal rows in the same second) and one on its
// own SQLite file. From a seeded schedule it kills workstations with SIGKILL
// and starts them again on the same directory, cuts and slows the database
// through a relay of its own, breaks each station's link through another
// relay (late, lost and foreign replies, silence, disconnections; two
// indicators never answer one-register reads), fills the disk of one
// directory (a tmpfs, when run as root) and attacks the monitors. Then it
// stops the faults, lets every directory start cleanly once and judges only
// what is left outside:
//  - every batch a simulator completed (Simulador.log) is exactly one row,
//    of its own workstation, with the simulator's weight; a batch left
//    unqueued by a kill is counted apart: the last one of a killed run only;
//  - no row that no simulator batch explains;
//  - per database: tickets 1..N and the Ticket setting, journals whole and
//    equal to their rows, dispatch marks on a workstation's own rows only,
//    each directory's last ticket its own (Revision.h, with tolvex-killtest);
//  - every field of every good reading the window showed (Lecturas.log) and
//    the API returned (/api/estado, polled here every second) is what the
//    simulator replied for that very register within 20 s before: a reply
//    taken for another request brings the values of other registers;
//  - after every link fault a station reads again within 45 s.
// Prints "semilla N" first, then a summary line; exits 1 on any violation,
// printing the seed again and what broke (with seconds into the run).
#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <csignal>
#include <deque>
#include <map>
#include <memory>
#include <sys/mount.h>
#include <unistd.h>

#include "Asedio.h"
#include "ClienteWeb.h"
#include "ConnectionString.h"
#include "Indicador.h"
#include "Instalacion.h"
#include "Puesto.h"
#include "Revision.h"
#include "Trama.h"

namespace {

qint64 ahora()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QTextStream& out()
{
    static QTextStream s(stdout);
    return s;
}

// Lines appended as they happen, from any thread.
class Bitacora
{
public:
    bool abre(const QString& archivo)
    {
        m_f.setFileName(archivo);
        return m_f.open(QIODevice::Append | QIODevice::Unbuffered);
    }
    void linea(const QByteArray& l)
    {
        QMutexLocker g(&m_m);
        m_f.write(QByteArray::number(ahora()) + ' ' + l + '\n');
    }

private:
    QFile m_f;
    QMutex m_m;
};

// Chunks held back and let go when due, in the order of their times.
struct Demora
{
    std::deque<std::pair<qint64, QByteArray>> cola;
    qint64 ultimo = 0;
    // Due no earlier than anything put before it this way.
    void pon(qint64 vence, QByteArray d)
    {
        ultimo = std::max(vence, ultimo);
        ponSuelto(ultimo, std::move(d));
    }
    // Due when it is due, ahead of anything due later.
    void ponSuelto(qint64 vence, QByteArray d)
    {
        auto it = cola.end();
        while (it != cola.begin() && std::prev(it)->first > vence)
            --it;
        cola.emplace(it, vence, std::move(d));
    }
    QByteArray vencidos(qint64 t)
    {
        QByteArray r;
        while (!cola.empty() && cola.front().first <= t) {
            r += cola.front().second;
            cola.pop_front();
        }
        return r;
    }
};

// A TCP relay between the workstations and the PostgreSQL server. An
// outage ends every relayed connection and refuses new ones; a slow spell
// holds each client chunk up to a few seconds.
class RelePg : public QObject
{
public:
    RelePg(QString host, quint16 puerto) : m_host(std::move(host)), m_puertoServidor(puerto)
    {
        connect(&m_srv, &QTcpServer::newConnection, this, &RelePg::nueva);
        m_tic.setInterval(20);
        connect(&m_tic, &QTimer::timeout, this, &RelePg::suelta);
        m_tic.start();
    }
    bool escucha() { return m_srv.listen(QHostAddress::LocalHost, 0); }
    quint16 puerto() const { return m_srv.serverPort(); }
    void corta(bool si)
    {
        m_cortado = si;
        if (!si)
            return;
        const auto pares = m_pares;
        for (const auto& p : pares)
            cierra(p);
    }
    void lento(int maxMs) { m_lentoMs = maxMs; }
    // The next connection that sends a chunk holding marca (an INSERT, or
    // the twins' AUX1 of a row being written) is ended before the chunk
    // reaches the server: a write cut in the middle of its transaction.
    void cortaEnTransaccion(const QByteArray& marca) { m_acecha = marca; }
    qint64 rechazadas = 0, cortadas = 0, demoradas = 0, enTransaccion = 0;

private:
    struct Par
    {
        QPointer<QTcpSocket> c, s;
        QByteArray antes; // before the server's side connected
        Demora demora;
    };
    void nueva()
    {
        while (QTcpSocket* c = m_srv.nextPendingConnection()) {
            c->setParent(this);
            if (m_cortado) {
                ++rechazadas;
                c->abort();
                c->deleteLater();
                continue;
            }
            auto p = std::make_shared<Par>();
            p->c = c;
            p->s = new QTcpSocket(this);
            m_pares.append(p);
            connect(p->s, &QTcpSocket::connected, this, [p] {
                p->s->write(p->antes);
                p->antes.clear();
            });
            connect(p->s, &QTcpSocket::readyRead, this, [p] {
                if (p->c)
                    p->c->write(p->s->readAll());
            });
            connect(c, &QTcpSocket::readyRead, this, [this, p] {
                const qint64 t = ahora();
                const QByteArray datos = p->c->readAll();
                if (!m_acecha.isEmpty() && datos.contains(m_acecha)) {
                    m_acecha.clear();
                    ++enTransaccion;
                    cierra(p);
                    return;
                }
                const int d = m_lentoMs > 0 ? int(m_azar.bounded(m_lentoMs + 1)) : 0;
                demoradas += d > 0;
                p->demora.pon(t + d, datos);
                suelta();
            });
            for (QTcpSocket* s : {c, p->s.data()}) {
                connect(s, &QTcpSocket::disconnected, this, [this, p] { cierra(p); });
                connect(s, &QTcpSocket::errorOccurred, this, [this, p, s] {
                    if (s->state() == QAbstractSocket::UnconnectedState)
                        cierra(p);
                });
            }
            p->s->connectToHost(m_host, m_puertoServidor);
        }
    }
    void suelta()
    {
        const qint64 t = ahora();
        for (const auto& p : QList(m_pares)) {
            const QByteArray d = p->demora.vencidos(t);
            if (d.isEmpty() || !p->s)
                continue;
            if (p->s->state() == QAbstractSocket::ConnectedState)
                p->s->write(d);
            else
                p->antes += d;
        }
    }
    void cierra(std::shared_ptr<Par> p)
    {
        if (p->c) {
            ++cortadas;
            p->c->disconnect(this);
            p->c->abort();
            p->c->deleteLater();
        }
        if (p->s) {
            p->s->disconnect(this);
            p->s->abort();
            p->s->deleteLater();
        }
        m_pares.removeOne(p);
    }

    QTcpServer m_srv;
    QString m_host;
    quint16 m_puertoServidor;
    QList<std::shared_ptr<Par>> m_pares;
    bool m_cortado = false;
    QByteArray m_acecha;
    int m_lentoMs = 0;
    QRandomGenerator m_azar{17};
    QTimer m_tic;
};

enum class Falla
{
    Ninguna,
    Tarde,
    Pierde,
    Ajeno,
    Silencio,
    Desconecta
};
constexpr int kFallas = 6;
const char* const kNombreFalla[kFallas] = {"ninguna", "tarde",    "pierde",
                                           "ajeno",   "silencio", "desconecta"};

// A TCP relay between a station and its simulator. It logs every request
// ("P") and every reply the simulator gave ("R request reply", whatever is
// then done with it), and breaks the link as told.
class ReleEnlace : public QObject
{
public:
    ReleEnlace(const QString& archivo, quint32 semilla, bool ignoraUnRegistro)
        : m_azar(semilla), m_ignora(ignoraUnRegistro)
    {
        m_ok = m_log.abre(archivo);
        connect(&m_srv, &QTcpServer::newConnection, this, &ReleEnlace::nueva);
        m_tic.setInterval(10);
        connect(&m_tic, &QTimer::timeout, this, &ReleEnlace::entrega);
        m_tic.start();
    }
    bool escucha() { return m_ok && m_srv.listen(QHostAddress::LocalHost, 0); }
    quint16 puerto() const { return m_srv.serverPort(); }
    void destino(quint16 p)
    {
        m_destino = p;
        for (const auto& c : QList(m_cons))
            if (c->s && c->s->state() == QAbstractSocket::UnconnectedState)
                c->s->connectToHost(QHostAddress::LocalHost, p);
    }
    void falla(Falla f)
    {
        m_falla = f;
        m_log.linea(QByteArray("F ") + kNombreFalla[int(f)]);
        if (f == Falla::Desconecta) {
            const auto cons = m_cons;
            for (const auto& c : cons) {
                ++tocadas[int(Falla::Desconecta)];
                cierra(c);
            }
            m_falla = Falla::Ninguna;
        }
    }
    // Per kind: frames the fault touched.
    qint64 tocadas[kFallas] = {};
    qint64 ignoradas = 0;

private:
    struct Pedido
    {
        QByteArray trama;
        bool pierdeRespuesta = false;
    };
    struct Con
    {
        QPointer<QTcpSocket> c, s;
        QByteArray deCliente, deSim, antes;
        std::deque<Pedido> esperando;
        Demora demora;
    };
    bool sorteo(double p) { return m_azar.generateDouble() < p; }
    void nueva()
    {
        while (QTcpSocket* c = m_srv.nextPendingConnection()) {
            c->setParent(this);
            auto k = std::make_shared<Con>();
            k->c = c;
            k->s = new QTcpSocket(this);
            m_cons.append(k);
            connect(k->s, &QTcpSocket::connected, this, [k] {
                k->s->write(k->antes);
                k->antes.clear();
            });
            connect(c, &QTcpSocket::readyRead, this, [this, k] { delCliente(k); });
            connect(k->s, &QTcpSocket::readyRead, this, [this, k] { delSimulador(k); });
            for (QTcpSocket* s : {c, k->s.data()}) {
                connect(s, &QTcpSocket::disconnected, this, [this, k] { cierra(k); });
                connect(s, &QTcpSocket::errorOccurred, this, [this, k, s] {
                    if (s->state() == QAbstractSocket::UnconnectedState)
                        cierra(k);
                });
            }
            if (m_destino)
                k->s->connectToHost(QHostAddress::LocalHost, m_destino);
        }
    }
    void delCliente(const std::shared_ptr<Con>& k)
    {
        k->deCliente += k->c->readAll();
        // Every request the station sends is 8 bytes (read or write one register).
        while (k->deCliente.size() >= 8) {
            const QByteArray t = k->deCliente.left(8);
            k->deCliente.remove(0, 8);
            m_log.linea("P " + t.toHex());
            const bool lectura1 = quint8(t[1]) == 3 && quint8(t[5]) == 1 && quint8(t[4]) == 0;
            if (m_falla == Falla::Silencio) {
                ++tocadas[int(Falla::Silencio)];
                continue;
            }
            if (m_ignora && lectura1) {
                // Outside the indicator's map: no reply at all.
                ++ignoradas;
                m_log.linea("F ignora " + t.toHex());
                continue;
            }
            Pedido p{t};
            if (m_falla == Falla::Pierde && sorteo(0.3)) {
                ++tocadas[int(Falla::Pierde)];
                if (sorteo(0.5)) {
                    m_log.linea("F pierde-pedido");
                    continue;
                }
                p.pierdeRespuesta = true;
            }
            k->esperando.push_back(p);
            if (k->s && k->s->state() == QAbstractSocket::ConnectedState)
                k->s->write(t);
            else
                k->antes += t;
        }
    }
    static int largoRespuesta(const QByteArray& pedido, const QByteArray& llegado)
    {
        if (llegado.size() >= 2 && (quint8(llegado[1]) & 0x80))
            return 5;
        return quint8(pedido[1]) == 3 ? Trama::largoLectura(quint8(pedido[5]))
                                      : Trama::kLargoEscritura;
    }
    void delSimulador(const std::shared_ptr<Con>& k)
    {
        k->deSim += k->s->readAll();
        while (!k->esperando.empty()) {
            const Pedido& p = k->esperando.front();
            const int largo = largoRespuesta(p.trama, k->deSim);
            if (k->deSim.size() < largo)
                break;
            QByteArray r = k->deSim.left(largo);
            k->deSim.remove(0, largo);
            const Pedido hecho = p;
            k->esperando.pop_front();
            m_log.linea("R " + hecho.trama.toHex() + ' ' + r.toHex());
            if (hecho.pierdeRespuesta) {
                m_log.linea("F pierde-respuesta");
                continue;
            }
            // Two blocks of the station's read have 8 registers: a late reply of
            // that length is the one another request could take, so those are
            // made late more often, and half of the late ones come a little
            // after the reply wait.
            const bool ocho = r.size() == Trama::largoLectura(8);
            if (m_falla == Falla::Tarde && sorteo(ocho ? 0.7 : 0.3)) {
                // Late, and overtaken by the replies to later requests (a
                // gateway that answers as each reply comes).
                ++tocadas[int(Falla::Tarde)];
                const qint64 demora = sorteo(0.5) ? 2000 + m_azar.bounded(2001) : m_azar.bounded(10001);
                m_log.linea("F tarde " + QByteArray::number(demora));
                k->demora.ponSuelto(ahora() + demora, r);
                continue;
            }
            if (m_falla == Falla::Ajeno && sorteo(0.4)) {
                ++tocadas[int(Falla::Ajeno)];
                r[0] = char(quint8(r[0]) + 5);
                r = r.left(r.size() - 2);
                r += Trama::crc16(r);
                m_log.linea("F ajeno");
            }
            k->demora.pon(ahora(), r);
        }
        if (k->esperando.empty())
            k->deSim.clear(); // nothing asked: nothing to pair it with
        entrega();
    }
    void entrega()
    {
        const qint64 t = ahora();
        for (const auto& k : QList(m_cons)) {
            const QByteArray d = k->demora.vencidos(t);
            if (!d.isEmpty() && k->c)
                k->c->write(d);
        }
    }
    void cierra(std::shared_ptr<Con> k)
    {
        if (!m_cons.contains(k))
            return;
        m_cons.removeOne(k);
        for (QTcpSocket* s : {k->c.data(), k->s.data()}) {
            if (!s)
                continue;
            s->disconnect(this);
            s->abort();
            s->deleteLater();
        }
    }

    Bitacora m_log;
    bool m_ok = false;
    QTcpServer m_srv;
    quint16 m_destino = 0;
    QRandomGenerator m_azar;
    bool m_ignora;
    Falla m_falla = Falla::Ninguna;
    QList<std::shared_ptr<Con>> m_cons;
    QTimer m_tic;
};

// ---- the checker's reading of the logs ----

// A good reading's fields, each where it lives: a 32-bit value from
// register a (low word) and a + 1, or the low byte of register a.
struct Campo
{
    quint16 reg;
    bool doble;
    const char* nombre;
};
const Campo kCamposVentana[] = {
    {Indicador::kPeso, true, "Peso"},          {Indicador::kDespacho, true, "Despacho"},
    {Indicador::kCGrueso, true, "CGrueso"},    {Indicador::kCFino, true, "CFino"},
    {Indicador::kCaudal, true, "Caudal"},      {Indicador::kResto, true, "Resto"},
    {Indicador::kCCiclos, true, "CCiclos"},    {Indicador::kCError, false, "CError"},
    {Indicador::kUlTotal, true, "UlTotal"},    {Indicador::kUlBatch, true, "UlBatch"},
    {Indicador::kModo, false, "Modo"},         {Indicador::kSPFin, false, "SPFin"},
    {Indicador::kTotal, true, "Total"},        {Indicador::kSalidas, false, "Salidas"},
    {Indicador::kEntradas, false, "Entradas"}, {Indicador::kTotalF, true, "TotalF"},
};
// What /api/estado shows, by its JSON name.
const std::pair<const char*, Campo> kCamposApi[] = {
    {"peso", kCamposVentana[0]},        {"despacho", kCamposVentana[1]},
    {"corteGrueso", kCamposVentana[2]}, {"corteFino", kCamposVentana[3]},
    {"caudal", kCamposVentana[4]},      {"resto", kCamposVentana[5]},
    {"ciclos", kCamposVentana[6]},      {"codigoError", kCamposVentana[7]},
    {"acumulado", kCamposVentana[8]},   {"modo", kCamposVentana[10]},
};

struct Violacion
{
    qint64 ms; // into the run
    QString texto;
};

struct Lectura
{
    qint64 ms;
    QVector<qint64> valores; // in the order of the fields it is checked against
    bool api;
};

// Checks readings, in time order, against the register values the
// simulator replied within [t - 20 s, t + 1 s].
class Ventana
{
public:
    explicit Ventana(const QString& archivoRele) : m_f(archivoRele)
    {
        m_f.open(QIODevice::ReadOnly);
    }

    // Empty when every field was had; else the first field that was not.
    QString revisa(const Lectura& l, const QList<Campo>& campos)
    {
        avanzaHasta(l.ms + 1000);
        while (!m_vistos.empty() && m_vistos.front().ms < l.ms - 20000) {
            const auto& v = m_vistos.front();
            auto& n = m_tiene[v.reg][v.valor];
            if (--n == 0)
                m_tiene[v.reg].erase(v.valor);
            m_vistos.pop_front();
        }
        for (qsizetype i = 0; i < campos.size(); ++i) {
            const Campo& c = campos[i];
            const quint32 bruto = quint32(qint64(l.valores[i]) & 0xFFFFFFFF);
            bool ok;
            if (c.doble)
                ok = tuvo(c.reg, quint16(bruto & 0xFFFF), false) &&
                     tuvo(quint16(c.reg + 1), quint16(bruto >> 16), false);
            else
                ok = tuvo(c.reg, quint16(bruto & 0xFF), true);
            if (!ok)
                return QStringLiteral("%1 = %2").arg(QLatin1String(c.nombre)).arg(l.valores[i]);
        }
        return {};
    }
    qint64 respuestas = 0;

private:
    struct Visto
    {
        qint64 ms;
        quint16 reg;
        quint16 valor;
    };
    bool tuvo(quint16 reg, quint16 valor, bool byteBajo)
    {
        const auto it = m_tiene.find(reg);
        if (it == m_tiene.end())
            return false;
        if (!byteBajo)
            return it->second.count(valor) > 0;
        for (const auto& [v, n] : it->second)
            if ((v & 0xFF) == valor)
                return true;
        return false;
    }
    void avanzaHasta(qint64 t)
    {
        while (true) {
            if (m_pendiente.isEmpty()) {
                if (m_f.atEnd())
                    return;
                m_pendiente = m_f.readLine().trimmed();
            }
            const QList<QByteArray> p = m_pendiente.split(' ');
            const qint64 ms = p.value(0).toLongLong();
            if (ms > t)
                return;
            m_pendiente.clear();
            if (p.size() != 4 || p[1] != "R")
                continue;
            const QByteArray pedido = QByteArray::fromHex(p[2]);
            const QByteArray r = QByteArray::fromHex(p[3]);
            if (pedido.size() != 8 || quint8(pedido[1]) != 3)
                continue;
            const int cantidad = quint8(pedido[5]);
            const Trama::Resultado res = Trama::verificaLectura(r, quint8(pedido[0]), cantidad);
            if (!res.ok())
                continue;
            ++respuestas;
            const quint16 desde = quint16(quint8(pedido[2]) << 8 | quint8(pedido[3]));
            for (int i = 0; i < cantidad; ++i) {
                const quint16 reg = quint16(desde + i);
                const quint16 v =
                    quint16(quint8(res.datos[2 * i]) | quint8(res.datos[2 * i + 1]) << 8);
                m_vistos.push_back({ms, reg, v});
                ++m_tiene[reg][v];
            }
        }
    }

    QFile m_f;
    QByteArray m_pendiente;
    std::deque<Visto> m_vistos;
    std::map<quint16, std::map<quint16, int>> m_tiene;
};

// ---- the run ----

struct Muerte
{
    QString aux1;
    qint64 ms;
};

struct Estacion_
{
    QString nombre;
    QString dir;
    QString bitacoras; // the simulator's and the window's logs, off the program directory's disk
    bool pg = false;
    int gemelo = -1; // index of its twin
    bool ignoraUnRegistro = false;
    QString identidad;
    ReleEnlace* rele = nullptr;
    quint16 puertoRele = 0;
    QProcess* proceso = nullptr;
    int corrida = 0;
    QString aux1;
    bool vivo = false;
    qint64 desdeMs = 0; // when the current run started
    QSet<Revision::Lote> encolados;
    QList<Muerte> muertes;
    quint16 web = 0;
    QByteArray cookie;
    QString clave;
    Bitacora api;
    bool discoLleno = false;
    bool parada = false;       // noted as no longer reading in this run
    qint64 lecturasVistas = 0; // last ms seen in Lecturas.log
    qint64 leidoLecturas = 0;  // bytes of it read
    QByteArray resto;
};

struct Evento
{
    enum Tipo
    {
        Muerte,
        CorteBase,
        CorteTransaccion,
        LentaBase,
        Enlace,
        Disco,
        Web
    } tipo;
    qint64 ms; // into the run
    int estacion = 0;
    int duracionMs = 0;
    int param = 0;
};

// The last good reading's time in a station's log, read on from where it was.
qint64 ultimaLectura(Estacion_& e)
{
    QFile f(QDir(e.bitacoras).absoluteFilePath(QStringLiteral("Lecturas.log")));
    if (!f.open(QIODevice::ReadOnly))
        return e.lecturasVistas;
    if (f.size() < e.leidoLecturas)
        e.leidoLecturas = 0;
    f.seek(e.leidoLecturas);
    const QByteArray nuevo = f.readAll();
    e.leidoLecturas += nuevo.size();
    e.resto += nuevo;
    const qsizetype fin = e.resto.lastIndexOf('\n');
    if (fin >= 0) {
        const QByteArray ultima = e.resto.left(fin).split('\n').last();
        e.lecturasVistas = std::max(e.lecturasVistas, ultima.split(' ').value(0).toLongLong());
        e.resto.remove(0, fin + 1);
    }
    return e.lecturasVistas;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvex-caos"));
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("El peor día de la planta: cuatro puestos, muertes, cortes, "
                       "fallas de enlace, disco lleno y ataques al monitor."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("minutes"), QStringLiteral("Duración de las fallas (2)."),
         QStringLiteral("M"), QStringLiteral("2")},
        {QStringLiteral("seed"),
         QStringLiteral("Semilla del programa de fallas (por defecto, según la hora)."),
         QStringLiteral("N")},
        {QStringLiteral("postgres"),
         QStringLiteral("Servidor PostgreSQL (cadena de conexión); la prueba crea su propia base."),
         QStringLiteral("CONEXION")},
        {QStringLiteral("postgres-archivo"),
         QStringLiteral(
             "Archivo con la cadena de conexión, si no se da --postgres ni TOLVEX_TEST_PG."),
         QStringLiteral("ARCHIVO")},
        {QStringLiteral("base"), QStringLiteral("Nombre de la base que se crea (tolvex_caos)."),
         QStringLiteral("NOMBRE"), QStringLiteral("tolvex_caos")},
        {QStringLiteral("dir"),
         QStringLiteral("Deja los directorios y las bitácoras en DIR (nuevo)."),
         QStringLiteral("DIR")},
        {QStringLiteral("speed"), QStringLiteral("Velocidad de los simuladores (30)."),
         QStringLiteral("F"), QStringLiteral("30")},
    });
    p.process(app);
    bool ok1 = false, ok2 = false, ok3 = true;
    const double minutos = p.value(QStringLiteral("minutes")).toDouble(&ok1);
    const double velocidad = p.value(QStringLiteral("speed")).toDouble(&ok2);
    quint32 semilla = quint32(ahora() % 1000000);
    if (p.isSet(QStringLiteral("seed")))
        semilla = p.value(QStringLiteral("seed")).toUInt(&ok3);
    if (!ok1 || !ok2 || !ok3 || minutos <= 0 || velocidad <= 0) {
        QTextStream(stderr) << "tolvex-caos: valores no válidos\n\n" << p.helpText();
        return 2;
    }
    out() << "semilla " << semilla << Qt::endl;

    QString servidor = p.value(QStringLiteral("postgres"));
    if (servidor.isEmpty())
        servidor = qEnvironmentVariable("TOLVEX_TEST_PG");
    if (servidor.isEmpty() && p.isSet(QStringLiteral("postgres-archivo"))) {
        QFile f(p.value(QStringLiteral("postgres-archivo")));
        if (f.open(QIODevice::ReadOnly))
            servidor = QString::fromUtf8(f.readAll()).trimmed();
    }
    if (servidor.isEmpty()) {
        out() << "caos: no hay servidor PostgreSQL: se omite" << Qt::endl;
        return 77;
    }
    const ConnectionString cs = ConnectionString::parse(servidor, QDir::currentPath());
    const QString base = p.value(QStringLiteral("base"));
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("crea"));
        db.setHostName(cs.host);
        db.setPort(cs.port);
        db.setDatabaseName(QStringLiteral("postgres"));
        db.setUserName(cs.user);
        db.setPassword(cs.password);
        QSqlQuery q(db);
        if (!db.open() ||
            !q.exec(QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(base)) ||
            !q.exec(QStringLiteral("CREATE DATABASE \"%1\"").arg(base))) {
            out() << "tolvex-caos: no se pudo crear la base: " << q.lastError().text()
                  << db.lastError().text() << Qt::endl;
            return 2;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("crea"));

    QTemporaryDir temporal;
    const QString raiz = p.isSet(QStringLiteral("dir"))
                             ? QDir(p.value(QStringLiteral("dir"))).absolutePath()
                             : temporal.path();
    if (!QDir().mkpath(raiz)) {
        out() << "tolvex-caos: no se pudo crear " << raiz << Qt::endl;
        return 2;
    }
    const auto en = [&raiz](const QString& n) { return QDir(raiz).absoluteFilePath(n); };
    const QString soak = QDir(QCoreApplication::applicationDirPath())
                             .absoluteFilePath(QStringLiteral("tolvex-soak"));

    // The network side on a thread of its own: the checks below block this one.
    QThread red;
    red.setObjectName(QStringLiteral("Red"));
    auto* agente = new QObject;
    agente->moveToThread(&red);
    QObject::connect(&red, &QThread::finished, agente, &QObject::deleteLater);
    red.start();
    const auto enRed = [agente](auto f) {
        QMetaObject::invokeMethod(agente, f, Qt::BlockingQueuedConnection);
    };
    RelePg* relePg = nullptr;
    bool escuchaPg = false;
    enRed([&] {
        relePg = new RelePg(cs.host, quint16(cs.port));
        escuchaPg = relePg->escucha();
    });
    if (!escuchaPg) {
        out() << "tolvex-caos: el relé de la base no pudo escuchar" << Qt::endl;
        return 2;
    }
    const QString csPuestos =
        QStringLiteral("Driver=PostgreSQL;Host=127.0.0.1;Port=%1;Database=%2;User=%3;Password=%4")
            .arg(relePg->puerto())
            .arg(base, cs.user, cs.password);

    // A, the twins G1 and G2 on PostgreSQL; S on its SQLite file. A and S
    // never answer one-register reads.
    QList<Estacion_*> est;
    for (const char* n : {"A", "G1", "G2", "S"}) {
        auto* e = new Estacion_;
        e->nombre = QString::fromLatin1(n);
        e->dir = en(e->nombre);
        e->bitacoras = en(e->nombre + QStringLiteral("-bitacoras"));
        e->pg = e->nombre != u"S";
        e->ignoraUnRegistro = e->nombre == u"A" || e->nombre == u"S";
        e->clave = QStringLiteral("caos-%1-%2").arg(e->nombre).arg(semilla);
        est << e;
    }
    est[1]->gemelo = 2;
    est[2]->gemelo = 1;
    Estacion_& S = *est[3];

    // S's directory on a small disk of its own.
    QDir().mkpath(S.dir);
    bool disco = false;
    if (geteuid() == 0) {
        disco = ::mount("tmpfs", QFile::encodeName(S.dir).constData(), "tmpfs", 0, "size=48m") == 0;
        if (!disco)
            out() << "caos: no se pudo montar un tmpfs en " << S.dir << ": no se llena el disco"
                  << Qt::endl;
    } else {
        out() << "caos: sin permisos de root no se monta un disco pequeño: no se llena el disco"
              << Qt::endl;
    }

    for (int i = 0; i < est.size(); ++i) {
        Estacion_& e = *est[i];
        bool ok = false;
        enRed([&] {
            e.rele = new ReleEnlace(en(QStringLiteral("enlace-%1.log").arg(e.nombre)),
                                    semilla * 31 + quint32(i), e.ignoraUnRegistro);
            ok = e.rele->escucha();
        });
        if (!ok || !e.api.abre(en(QStringLiteral("api-%1.log").arg(e.nombre)))) {
            out() << "tolvex-caos: el relé de " << e.nombre << " no pudo escuchar" << Qt::endl;
            return 2;
        }
        e.puertoRele = e.rele->puerto();
        Instalacion ins;
        ins.directorio = e.dir;
        ins.postgres = e.pg ? csPuestos : QString();
        ins.tcp = QStringLiteral("127.0.0.1:%1").arg(e.puertoRele);
        ins.id = 1;
        if (!ins.ejecutar()) {
            out() << "tolvex-caos: " << ins.error << Qt::endl;
            return 2;
        }
        e.identidad = Puesto::de(e.dir);
    }

    QElapsedTimer reloj;
    reloj.start();
    const qint64 inicio = ahora();
    QList<Violacion> violaciones;
    const auto viola = [&](qint64 msEpoca, const QString& t) {
        violaciones.append({msEpoca - inicio, t});
    };
    QMap<QString, qint64> fallas; // kind -> injected
    qint64 arranques = 0, arranquesFallidos = 0;

    // The lines a run writes: its queued batches, its simulator's port, its monitor.
    const auto leeSalida = [&](Estacion_& x) {
        while (x.proceso->canReadLine()) {
            const QString l = QString::fromUtf8(x.proceso->readLine()).trimmed();
            if (l.startsWith(QStringLiteral("lote "))) {
                x.encolados.insert({x.aux1, l.mid(5).toLongLong()});
            } else if (l.startsWith(QStringLiteral("simulador "))) {
                const quint16 puerto = l.mid(10).toUShort();
                QMetaObject::invokeMethod(x.rele, [r = x.rele, puerto] { r->destino(puerto); });
            } else if (l.startsWith(QStringLiteral("web "))) {
                const QUrl url(l.section(u' ', 1, 1));
                x.web = quint16(url.port());
                x.cookie = ClienteWeb::ingresa(url, x.clave);
            }
        }
    };
    // Starts a run of a station (a twin's with the same seed, name and start).
    const auto arranca = [&](int i, qint64 sincronia, int corrida) {
        Estacion_& e = *est[i];
        e.corrida = corrida;
        e.aux1 = QStringLiteral("%1-%2")
                     .arg(e.gemelo >= 0 ? QStringLiteral("G") : e.nombre)
                     .arg(e.corrida);
        const quint32 s =
            semilla * 1000 + quint32(e.gemelo >= 0 ? 1 : i) * 100 + quint32(e.corrida);
        if (e.proceso && e.proceso->state() != QProcess::NotRunning) {
            // Never two runs in one directory: the one still running ends as killed.
            ::kill(pid_t(e.proceso->processId()), SIGKILL);
            e.proceso->waitForFinished(10000);
            leeSalida(e);
            e.muertes.append({e.aux1, ahora()});
        }
        delete e.proceso;
        e.proceso = new QProcess;
        e.proceso->setStandardErrorFile(en(e.nombre + QStringLiteral(".err")), QIODevice::Append);
        QStringList args{QStringLiteral("--keep"),
                         e.dir,
                         QStringLiteral("--puesto"),
                         e.aux1,
                         QStringLiteral("--lotes"),
                         QStringLiteral("--minutes"),
                         QStringLiteral("600"),
                         QStringLiteral("--speed"),
                         QString::number(velocidad),
                         QStringLiteral("--poll"),
                         QStringLiteral("50"),
                         QStringLiteral("--seed"),
                         QString::number(s),
                         QStringLiteral("--stop-on-input"),
                         QStringLiteral("--web"),
                         QStringLiteral("0"),
                         QStringLiteral("--web-clave"),
                         e.clave,
                         QStringLiteral("--enlace"),
                         QString::number(e.puertoRele),
                         QStringLiteral("--bitacoras"),
                         e.bitacoras};
        if (e.pg)
            args << QStringLiteral("--postgres") << csPuestos;
        if (e.gemelo >= 0)
            args << QStringLiteral("--sincronia") << QString::number(sincronia);
        Estacion_* pe = &e;
        QObject::connect(e.proceso, &QProcess::readyReadStandardOutput, e.proceso,
                         [&, pe] { leeSalida(*pe); });
        e.proceso->start(soak, args);
        e.vivo = e.proceso->waitForStarted(10000);
        e.parada = false;
        e.desdeMs = ahora();
        ++arranques;
        if (!e.vivo)
            viola(ahora(), QStringLiteral("%1: tolvex-soak no arrancó").arg(e.nombre));
    };
    const auto arrancaTodo = [&](int i) {
        const qint64 sincronia = QDateTime::currentSecsSinceEpoch() + 3;
        const int gemelo = est[i]->gemelo;
        const int corrida = std::max(est[i]->corrida, gemelo >= 0 ? est[gemelo]->corrida : 0) + 1;
        arranca(i, sincronia, corrida);
        if (gemelo >= 0)
            arranca(gemelo, sincronia, corrida);
    };
    const auto mata = [&](int i) {
        Estacion_& e = *est[i];
        if (!e.proceso || !e.vivo)
            return;
        // One that already ended is as dead (its twin ends with it).
        if (e.proceso->state() != QProcess::NotRunning) {
            ::kill(pid_t(e.proceso->processId()), SIGKILL);
            e.proceso->waitForFinished(10000);
        }
        // What was already written to the pipe was queued before the kill.
        leeSalida(e);
        e.muertes.append({e.aux1, ahora()});
        e.vivo = false;
        e.web = 0;
        e.cookie.clear();
    };
    arrancaTodo(0);
    arrancaTodo(1);
    arrancaTodo(3);

    // The schedule: the same for a seed.
    QRandomGenerator azar(semilla);
    const qint64 duracion = qint64(minutos * 60000);
    QList<Evento> plan;
    const auto cuantos = [&](double porMinuto) {
        return std::max(1, int(std::lround(porMinuto * minutos)));
    };
    const auto momento = [&] {
        return 15000 + qint64(azar.bounded(quint32(std::max<qint64>(1, duracion - 30000))));
    };
    for (int k = 0; k < cuantos(0.8); ++k)
        plan.append({Evento::Muerte, momento(), int(azar.bounded(4)), int(500 + azar.bounded(2500)),
                     int(azar.bounded(1000))});
    for (int k = 0; k < cuantos(0.5); ++k)
        plan.append({Evento::CorteBase, momento(), 0, int(3000 + azar.bounded(12000)), 0});
    for (int k = 0; k < cuantos(1.5); ++k)
        plan.append({Evento::CorteTransaccion, momento(), 0, 0, int(azar.bounded(2))});
    for (int k = 0; k < cuantos(0.5); ++k)
        plan.append({Evento::LentaBase, momento(), 0, int(10000 + azar.bounded(20000)),
                     int(500 + azar.bounded(2500))});
    // Link faults of each station, one after another with room to recover.
    // The first comes within 15 s and the kinds take turns, the stations
    // starting at different ones: even a short run puts every kind on some
    // station, and each station through a fault, early enough to see what
    // follows.
    const int primeraFalla = int(azar.bounded(kFallas - 1));
    for (int i = 0; i < est.size(); ++i) {
        qint64 t = 5000 + azar.bounded(10000);
        for (int k = 0; t < duracion - 20000; ++k) {
            const int d = int(5000 + azar.bounded(15000));
            plan.append({Evento::Enlace, t, i, d, 1 + (primeraFalla + i + k) % (kFallas - 1)});
            t += d + 25000 + azar.bounded(20000);
        }
    }
    if (disco) {
        for (int k = 0; k < cuantos(0.3); ++k)
            plan.append({Evento::Disco, momento(), 3, int(10000 + azar.bounded(20000)), 0});
    }
    for (int k = 0; k < cuantos(1.0); ++k)
        plan.append(
            {Evento::Web, momento(), int(azar.bounded(4)), int(10000 + azar.bounded(10000)), 0});
    std::sort(plan.begin(), plan.end(),
              [](const Evento& a, const Evento& b) { return a.ms < b.ms; });

    struct Recuperacion
    {
        int estacion;
        qint64 finMs; // epoch ms the fault ended
    };
    QList<Recuperacion> recuperaciones;
    qint64 recuperacionesRevisadas = 0;
    Asedio::Cifras cifrasWeb;
    std::vector<std::unique_ptr<Asedio::Ataques>> ataques;
    QList<QTimer*> temporizadores;
    const auto despues = [&](int ms, std::function<void()> f) {
        auto* t = new QTimer;
        t->setSingleShot(true);
        QObject::connect(t, &QTimer::timeout, t, std::move(f));
        t->start(ms);
        temporizadores << t;
    };
    const QString lastre = QDir(S.dir).absoluteFilePath(QStringLiteral("lastre.bin"));
    bool fin = false;
    const auto ejecuta = [&](const Evento& ev) {
        switch (ev.tipo) {
        case Evento::Muerte: {
            Estacion_& e = *est[ev.estacion];
            if (!e.vivo || e.discoLleno || (e.gemelo >= 0 && !est[e.gemelo]->vivo))
                return;
            ++fallas[QStringLiteral("muertes")];
            mata(ev.estacion);
            if (e.gemelo >= 0) {
                // The twin a moment later: it writes on while the other is dead.
                QElapsedTimer g;
                g.start();
                while (g.elapsed() < ev.param)
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                mata(e.gemelo);
                ++fallas[QStringLiteral("muertes")];
            }
            const int i = e.gemelo >= 0 ? std::min(ev.estacion, e.gemelo) : ev.estacion;
            despues(ev.duracionMs, [&, i] {
                if (!fin)
                    arrancaTodo(i);
            });
            break;
        }
        case Evento::CorteBase:
            ++fallas[QStringLiteral("cortes_base")];
            QMetaObject::invokeMethod(relePg, [&] { relePg->corta(true); });
            despues(ev.duracionMs,
                    [&] { QMetaObject::invokeMethod(relePg, [&] { relePg->corta(false); }); });
            break;
        case Evento::CorteTransaccion:
            ++fallas[QStringLiteral("cortes_en_transaccion")];
            QMetaObject::invokeMethod(relePg, [&, gemelos = ev.param == 1] {
                relePg->cortaEnTransaccion(gemelos ? QByteArray("G-") : QByteArray("INSERT"));
            });
            break;
        case Evento::LentaBase: {
            ++fallas[QStringLiteral("base_lenta")];
            const int ms = ev.param;
            QMetaObject::invokeMethod(relePg, [&, ms] { relePg->lento(ms); });
            despues(ev.duracionMs,
                    [&] { QMetaObject::invokeMethod(relePg, [&] { relePg->lento(0); }); });
            break;
        }
        case Evento::Enlace: {
            Estacion_& e = *est[ev.estacion];
            const auto f = Falla(ev.param);
            ++fallas[QStringLiteral("enlace_") + QLatin1String(kNombreFalla[ev.param])];
            ReleEnlace* r = e.rele;
            QMetaObject::invokeMethod(r, [r, f] { r->falla(f); });
            const int i = ev.estacion;
            const int d = f == Falla::Desconecta ? 0 : ev.duracionMs;
            despues(d, [&, r, i] {
                QMetaObject::invokeMethod(r, [r] { r->falla(Falla::Ninguna); });
                recuperaciones.append({i, ahora()});
            });
            break;
        }
        case Evento::Disco: {
            if (S.discoLleno)
                return;
            ++fallas[QStringLiteral("disco_lleno")];
            S.discoLleno = true;
            QFile f(lastre);
            if (f.open(QIODevice::WriteOnly)) {
                const QByteArray mega(1 << 20, 'L'), kilo(4096, 'L');
                while (f.write(mega) == mega.size() && f.flush()) {
                }
                while (f.write(kilo) == kilo.size() && f.flush()) {
                }
            }
            despues(ev.duracionMs, [&] {
                QFile::remove(lastre);
                S.discoLleno = false;
            });
            break;
        }
        case Evento::Web: {
            Estacion_& e = *est[ev.estacion];
            if (!e.web)
                return;
            ++fallas[QStringLiteral("ataques_web")];
            auto a = std::make_unique<Asedio::Ataques>(e.web, e.cookie, cifrasWeb, 200, 10);
            Asedio::Ataques* pa = a.get();
            ataques.push_back(std::move(a));
            auto* t = new QTimer(pa->contexto());
            int paso = 0;
            QObject::connect(t, &QTimer::timeout, pa->contexto(), [pa, paso]() mutable {
                pa->goteo();
                if (paso % 2 == 0)
                    pa->avalancha();
                if (paso % 3 == 0) {
                    pa->grandes();
                    pa->trucos();
                    pa->descargas(pa->contexto(), Asedio::direccion(6));
                }
                ++paso;
            });
            t->start(1000);
            despues(ev.duracionMs, [&, pa] {
                for (auto& x : ataques)
                    if (x.get() == pa)
                        x.reset();
            });
            break;
        }
        }
    };

    // /api/estado of every live station, every second.
    qint64 consultasApi = 0;
    QTimer sondeo;
    QObject::connect(&sondeo, &QTimer::timeout, &sondeo, [&] {
        for (Estacion_* e : std::as_const(est)) {
            if (!e->web || e->cookie.isEmpty())
                continue;
            auto* s = new QTcpSocket(&sondeo);
            auto datos = std::make_shared<QByteArray>();
            const QByteArray pedido =
                "GET /api/estado HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + e->cookie +
                "\r\nConnection: close\r\n\r\n";
            QObject::connect(s, &QTcpSocket::connected, s, [s, pedido] { s->write(pedido); });
            QObject::connect(s, &QTcpSocket::readyRead, s, [s, datos] { *datos += s->readAll(); });
            QObject::connect(s, &QTcpSocket::disconnected, s, [&, s, datos, e] {
                if (s->isOpen())
                    *datos += s->readAll();
                s->deleteLater();
                const qsizetype cuerpo = datos->indexOf("\r\n\r\n");
                if (Asedio::estadoDe(*datos) != 200 || cuerpo < 0)
                    return;
                ++consultasApi;
                const QJsonObject o = QJsonDocument::fromJson(datos->mid(cuerpo + 4)).object();
                const QDateTime instante = QDateTime::fromString(
                    o.value(QStringLiteral("instante")).toString(), Qt::ISODateWithMs);
                if (!instante.isValid())
                    return;
                QByteArray l = "lectura " + QByteArray::number(instante.toMSecsSinceEpoch());
                for (const auto& [nombre, c] : kCamposApi) {
                    const QJsonValue v = o.value(QLatin1String(nombre));
                    l +=
                        ' ' + (v.isDouble() ? QByteArray::number(qint64(std::llround(v.toDouble())))
                                            : "x");
                }
                e->api.linea(l);
            });
            QObject::connect(s, &QTcpSocket::errorOccurred, s, [s] {
                if (s->state() == QAbstractSocket::UnconnectedState)
                    s->deleteLater();
            });
            QTimer::singleShot(5000, s, [s] { s->abort(); });
            s->connectToHost(QHostAddress::LocalHost, e->web);
        }
    });
    sondeo.start(1000);

    // The run.
    qsizetype siguiente = 0;
    while (reloj.elapsed() < duracion) {
        while (siguiente < plan.size() && plan[siguiente].ms <= reloj.elapsed())
            ejecuta(plan[siguiente++]);
        // A station that ended on its own is a fault of its own: noted and started again.
        for (int i = 0; i < est.size(); ++i) {
            Estacion_& e = *est[i];
            if (e.vivo && e.proceso->state() == QProcess::NotRunning) {
                // A run that could not prepare its directory (the database
                // cut) or see its indicator (the link silent) in its first
                // seconds did not start: tried again a little later.
                const bool noArranco = e.proceso->exitStatus() == QProcess::NormalExit &&
                                       e.proceso->exitCode() != 0 && ahora() - e.desdeMs < 30000;
                if (noArranco)
                    ++arranquesFallidos;
                else
                    viola(ahora(),
                          QStringLiteral("%1: tolvex-soak terminó solo (%2 %3) en la corrida %4")
                              .arg(e.nombre)
                              .arg(e.proceso->exitStatus() == QProcess::CrashExit
                                       ? QStringLiteral("señal")
                                       : QStringLiteral("código"))
                              .arg(e.proceso->exitCode())
                              .arg(e.aux1));
                e.muertes.append({e.aux1, ahora()});
                e.vivo = false;
                if (e.gemelo >= 0)
                    mata(e.gemelo);
                const int j = e.gemelo >= 0 ? std::min(i, e.gemelo) : i;
                despues(3000, [&, j] {
                    if (!fin)
                        arrancaTodo(j);
                });
            }
        }
        // No fault here is longer than 30 s: a station alive for a minute
        // that has shown no good reading for a minute has stopped reading.
        for (Estacion_* e : std::as_const(est)) {
            const qint64 t = ahora();
            if (e->vivo && !e->parada && t - e->desdeMs > 60000 &&
                t - std::max(ultimaLectura(*e), e->desdeMs) > 60000) {
                e->parada = true;
                viola(std::max(e->lecturasVistas, e->desdeMs) + 60000,
                      QStringLiteral("%1: un minuto sin lecturas válidas en la corrida %2")
                          .arg(e->nombre, e->aux1));
            }
        }
        // Back to reading after a link fault, unless killed meanwhile.
        for (qsizetype k = 0; k < recuperaciones.size();) {
            const Recuperacion r = recuperaciones[k];
            Estacion_& e = *est[r.estacion];
            if (!e.vivo || e.desdeMs > r.finMs || ultimaLectura(e) > r.finMs) {
                ++recuperacionesRevisadas;
                recuperaciones.removeAt(k);
                continue;
            }
            if (ahora() > r.finMs + 45000) {
                ++recuperacionesRevisadas;
                viola(r.finMs + 45000,
                      QStringLiteral("%1: sin lecturas válidas 45 s después de la falla de enlace")
                          .arg(e.nombre));
                recuperaciones.removeAt(k);
                continue;
            }
            ++k;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }

    // The end: the faults stop, dead stations start again, and every run
    // ends cleanly (it writes what it has queued).
    fin = true;
    const qint64 finFallas = ahora();
    ataques.clear();
    enRed([&] {
        relePg->corta(false);
        relePg->lento(0);
        for (Estacion_* e : std::as_const(est))
            e->rele->falla(Falla::Ninguna);
    });
    QFile::remove(lastre);
    S.discoLleno = false;
    if (!est[0]->vivo)
        arrancaTodo(0);
    if (!est[1]->vivo || !est[2]->vivo) {
        mata(1);
        mata(2);
        arrancaTodo(1);
    }
    if (!est[3]->vivo)
        arrancaTodo(3);
    // Each reads again before it is told to end.
    QElapsedTimer espera;
    espera.start();
    while (espera.elapsed() < 60000) {
        bool todas = true;
        for (Estacion_* e : std::as_const(est))
            todas = todas && ultimaLectura(*e) > std::max(finFallas, e->desdeMs);
        if (todas)
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    for (Estacion_* e : std::as_const(est)) {
        if (ultimaLectura(*e) <= std::max(finFallas, e->desdeMs))
            viola(ahora(), QStringLiteral("%1: sin lecturas válidas tras el fin de las fallas")
                               .arg(e->nombre));
        e->proceso->write("fin\n");
        e->proceso->closeWriteChannel();
    }
    espera.restart();
    while (espera.elapsed() < 300000) {
        bool todas = true;
        for (Estacion_* e : std::as_const(est))
            todas = todas && e->proceso->state() == QProcess::NotRunning;
        if (todas)
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    sondeo.stop();
    for (int i = 0; i < est.size(); ++i) {
        Estacion_& e = *est[i];
        if (e.proceso->state() != QProcess::NotRunning) {
            viola(ahora(),
                  QStringLiteral("%1: no terminó en 5 minutos tras pedírselo").arg(e.nombre));
            mata(i);
        }
        leeSalida(e);
    }
    qDeleteAll(temporizadores);

    // A clean start of each directory writes what is left queued.
    for (Estacion_* e : std::as_const(est)) {
        if (!Revision::arranqueLimpio(e->dir))
            viola(ahora(), QStringLiteral("%1: la cola no se vació al iniciar").arg(e->nombre));
    }

    // ---- the checks ----
    qint64 invariantes = 0, lotes = 0, sinVer = 0, filasTotal = 0, lecturasRevisadas = 0,
           apiRevisadas = 0;
    qint64 muertes = 0;
    for (const QList<int>& grupo : {QList<int>{0, 1, 2}, QList<int>{3}}) {
        QList<Revision::PuestoBase> ps;
        qint64 muertesGrupo = 0;
        for (int i : grupo) {
            // Every last run was ended with a close.
            ps.append({est[i]->dir, est[i]->identidad, true});
            muertesGrupo += est[i]->muertes.size();
        }
        muertes += muertesGrupo;
        const Revision::Base b = Revision::revisaBase(ps);
        const QString nombreBase =
            grupo.size() > 1 ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite");
        invariantes += 8;
        filasTotal += b.filas;
        if (!b.bien() || b.fueraDelDiario > muertesGrupo) {
            QStringList d = b.detalle;
            if (b.fueraDelDiario > muertesGrupo)
                d << QStringLiteral("%1 filas sin su entrada del diario con %2 muertes")
                         .arg(b.fueraDelDiario)
                         .arg(muertesGrupo);
            viola(ahora(),
                  nombreBase + QStringLiteral(": ") + d.mid(0, 8).join(QStringLiteral("; ")));
        }
        if (nombreBase == u"SQLite") {
            const QString integ =
                Revision::integridad(QDir(S.dir).absoluteFilePath(QStringLiteral("data.db")));
            ++invariantes;
            if (integ != u"ok")
                viola(ahora(), QStringLiteral("SQLite: integrity_check ") + integ);
        }
        for (int i : grupo) {
            Estacion_& e = *est[i];
            const QSet<Revision::Lote> propios = b.lotesDe.value(e.identidad);
            const auto pesos = b.pesoDe.value(e.identidad);
            // The simulator's own record of its batches.
            QFile f(QDir(e.bitacoras).absoluteFilePath(QStringLiteral("Simulador.log")));
            f.open(QIODevice::ReadOnly);
            QSet<Revision::Lote> delSim;
            QHash<QString, Revision::Lote> ultimoDe; // run -> its last batch
            struct L
            {
                qint64 ms;
                Revision::Lote lote;
                qint64 peso;
            };
            QList<L> hechos;
            while (!f.atEnd()) {
                const QList<QByteArray> c = f.readLine().trimmed().split(' ');
                if (c.size() != 4)
                    continue;
                const L l{c[0].toLongLong(),
                          {QString::fromUtf8(c[1]), c[2].toLongLong()},
                          c[3].toLongLong()};
                hechos.append(l);
                delSim.insert(l.lote);
                ultimoDe.insert(l.lote.first, l.lote);
            }
            QSet<QString> muertas;
            for (const Muerte& m : std::as_const(e.muertes))
                muertas.insert(m.aux1);
            for (const L& l : std::as_const(hechos)) {
                ++lotes;
                ++invariantes;
                if (propios.contains(l.lote)) {
                    if (std::llround(pesos.value(l.lote)) != l.peso)
                        viola(l.ms,
                              QStringLiteral(
                                  "%1: lote %2 total %3: el simulador pesó %4 y la fila dice %5")
                                  .arg(e.nombre, l.lote.first)
                                  .arg(l.lote.second)
                                  .arg(l.peso)
                                  .arg(pesos.value(l.lote)));
                    continue;
                }
                if (muertas.contains(l.lote.first) && ultimoDe.value(l.lote.first) == l.lote &&
                    !e.encolados.contains(l.lote)) {
                    ++sinVer;
                    continue;
                }
                QStringList otros;
                for (Estacion_* x : std::as_const(est))
                    if (x != &e && b.lotesDe.value(x->identidad).contains(l.lote))
                        otros << x->nombre;
                viola(l.ms,
                      QStringLiteral("%1: lote %2 total %3 sin fila propia%4%5")
                          .arg(e.nombre, l.lote.first)
                          .arg(l.lote.second)
                          .arg(e.encolados.contains(l.lote) ? QStringLiteral(" (estaba encolado)")
                                                            : QString())
                          .arg(otros.isEmpty() ? QString()
                                               : QStringLiteral(", tomado por la fila de ") +
                                                     otros.join(u',')));
            }
            for (const Revision::Lote& l : propios) {
                ++invariantes;
                if (!delSim.contains(l))
                    viola(ahora(), QStringLiteral(
                                       "%1: fila %2 total %3 que ningún lote del simulador explica")
                                       .arg(e.nombre, l.first)
                                       .arg(l.second));
            }
            // What the window and the API showed as good.
            QList<Campo> camposVentana(std::begin(kCamposVentana), std::end(kCamposVentana));
            QList<Lectura> lecturas;
            {
                QFile lf(QDir(e.bitacoras).absoluteFilePath(QStringLiteral("Lecturas.log")));
                lf.open(QIODevice::ReadOnly);
                while (!lf.atEnd()) {
                    const QList<QByteArray> c = lf.readLine().trimmed().split(' ');
                    if (c.size() != 1 + camposVentana.size())
                        continue;
                    Lectura l{c[0].toLongLong(), {}, false};
                    for (qsizetype k = 1; k < c.size(); ++k)
                        l.valores.append(c[k].toLongLong());
                    lecturas.append(l);
                }
                QFile af(en(QStringLiteral("api-%1.log").arg(e.nombre)));
                af.open(QIODevice::ReadOnly);
                while (!af.atEnd()) {
                    const QList<QByteArray> c = af.readLine().trimmed().split(' ');
                    if (c.size() != 3 + int(std::size(kCamposApi)) || c.contains("x"))
                        continue;
                    Lectura l{c[2].toLongLong(), {}, true};
                    for (qsizetype k = 3; k < c.size(); ++k)
                        l.valores.append(c[k].toLongLong());
                    lecturas.append(l);
                }
            }
            std::stable_sort(lecturas.begin(), lecturas.end(),
                             [](const Lectura& a, const Lectura& b) { return a.ms < b.ms; });
            QList<Campo> camposApi;
            for (const auto& [n, c] : kCamposApi)
                camposApi.append(c);
            Ventana v(en(QStringLiteral("enlace-%1.log").arg(e.nombre)));
            int malas = 0;
            for (const Lectura& l : std::as_const(lecturas)) {
                const QString mal = v.revisa(l, l.api ? camposApi : camposVentana);
                (l.api ? apiRevisadas : lecturasRevisadas) += 1;
                invariantes += l.api ? camposApi.size() : camposVentana.size();
                if (!mal.isEmpty() && ++malas <= 5)
                    viola(l.ms,
                          QStringLiteral("%1: %2 mostró %3, que el simulador no tenía")
                              .arg(e.nombre,
                                   l.api ? QStringLiteral("la API") : QStringLiteral("la ventana"),
                                   mal));
            }
        }
    }
    invariantes += recuperacionesRevisadas;

    if (disco) {
        if (p.isSet(QStringLiteral("dir")))
            QProcess::execute(QStringLiteral("cp"),
                              {QStringLiteral("-a"), S.dir, S.dir + QStringLiteral("-final")});
        ::umount2(QFile::encodeName(S.dir).constData(), MNT_DETACH);
    }
    qint64 enlace = 0, ignoradas = 0, cortadas = 0, rechazadas = 0, demoradas = 0,
           enTransaccion = 0;
    enRed([&] {
        for (Estacion_* e : std::as_const(est)) {
            ignoradas += e->rele->ignoradas;
            for (int k = 1; k < kFallas; ++k)
                enlace += e->rele->tocadas[k];
        }
        cortadas = relePg->cortadas;
        rechazadas = relePg->rechazadas;
        demoradas = relePg->demoradas;
        enTransaccion = relePg->enTransaccion;
    });

    QStringList porTipo;
    for (auto it = fallas.cbegin(); it != fallas.cend(); ++it)
        porTipo << it.key() + u' ' + QString::number(it.value());
    out() << QStringLiteral(
                 "caos semilla %1 minutos %2: lotes %3 filas %4 sin_ver_al_morir %5 muertes %6 "
                 "arranques %7 "
                 "fallas {%8} tramas_tocadas %9 lecturas_de_un_registro_ignoradas %10 "
                 "conexiones_pg_cortadas %11 "
                 "rechazadas %12 demoradas %13 cortadas_en_transaccion %25 arranques_fallidos %26 "
                 "ataques_web {abiertas "
                 "%14 431 %15 413 %16 "
                 "lentas_cerradas %17 "
                 "trucos_rechazados %18 descargas %19} lecturas_revisadas %20 api_revisadas %21 "
                 "recuperaciones %22 invariantes_revisados %23 violaciones %24")
                 .arg(semilla)
                 .arg(minutos)
                 .arg(lotes)
                 .arg(filasTotal)
                 .arg(sinVer)
                 .arg(muertes)
                 .arg(arranques)
                 .arg(porTipo.join(QStringLiteral(", ")))
                 .arg(enlace)
                 .arg(ignoradas)
                 .arg(cortadas)
                 .arg(rechazadas)
                 .arg(demoradas)
                 .arg(cifrasWeb.intentos)
                 .arg(cifrasWeb.cabecera431)
                 .arg(cifrasWeb.cuerpo413)
                 .arg(cifrasWeb.lentasCerradas)
                 .arg(cifrasWeb.trucosRechazados)
                 .arg(cifrasWeb.descargas200)
                 .arg(lecturasRevisadas)
                 .arg(apiRevisadas)
                 .arg(recuperacionesRevisadas)
                 .arg(invariantes)
                 .arg(violaciones.size())
                 .arg(enTransaccion)
                 .arg(arranquesFallidos)
          << Qt::endl;
    // Nothing may lose a batch: the ones a kill left unseen are one per kill at most.
    if (sinVer > muertes)
        viola(ahora(), QStringLiteral("%1 lotes sin ver con %2 muertes").arg(sinVer).arg(muertes));
    if (lotes == 0)
        viola(ahora(), QStringLiteral("ningún simulador completó un lote"));
    if (cifrasWeb.grandesAceptadas > 0 || cifrasWeb.trucosFiltraron > 0)
        viola(ahora(),
              QStringLiteral(
                  "el monitor aceptó %1 pedidos enormes y dejó pasar %2 WebSockets sin sesión")
                  .arg(cifrasWeb.grandesAceptadas)
                  .arg(cifrasWeb.trucosFiltraron));
    enRed([&] {
        delete relePg;
        for (Estacion_* e : std::as_const(est))
            delete e->rele;
    });
    red.quit();
    red.wait();
    for (Estacion_* e : std::as_const(est)) {
        delete e->proceso;
        delete e;
    }
    if (violaciones.isEmpty())
        return 0;
    std::sort(violaciones.begin(), violaciones.end(),
              [](const Violacion& a, const Violacion& b) { return a.ms < b.ms; });
    out() << "semilla " << semilla << ": " << violaciones.size() << " violaciones" << Qt::endl;
    for (const Violacion& v : std::as_const(violaciones).mid(0, 30))
        out()
            << QStringLiteral("  a los %1 s: %2").arg(double(v.ms) / 1000.0, 0, 'f', 1).arg(v.texto)
            << Qt::endl;
    return 1;
}

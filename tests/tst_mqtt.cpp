// The MQTT node: its payloads, settings and outbox in process, and the node
// program (tolvex-mqtt-nodo) against Debian's mosquitto on loopback, watched
// by an independent Sparkplug host in Python (tests/mqtt_suscriptor.py).
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <csignal>
#include <thread>

#include "BuzonLotes.h"
#include "Config.h"
#include "ConfigMqtt.h"
#include "Puesto.h"
#include "Registrador.h"
#include "Sparkplug.h"
#include "TestSupport.h"

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");

QString binario(const char* nombre)
{
    return qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/") + QLatin1String(nombre);
}

QString mosquitto()
{
    const QString en = QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin")});
    return en.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("mosquitto")) : en;
}

quint16 puertoLibre()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

bool acepta(quint16 puerto)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, puerto);
    return s.waitForConnected(200);
}

// Lines of the error log of dir that contain texto (Windows-1252).
int enLog(const QString& dir, const QString& texto)
{
    return int(leeArchivo(dir + QStringLiteral("/Datos.log")).count(texto.toLatin1()));
}

// Debian's mosquitto on a port of its own, its sessions kept in its directory.
class Broker
{
public:
    explicit Broker(const QString& dir, bool anonimos = true)
        : m_dir(dir), m_anonimos(anonimos), m_puerto(puertoLibre())
    {
    }
    ~Broker() { para(); }
    bool inicia(quint16 puerto = 0)
    {
        if (puerto)
            m_puerto = puerto;
        const QString conf = m_dir + QStringLiteral("/mosquitto.conf");
        escribeArchivo(conf, QStringLiteral("listener %1 127.0.0.1\npersistence true\npersistence_location %2/\n"
                                            "allow_anonymous %3\n")
                                 .arg(m_puerto)
                                 .arg(m_dir, m_anonimos ? QStringLiteral("true") : QStringLiteral("false"))
                                 .toUtf8());
        m_p.setProcessChannelMode(QProcess::MergedChannels);
        m_p.setStandardOutputFile(m_dir + QStringLiteral("/mosquitto.log"), QIODevice::Append);
        m_p.start(mosquitto(), {QStringLiteral("-c"), conf});
        if (!m_p.waitForStarted())
            return false;
        QElapsedTimer t;
        t.start();
        while (!acepta(m_puerto) && t.elapsed() < kEspera)
            QTest::qWait(50);
        return acepta(m_puerto);
    }
    // SIGTERM: mosquitto saves its sessions and their queued messages.
    void para()
    {
        if (m_p.state() == QProcess::NotRunning)
            return;
        m_p.terminate();
        if (!m_p.waitForFinished(kEspera))
            m_p.kill();
        m_p.waitForFinished();
    }
    quint16 puerto() const { return m_puerto; }

private:
    QString m_dir;
    bool m_anonimos;
    quint16 m_puerto = 0;
    QProcess m_p;
};

// The Python host: every message it saw, decoded, and every breach it found.
class Suscriptor
{
public:
    ~Suscriptor() { termina(); }
    bool inicia(quint16 puerto, const QString& grupo, const QString& cliente = {})
    {
        QStringList args{QStringLiteral(TOLVEX_TESTS_DIR "/mqtt_suscriptor.py"), QStringLiteral("escucha"),
                         QString::number(puerto), grupo, QStringLiteral(TOLVEX_MQTT_PB_DIR)};
        if (!cliente.isEmpty())
            args << cliente;
        QObject::connect(&m_p, &QProcess::readyReadStandardOutput, &m_p, [this] {
            m_resto += m_p.readAllStandardOutput();
            for (qsizetype fin; (fin = m_resto.indexOf('\n')) >= 0; m_resto.remove(0, fin + 1)) {
                const QJsonObject o = QJsonDocument::fromJson(m_resto.left(fin)).object();
                if (o.contains(u"fallo"))
                    m_fallos << o.value(u"fallo").toString();
                else
                    m_mensajes << o;
            }
        });
        m_p.start(kPython, args);
        QElapsedTimer t;
        t.start();
        while (cuenta(u"suscrito") == 0 && m_p.state() != QProcess::NotRunning && t.elapsed() < kEspera)
            QTest::qWait(20);
        return cuenta(u"suscrito") > 0;
    }
    void termina()
    {
        if (m_p.state() == QProcess::NotRunning)
            return;
        m_p.closeWriteChannel();
        if (!m_p.waitForFinished(5000))
            m_p.kill();
        m_p.waitForFinished();
    }
    int cuenta(QStringView tipo, const QString& disp = {}) const
    {
        return int(std::count_if(m_mensajes.cbegin(), m_mensajes.cend(), [&](const QJsonObject& o) {
            return o.value(u"tipo").toString() == tipo && (disp.isEmpty() || o.value(u"disp").toString() == disp);
        }));
    }
    // The last message of the type (and device).
    QJsonObject ultimo(QStringView tipo, const QString& disp = {}) const
    {
        for (auto i = m_mensajes.crbegin(); i != m_mensajes.crend(); ++i)
            if (i->value(u"tipo").toString() == tipo && (disp.isEmpty() || i->value(u"disp").toString() == disp))
                return *i;
        return {};
    }
    QStringList fallos() const { return m_fallos; }
    const QVector<QJsonObject>& mensajes() const { return m_mensajes; }
    // The identities of the batches, in the order they came (repeats kept).
    QStringList lotes() const
    {
        QStringList r;
        for (const QJsonObject& o : m_mensajes)
            if (o.value(u"tipo").toString() == u"lote")
                r << o.value(u"lote").toObject().value(u"IDLOTE").toString();
        return r;
    }

private:
    QProcess m_p;
    QByteArray m_resto;
    QVector<QJsonObject> m_mensajes;
    QStringList m_fallos;
};

void manda(quint16 puerto, const QByteArray& tema, const char* que)
{
    const SalidaProceso s =
        correProceso(kPython, {QStringLiteral(TOLVEX_TESTS_DIR "/mqtt_suscriptor.py"), QStringLiteral("manda"),
                               QString::number(puerto), QString::fromUtf8(tema), QLatin1String(que),
                               QStringLiteral(TOLVEX_MQTT_PB_DIR)});
    QVERIFY2(s.code == 0, qPrintable(s.err));
}

// The node program on a directory of its own.
class Nodo
{
public:
    ~Nodo() { mata(); }
    Nodo()
    {
        QObject::connect(&m_p, &QProcess::readyReadStandardOutput, &m_p,
                         [this] { m_salida += m_p.readAllStandardOutput(); });
    }
    bool inicia(const QString& dir, quint16 puerto, const QStringList& extra = {})
    {
        m_salida.clear();
        m_p.start(binario("tolvex-mqtt-nodo"), QStringList{QStringLiteral("--dir"), dir, QStringLiteral("--broker"),
                                                           QStringLiteral("127.0.0.1:%1").arg(puerto),
                                                           QStringLiteral("--nodo"), QStringLiteral("N1")} +
                                                   extra);
        return m_p.waitForStarted();
    }
    bool listo()
    {
        QElapsedTimer t;
        t.start();
        while (!m_salida.contains("listo\n") && m_p.state() != QProcess::NotRunning && t.elapsed() < kEspera)
            QTest::qWait(20);
        if (!m_salida.contains("listo\n"))
            qWarning("%s", m_p.readAllStandardError().constData());
        return m_salida.contains("listo\n");
    }
    void dice(const QByteArray& orden) { m_p.write(orden + '\n'); }
    // "fin": a clean exit.
    void termina()
    {
        dice("fin");
        QVERIFY(m_p.waitForFinished(kEspera));
        QCOMPARE(m_p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_p.exitCode(), 0);
    }
    void mata()
    {
        if (m_p.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_p.processId()), SIGKILL);
        m_p.waitForFinished();
    }
    QByteArray salida() const { return m_salida; }

private:
    QProcess m_p;
    QByteArray m_salida;
};

// A relay between the node and the broker that, held, swallows what the
// node sends: a broker that took the connection and went mute.
class Rele : public QObject
{
public:
    explicit Rele(quint16 broker) : m_broker(broker)
    {
        m_servidor.listen(QHostAddress::LocalHost, 0);
        connect(&m_servidor, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* c = m_servidor.nextPendingConnection()) {
                auto* s = new QTcpSocket(c);
                s->connectToHost(QHostAddress::LocalHost, m_broker);
                connect(c, &QTcpSocket::readyRead, c, [this, c, s] {
                    const QByteArray datos = c->readAll();
                    if (!m_mudo)
                        s->write(datos);
                });
                connect(s, &QTcpSocket::readyRead, c, [this, c, s] {
                    const QByteArray datos = s->readAll();
                    if (!m_mudo)
                        c->write(datos);
                });
                connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
                connect(s, &QTcpSocket::disconnected, c, [c] { c->disconnectFromHost(); });
            }
        });
    }
    quint16 puerto() const { return m_servidor.serverPort(); }
    void setMudo(bool m) { m_mudo = m; }

private:
    quint16 m_broker;
    QTcpServer m_servidor;
    bool m_mudo = false;
};

QJsonObject metrica(const QJsonObject& mensaje, const QString& nombre)
{
    for (const QJsonValue v : mensaje.value(u"metricas").toArray())
        if (v.toObject().value(u"nombre").toString() == nombre)
            return v.toObject();
    return {};
}

qint64 bdSeq(const QJsonObject& m)
{
    return metrica(m, QStringLiteral("bdSeq")).value(u"valor").toInteger(-1);
}

QSet<QString> filasDe(const QString& dir)
{
    QSet<QString> r;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("filas"));
        db.setDatabaseName(dir + QStringLiteral("/data.db"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open()) {
            QSqlQuery q(QStringLiteral("SELECT IDLOTE FROM Reporte WHERE IDLOTE IS NOT NULL AND IDLOTE <> ''"), db);
            while (q.next())
                r.insert(q.value(0).toString());
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("filas"));
    return r;
}

// A broker, a host watching it and a node on a directory of its own.
struct Escena
{
    QTemporaryDir t;
    Broker broker{t.path()};
    Suscriptor host;
    Nodo nodo;
    const QString dir = t.path() + QStringLiteral("/nodo");

    // The node reaches the broker at puerto (0: directly); cliente: the
    // host's kept session.
    bool inicia(const QStringList& extra = {}, const QString& cliente = {}, quint16 puerto = 0)
    {
        return broker.inicia() && host.inicia(broker.puerto(), QStringLiteral("Planta"), cliente) &&
               nodo.inicia(dir, puerto ? puerto : broker.puerto(), extra) && nodo.listo();
    }
    // With the node ended: every row of its database reached the host (the
    // host waited for, the repeats counted), and what the outbox still holds
    // (a row found again after a kill, queued once more) the host has.
    bool lotesSonFilas()
    {
        const QSet<QString> filas = filasDe(dir);
        QElapsedTimer reloj;
        reloj.start();
        QSet<QString> vistos;
        do {
            const QStringList l = host.lotes();
            vistos = QSet<QString>(l.cbegin(), l.cend());
            if (vistos == filas)
                break;
            QTest::qWait(50);
        } while (reloj.elapsed() < kEspera);
        BuzonLotes buzon(dir + QLatin1Char('/') + BuzonLotes::kArchivo);
        bool quedan = !buzon.carga();
        for (BuzonLotes::Entrada e; buzon.primero(&e); buzon.quita(e.idLote))
            quedan = quedan || !vistos.contains(e.idLote);
        qInfo("%lld filas, %lld mensajes de lote, %lld filas sin lote, %lld lotes sin fila%s", qlonglong(filas.size()),
              qlonglong(host.lotes().size()), qlonglong((filas - vistos).size()), qlonglong((vistos - filas).size()),
              quedan ? ", el buzón guarda uno que no llegó" : "");
        return vistos == filas && !filas.isEmpty() && !quedan;
    }
};

Pendiente lote(int n)
{
    Pendiente p;
    p.idLote = ColaPendientes::nuevaIdentidad();
    p.ticket = 100 + n;
    p.peso = 12.5 * n;
    p.total = 1000 + n;
    p.aux = {QStringLiteral("Cliente \"A\""), QStringLiteral("Ñandú")};
    p.operador = QStringLiteral("ANA");
    p.fecha = QDate(2026, 12, 9);
    p.hora = QTime(6, 30, 5);
    return p;
}

} // namespace

class TestMqtt : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (mosquitto().isEmpty())
            QSKIP("mosquitto no está instalado");
    }

    // What a line's state becomes on the wire, and what comes back from it.
    void cargas()
    {
        EstadoEstacion e;
        e.abierta = e.conectado = true;
        e.instante = QDateTime::fromMSecsSinceEpoch(1'700'000'000'123);
        e.Peso = 1234.5;
        e.CCiclos = 4'000'000'000u;
        e.CError = -3;
        e.textoModo = QStringLiteral("PESAJE");
        const QVector<Sparkplug::Metrica> todas = Sparkplug::metricas(2, e);
        QSet<quint64> aliases;
        for (const Sparkplug::Metrica& m : todas) {
            QVERIFY(!m.nombre.isEmpty());
            aliases.insert(m.alias);
        }
        QCOMPARE(aliases.size(), todas.size());
        // Another line's aliases are others.
        for (const Sparkplug::Metrica& m : Sparkplug::metricas(3, e))
            QVERIFY(!aliases.contains(m.alias));

        EstadoEstacion f = e;
        f.Peso = 1300;
        const QVector<Sparkplug::Metrica> c = Sparkplug::cambios(todas, Sparkplug::metricas(2, f));
        QCOMPARE(c.size(), 1);
        QVERIFY(c.first().nombre.isEmpty());
        QCOMPARE(c.first().alias, todas.first().alias);
        QVERIFY(Sparkplug::cambios(todas, Sparkplug::metricas(2, e)).isEmpty());

        Sparkplug::Mensaje m{1'800'000'000'000, 255, todas};
        Sparkplug::Mensaje leido;
        QVERIFY(Sparkplug::decodifica(Sparkplug::codifica(m), &leido));
        QCOMPARE(leido.seq, 255);
        QCOMPARE(leido.ms, m.ms);
        QCOMPARE(leido.metricas, todas);

        QString error;
        QVERIFY(!Sparkplug::decodifica(QByteArray("\xff\xff\xff\xff\x0f garbage", 14), &leido, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!Sparkplug::decodifica(QByteArray(Sparkplug::kMaxEntrante + 1, '\0'), &leido, &error));
        QVERIFY(Sparkplug::decodifica({}, &leido)); // an empty payload is a payload without metrics
        QVERIFY(leido.metricas.isEmpty());

        using Sparkplug::Metrica;
        auto pide = [](Metrica x) { return Sparkplug::pideRebirth({0, -1, {x}}); };
        QVERIFY(pide(Metrica{Sparkplug::kRebirth, 0, Sparkplug::Boolean, false, true}));
        QVERIFY(pide(Metrica{{}, Sparkplug::kAliasRebirth, Sparkplug::Boolean, true, true}));
        QVERIFY(!pide(Metrica{Sparkplug::kRebirth, 0, Sparkplug::Boolean, false, false}));
        QVERIFY(!pide(Metrica{Sparkplug::kRebirth, 0, Sparkplug::String, false, QStringLiteral("true")}));
        QVERIFY(!pide(Metrica{{}, 99, Sparkplug::Boolean, true, true}));

        QCOMPARE(Sparkplug::lineaDe(QStringLiteral("Linea12")), 12);
        QCOMPARE(Sparkplug::lineaDe(QStringLiteral("Linea012")), 0);
        QCOMPARE(Sparkplug::lineaDe(QStringLiteral("Otra1")), 0);
    }

    // [MQTT] as it is read, refused and written.
    void configuracion()
    {
        DirectorioDePrueba d;
        QVERIFY(!ConfigMqtt::desde({}, QStringLiteral("1883"), {}, {}, {}, {}, {}, QStringLiteral("P")).activo);
        ConfigMqtt c = ConfigMqtt::desde(QStringLiteral("broker.planta"), {}, {}, {}, {}, {}, {}, QStringLiteral("P1"));
        QVERIFY(c.activo && c.error.isEmpty());
        QCOMPARE(c.puerto, quint16(1883));
        QCOMPARE(c.grupo, QStringLiteral("Tolvex"));
        QCOMPARE(c.nodo, QStringLiteral("P1"));
        for (const auto& [puerto, ca, grupo, nodo] :
             {std::tuple{"0", "", "", ""}, std::tuple{"70000", "", "", ""}, std::tuple{"x", "", "", ""},
              std::tuple{"", "falta.pem", "", ""}, std::tuple{"", "", "a/b", ""}, std::tuple{"", "", "#", ""},
              std::tuple{"", "", "", "n+1"}}) {
            c = ConfigMqtt::desde(QStringLiteral("h"), QLatin1String(puerto), QLatin1String(ca), {}, {},
                                  QLatin1String(grupo), QLatin1String(nodo), QStringLiteral("P"));
            QVERIFY2(c.activo && c.error.startsWith(u"MQTT: "), puerto);
        }
        QVERIFY(escribeArchivo(d.file(QStringLiteral("ca.pem")), "x"));
        c = ConfigMqtt::desde(QStringLiteral("h"), {}, QStringLiteral("ca.pem"), {}, {}, {}, {}, QStringLiteral("P"));
        QVERIFY(c.error.isEmpty() && c.tls());
        QCOMPARE(c.puerto, quint16(8883));
        QCOMPARE(c.ca, d.file(QStringLiteral("ca.pem")));

        // Written and read back: the password never as typed in the file.
        const QString clave = QStringLiteral("Sécreto;=\"x");
        c = ConfigMqtt::desde(QStringLiteral("10.0.0.5"), QStringLiteral("1884"), {}, QStringLiteral("tolvex"), clave,
                              QStringLiteral("Planta Norte"), {}, QStringLiteral("P"));
        QVERIFY(c.error.isEmpty());
        QString error;
        QVERIFY2(c.guarda(&error), qPrintable(error));
        QVERIFY(!leeArchivo(Config::rutaArchivo()).contains(clave.toLatin1()));
        QVERIFY(Puesto::nombra(d.path(), QStringLiteral("Balanza 3"), &error));
        ConfigMqtt l = ConfigMqtt::lee(d.path());
        QVERIFY2(l.error.isEmpty(), qPrintable(l.error));
        QCOMPARE(l.host, QStringLiteral("10.0.0.5"));
        QCOMPARE(l.puerto, quint16(1884));
        QCOMPARE(l.usuario, QStringLiteral("tolvex"));
        QCOMPARE(l.clave, clave);
        QCOMPARE(l.grupo, QStringLiteral("Planta Norte"));
        // No node written: the workstation's name.
        QCOMPARE(l.nodo, QStringLiteral("Balanza 3"));
        // An empty host turns it off.
        c.host.clear();
        QVERIFY(c.guarda(&error));
        QVERIFY(!ConfigMqtt::lee(d.path()).activo);
    }

    // tolvex-setup --mqtt: [MQTT] written with the directory, the password
    // scrambled; bad values refused before anything is written.
    void instalacion()
    {
        QTemporaryDir t;
        const QString dir = t.path() + QStringLiteral("/p");
        SalidaProceso s = correProceso(binario("tolvex-setup"),
                                       {dir, QStringLiteral("--mqtt"), QStringLiteral("broker.planta:1884"),
                                        QStringLiteral("--mqtt-usuario"), QStringLiteral("tolvex"),
                                        QStringLiteral("--mqtt-clave"), QStringLiteral("Clave-MQTT-9"),
                                        QStringLiteral("--mqtt-grupo"), QStringLiteral("Norte"),
                                        QStringLiteral("--puesto-nombre"), QStringLiteral("Balanza 7")});
        QVERIFY2(s.code == 0, qPrintable(s.err));
        QVERIFY(!leeArchivo(dir + QStringLiteral("/Tolvex.ini")).contains("Clave-MQTT-9"));
        {
            const QString antes = QDir::currentPath();
            QDir::setCurrent(dir);
            const ConfigMqtt c = ConfigMqtt::lee(dir);
            QDir::setCurrent(antes);
            QVERIFY2(c.activo && c.error.isEmpty(), qPrintable(c.error));
            QCOMPARE(c.host, QStringLiteral("broker.planta"));
            QCOMPARE(c.puerto, quint16(1884));
            QCOMPARE(c.usuario, QStringLiteral("tolvex"));
            QCOMPARE(c.clave, QStringLiteral("Clave-MQTT-9"));
            QCOMPARE(c.grupo, QStringLiteral("Norte"));
            QCOMPARE(c.nodo, QStringLiteral("Balanza 7"));
        }
        const QString otro = t.path() + QStringLiteral("/q");
        for (const QStringList& malos : {QStringList{QStringLiteral("--mqtt"), QStringLiteral("h:0")},
                                         QStringList{QStringLiteral("--mqtt"), QStringLiteral("h")},
                                         QStringList{QStringLiteral("--mqtt"), QStringLiteral("h:1883"),
                                                     QStringLiteral("--mqtt-ca"), QStringLiteral("/no/esta.pem")},
                                         QStringList{QStringLiteral("--mqtt"), QStringLiteral("h:1883"),
                                                     QStringLiteral("--mqtt-nodo"), QStringLiteral("a/b")},
                                         QStringList{QStringLiteral("--mqtt-clave"), QStringLiteral("x")}}) {
            s = correProceso(binario("tolvex-setup"), QStringList{otro} + malos);
            QVERIFY2(s.code == 2, qPrintable(malos.join(u' ')));
            QVERIFY(!s.err.isEmpty());
            QVERIFY(!QFile::exists(otro));
        }
    }

    // The outbox: in order, synced, kept across a restart, never half a line.
    void buzon()
    {
        DirectorioDePrueba d;
        const QString ruta = d.file(BuzonLotes::kArchivo);
        const Pendiente a = lote(1), b = lote(2), c = lote(3);
        {
            BuzonLotes x(ruta);
            QVERIFY(x.carga());
            QVERIFY(x.agrega(a, QStringLiteral("P1"), 1));
            QVERIFY(x.agrega(b, QStringLiteral("P1"), 2));
            QVERIFY(x.agrega(a, QStringLiteral("P1"), 1)); // held already: not twice
            QCOMPARE(x.cantidad(), 2);
        }
        BuzonLotes x(ruta);
        QVERIFY(x.carga());
        QCOMPARE(x.cantidad(), 2);
        BuzonLotes::Entrada e;
        QVERIFY(x.primero(&e));
        QCOMPARE(e.idLote, a.idLote);
        const QJsonObject o = QJsonDocument::fromJson(e.json).object();
        QCOMPARE(o.value(u"TICKET").toInteger(), 101);
        QCOMPARE(o.value(u"LINEA").toInt(), 1);
        QCOMPARE(o.value(u"PUESTO").toString(), QStringLiteral("P1"));
        QCOMPARE(o.value(u"PESO").toDouble(), 12.5);
        QCOMPARE(o.value(u"AUX").toArray().at(0).toString(), QStringLiteral("Cliente \"A\""));
        QCOMPARE(o.value(u"AUX").toArray().at(1).toString(), QStringLiteral("Ñandú"));
        QCOMPARE(o.value(u"FECHA").toString(), QStringLiteral("2026-12-09"));
        QCOMPARE(o.value(u"HORA").toString(), QStringLiteral("06:30:05"));
        // Only the first is taken off.
        QVERIFY(x.quita(b.idLote));
        QCOMPARE(x.cantidad(), 2);
        QVERIFY(x.quita(a.idLote));
        QVERIFY(x.primero(&e));
        QCOMPARE(e.idLote, b.idLote);

        // A kill in the middle of an append left half a line: it goes, and
        // the next batch is a line of its own.
        {
            QFile f(ruta);
            QVERIFY(f.open(QIODevice::Append));
            f.write("{\"IDLOTE\":\"cortado\",\"TIC");
        }
        BuzonLotes y(ruta);
        QVERIFY(y.carga());
        QCOMPARE(y.cantidad(), 1);
        QVERIFY(y.agrega(c, QStringLiteral("P1"), 1));
        BuzonLotes z(ruta);
        QVERIFY(z.carga());
        QCOMPARE(z.cantidad(), 2);
        QVERIFY(!leeArchivo(ruta).contains("cortado"));

        // Emptied, the file goes.
        QVERIFY(z.quita(b.idLote) && z.quita(c.idLote));
        QVERIFY(!QFile::exists(ruta));
    }

    // A full disk: the append fails and says so, leaves nothing behind, and
    // the writer's hook retries until it is stored, saying it once.
    void buzonDiscoLleno()
    {
        DirectorioDePrueba d;
        const QString ruta = d.file(BuzonLotes::kArchivo);
        if (!QFile::exists(QStringLiteral("/dev/full")))
            QSKIP("sin /dev/full");
        BuzonLotes x(ruta);
        QVERIFY(x.carga());
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), ruta));
        QString noArchivo;
        QVERIFY(!BuzonLotes(ruta).carga(&noArchivo)); // not read as a file (it never ends)
        QVERIFY(noArchivo.contains(u"no es un archivo"));
        QString error;
        QVERIFY(!x.agrega(lote(1), QStringLiteral("P1"), 1, &error));
        QCOMPARE(error, QStringLiteral("disco lleno"));
        QCOMPARE(x.cantidad(), 0);

        QStringList avisos;
        x.setAviso([&](const QString& t) { avisos << t; });
        x.setPausaMs(5);
        std::atomic<bool> agregado{false};
        const Pendiente p = lote(2);
        std::thread escritor([&] { agregado = x.agregaInsistiendo(p, QStringLiteral("P1"), 1); });
        QTRY_VERIFY_WITH_TIMEOUT(!avisos.isEmpty(), kEspera);
        QTest::qWait(50); // several more attempts fail
        QVERIFY(!agregado);
        QVERIFY(QFile::remove(ruta)); // room again
        escritor.join();
        QVERIFY(agregado);
        QCOMPARE(avisos.size(), 2);
        QVERIFY(avisos.at(0).contains(u"disco lleno") && avisos.at(0).contains(p.idLote));
        QVERIFY(avisos.at(1).startsWith(u"Se guardó"));
        BuzonLotes y(ruta);
        QVERIFY(y.carga());
        QCOMPARE(y.cantidad(), 1);
    }

    // Births, changes by alias, seq, rebirth, commands refused, garbage
    // survived, a line's death and a clean node death.
    void nodoEnVivo()
    {
        Escena e;
        QVERIFY(e.inicia());
        auto [host, nodo, broker, dir] = std::tie(e.host, e.nodo, e.broker, e.dir);
        QTRY_VERIFY_WITH_TIMEOUT(host.cuenta(u"DBIRTH", QStringLiteral("Linea1")) == 1 &&
                                     host.cuenta(u"DBIRTH", QStringLiteral("Linea2")) == 1,
                                 kEspera);
        QCOMPARE(host.cuenta(u"NBIRTH"), 1);
        const qint64 bd = bdSeq(host.ultimo(u"NBIRTH"));
        QVERIFY(bd >= 0 && bd <= 255);
        const QJsonObject nace = host.ultimo(u"DBIRTH", QStringLiteral("Linea1"));
        QStringList nombres;
        for (const QJsonValue v : nace.value(u"metricas").toArray())
            nombres << v.toObject().value(u"nombre").toString();
        QCOMPARE(nombres, (QStringList{"Peso", "Acumulado", "Despacho", "Resto", "Ciclos", "Caudal", "Modo", "Estado",
                                       "Salidas", "Entradas", "Error", "Texto de error", "Vigente", "Decimales"}));
        QCOMPARE(metrica(nace, QStringLiteral("Peso")).value(u"valor").toDouble(), 1000.0);
        QCOMPARE(metrica(nace, QStringLiteral("Vigente")).value(u"valor").toBool(), true);
        const qint64 aliasPeso = metrica(nace, QStringLiteral("Peso")).value(u"alias").toInteger();

        // A change goes by alias only, and only what changed.
        nodo.dice("peso 1 5000");
        QTRY_VERIFY_WITH_TIMEOUT(host.cuenta(u"DDATA", QStringLiteral("Linea1")) > 0, kEspera);
        QJsonObject dato = host.ultimo(u"DDATA", QStringLiteral("Linea1"));
        QCOMPARE(dato.value(u"metricas").toArray().size(), 1);
        QCOMPARE(dato.value(u"metricas").toArray().at(0).toObject().value(u"alias").toInteger(), aliasPeso);
        QCOMPARE(dato.value(u"metricas").toArray().at(0).toObject().value(u"valor").toDouble(), 5000.0);
        QCOMPARE(host.cuenta(u"DDATA", QStringLiteral("Linea2")), 0);

        // Rebirth: a new NBIRTH (seq 0, the same bdSeq) and every device again.
        manda(broker.puerto(), Sparkplug::tema(QStringLiteral("Planta"), "NCMD", QStringLiteral("N1")), "rebirth");
        QTRY_VERIFY_WITH_TIMEOUT(host.cuenta(u"NBIRTH") == 2 && host.cuenta(u"DBIRTH") == 4, kEspera);
        QCOMPARE(bdSeq(host.ultimo(u"NBIRTH")), bd);
        QCOMPARE(metrica(host.ultimo(u"DBIRTH", QStringLiteral("Linea1")), QStringLiteral("Peso"))
                     .value(u"valor")
                     .toDouble(),
                 5000.0);

        // Commands to a line are refused, and the log hears it once; garbage
        // and an oversized message are dropped; the node goes on.
        const QByteArray dcmd = Sparkplug::tema(QStringLiteral("Planta"), "DCMD", QStringLiteral("N1"),
                                                QStringLiteral("Linea1"));
        manda(broker.puerto(), dcmd, "dcmd");
        manda(broker.puerto(), dcmd, "dcmd");
        manda(broker.puerto(), Sparkplug::tema(QStringLiteral("Planta"), "NCMD", QStringLiteral("N1")), "basura");
        manda(broker.puerto(), Sparkplug::tema(QStringLiteral("Planta"), "NCMD", QStringLiteral("N1")), "grande");
        manda(broker.puerto(), dcmd, "basura");
        nodo.dice("peso 1 6000");
        QTRY_VERIFY_WITH_TIMEOUT(host.ultimo(u"DDATA", QStringLiteral("Linea1"))
                                         .value(u"metricas")
                                         .toArray()
                                         .at(0)
                                         .toObject()
                                         .value(u"valor")
                                         .toDouble() == 6000.0,
                                 kEspera);
        QTRY_COMPARE_WITH_TIMEOUT(enLog(dir, QStringLiteral("Se rechazó un comando MQTT (DCMD) para Linea1")), 1,
                                  kEspera);
        QCOMPARE(host.cuenta(u"NBIRTH"), 2);

        // A line that stops being read dies; opened again, it is born again.
        nodo.dice("cierra 2");
        QTRY_COMPARE_WITH_TIMEOUT(host.cuenta(u"DDEATH", QStringLiteral("Linea2")), 1, kEspera);
        nodo.dice("abre 2");
        QTRY_COMPARE_WITH_TIMEOUT(host.cuenta(u"DBIRTH", QStringLiteral("Linea2")), 3, kEspera);

        // A clean exit says the node's death with the bdSeq of its birth.
        nodo.termina();
        QTRY_COMPARE_WITH_TIMEOUT(host.cuenta(u"NDEATH"), 1, kEspera);
        QCOMPARE(bdSeq(host.ultimo(u"NDEATH")), bd);
        QVERIFY(!host.ultimo(u"NDEATH").contains(u"vieja"));
        QVERIFY2(host.fallos().isEmpty(), qPrintable(host.fallos().join(u'\n')));
    }

    // More than 256 messages of one node: seq wraps 255 -> 0 and the host
    // finds every one in order.
    void seqDaLaVuelta()
    {
        Escena e;
        QVERIFY(e.inicia({QStringLiteral("--lineas"), QStringLiteral("4")}));
        auto [host, nodo] = std::tie(e.host, e.nodo);
        QTRY_VERIFY_WITH_TIMEOUT(host.cuenta(u"DBIRTH") == 4, kEspera);
        const auto dioLaVuelta = [&] {
            return std::any_of(host.mensajes().cbegin(), host.mensajes().cend(), [](const QJsonObject& o) {
                return o.value(u"tipo").toString() == u"DDATA" && o.value(u"seq").toInt() == 0;
            });
        };
        QElapsedTimer reloj;
        reloj.start();
        for (int i = 1; !dioLaVuelta() && reloj.elapsed() < 4 * kEspera; ++i) {
            for (int l = 1; l <= 4; ++l)
                nodo.dice(QByteArrayLiteral("peso ") + QByteArray::number(l) + ' ' + QByteArray::number(2000 + i));
            QTest::qWait(60);
        }
        QVERIFY(dioLaVuelta());
        nodo.termina();
        QVERIFY2(host.fallos().isEmpty(), qPrintable(host.fallos().join(u'\n')));
    }

    // kill -9: the broker delivers the will, the NDEATH of the birth's bdSeq;
    // started again, the node's bdSeq is another.
    void muerteSinAviso()
    {
        Escena e;
        QVERIFY(e.inicia());
        auto [host, nodo, broker, dir] = std::tie(e.host, e.nodo, e.broker, e.dir);
        QTRY_COMPARE_WITH_TIMEOUT(host.cuenta(u"DBIRTH"), 2, kEspera);
        const qint64 bd = bdSeq(host.ultimo(u"NBIRTH"));
        nodo.mata();
        QTRY_COMPARE_WITH_TIMEOUT(host.cuenta(u"NDEATH"), 1, kEspera);
        QCOMPARE(bdSeq(host.ultimo(u"NDEATH")), bd);
        QVERIFY(nodo.inicia(dir, broker.puerto()) && nodo.listo());
        QTRY_COMPARE_WITH_TIMEOUT(host.cuenta(u"NBIRTH"), 2, kEspera);
        QVERIFY(bdSeq(host.ultimo(u"NBIRTH")) != bd);
        QTRY_COMPARE_WITH_TIMEOUT(host.cuenta(u"DBIRTH"), 4, kEspera);
        nodo.termina();
        QVERIFY2(host.fallos().isEmpty(), qPrintable(host.fallos().join(u'\n')));
    }

    // Brokers that are not: one that answers garbage, one that never
    // answers, one that refuses; then a real one, lost and back. The node
    // keeps trying, and the log hears each change once.
    void brokersMalos()
    {
        QTemporaryDir t;
        const QString dir = t.path() + QStringLiteral("/nodo");
        QTcpServer falso;
        QVERIFY(falso.listen(QHostAddress::LocalHost, 0));
        const quint16 puerto = falso.serverPort();
        int conexiones = 0;
        bool basura = true;
        QList<QTcpSocket*> mudas;
        connect(&falso, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* s = falso.nextPendingConnection()) {
                ++conexiones;
                if (basura) {
                    s->write(QByteArray("\x20\x7f\xff\xff\xff\xff garbage", 15));
                    s->flush();
                } else {
                    mudas << s;
                }
            }
        });
        Nodo nodo;
        QVERIFY(nodo.inicia(dir, puerto) && nodo.listo());
        QTRY_VERIFY_WITH_TIMEOUT(conexiones >= 3, kEspera);
        // Silent: the node gives up on each connection and tries again.
        basura = false;
        const int antes = conexiones;
        QTRY_VERIFY_WITH_TIMEOUT(conexiones >= antes + 2, 3 * kEspera);
        QCOMPARE(enLog(dir, QStringLiteral("No se pudo conectar con el broker MQTT")), 1);
        falso.close();
        qDeleteAll(mudas);

        // Refused: a broker that takes nobody anonymous.
        {
            QTemporaryDir t2;
            Broker b(t2.path(), false);
            QVERIFY(b.inicia(puerto));
            QTRY_VERIFY_WITH_TIMEOUT(leeArchivo(t2.path() + QStringLiteral("/mosquitto.log")).contains("not authori"),
                                     kEspera);
        }
        QCOMPARE(enLog(dir, QStringLiteral("No se pudo conectar con el broker MQTT")), 1);
        QCOMPARE(enLog(dir, QStringLiteral("Se conectó")), 0);

        // A real one: the node is born; lost and back, said once each.
        Broker broker(t.path());
        QVERIFY(broker.inicia(puerto));
        Suscriptor host;
        QVERIFY(host.inicia(puerto, QStringLiteral("Planta")));
        QTRY_VERIFY_WITH_TIMEOUT(host.cuenta(u"DBIRTH") >= 2, 3 * kEspera);
        QCOMPARE(enLog(dir, QStringLiteral("Se conectó con el broker MQTT")), 1);
        broker.para();
        QTRY_COMPARE_WITH_TIMEOUT(enLog(dir, QStringLiteral("Se perdió la conexión con el broker MQTT")), 1, kEspera);
        QTest::qWait(2000);
        QVERIFY(broker.inicia(puerto));
        QTRY_COMPARE_WITH_TIMEOUT(enLog(dir, QStringLiteral("Se restableció la conexión con el broker MQTT")), 1,
                                  3 * kEspera);
        QCOMPARE(enLog(dir, QStringLiteral("Se perdió la conexión con el broker MQTT")), 1);
        nodo.termina();
        QVERIFY2(host.fallos().isEmpty(), qPrintable(host.fallos().join(u'\n')));
    }

    // Every batch row reaches the consumer, with the broker stopped for a
    // while during the weighing and the node killed and started again.
    void lotesUnaVez()
    {
        Escena e;
        const QStringList marcha{QStringLiteral("--marcha"), QStringLiteral("40")};
        QVERIFY(e.inicia(marcha, QStringLiteral("historiador")));
        QTRY_VERIFY_WITH_TIMEOUT(e.host.lotes().size() >= 3, 3 * kEspera);

        // The broker away: the rows go on, the batches wait in the outbox.
        e.broker.para();
        const qsizetype filas = filasDe(e.dir).size();
        QTRY_VERIFY_WITH_TIMEOUT(filasDe(e.dir).size() >= filas + 3, 3 * kEspera);
        QVERIFY(QFile::exists(e.dir + QLatin1Char('/') + BuzonLotes::kArchivo));
        QVERIFY(e.broker.inicia());

        // Killed at some moment, started again on its directory.
        QTest::qWait(QRandomGenerator::global()->bounded(200, 3000));
        e.nodo.mata();
        QVERIFY(e.nodo.inicia(e.dir, e.broker.puerto(), marcha) && e.nodo.listo());
        const qsizetype antes = filasDe(e.dir).size();
        QTRY_VERIFY_WITH_TIMEOUT(filasDe(e.dir).size() >= antes + 3, 3 * kEspera);
        e.nodo.termina();
        QVERIFY(e.lotesSonFilas());
        QVERIFY(enLog(e.dir, QStringLiteral("Se perdió la conexión con el broker MQTT")) >= 1);
        QVERIFY2(e.host.fallos().isEmpty(), qPrintable(e.host.fallos().join(u'\n')));
    }

    // A broker gone mute while batches are sent, and the node killed then:
    // what the broker never acknowledged is sent again by the next run.
    void lotesSinConfirmar()
    {
        Escena e;
        Rele rele(e.broker.puerto());
        const QStringList marcha{QStringLiteral("--marcha"), QStringLiteral("40")};
        QVERIFY(e.inicia(marcha, QStringLiteral("historiador"), rele.puerto()));
        QTRY_VERIFY_WITH_TIMEOUT(e.host.lotes().size() >= 2, 3 * kEspera);
        rele.setMudo(true);
        const qsizetype filas = filasDe(e.dir).size();
        // Rows written while it is mute, and their record queues settled: only
        // the outbox can still know of their batches.
        QTRY_VERIFY_WITH_TIMEOUT(filasDe(e.dir).size() >= filas + 2 &&
                                     QDir(e.dir).entryList({QStringLiteral("Pendientes*.dat")}).isEmpty(),
                                 3 * kEspera);
        e.nodo.mata();
        rele.setMudo(false);
        QVERIFY(e.nodo.inicia(e.dir, rele.puerto(), marcha) && e.nodo.listo());
        e.nodo.termina();
        QVERIFY(e.lotesSonFilas());
        QVERIFY2(e.host.fallos().isEmpty(), qPrintable(e.host.fallos().join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"

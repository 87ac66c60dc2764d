// The recorder as a service: tolvex-registro as a real process on a program
// directory prepared by Instalacion, its line an indicator simulated in this
// process over loopback TCP, seen and commanded through the local channel
// by this process as a desktop program would.
#include <QJsonArray>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>

#include "CDatos.h"
#include "Canal.h"
#include "Config.h"
#include "EstacionRemota.h"
#include "EstadoJson.h"
#include "Indicador.h"
#include "Instalacion.h"
#include "Programa.h"
#include "SimuladorEnHilo.h"
#include "TestSupport.h"

using namespace Qt::StringLiterals;

namespace {

QString binario()
{
    return qEnvironmentVariable("TOLVEX_BIN_DIR") + u"/bin/tolvex-registro"_s;
}

// A program directory on the simulator, with an operator of each level.
struct Planta
{
    QTemporaryDir raiz;
    QString directorio;
    SimuladorEnHilo sim;
    bool ok = false;
    QString error;

    // sub: the program directory below a scratch one (a long path).
    explicit Planta(const IndicadorSimulado::Parametros& p = parametros(), const QString& sub = QString())
        : directorio(sub.isEmpty() ? raiz.path() : QDir(raiz.path()).filePath(sub)), sim(p)
    {
        QDir().mkpath(directorio);
        Instalacion ins;
        ins.directorio = directorio;
        ins.tcp = u"127.0.0.1:%1"_s.arg(sim.puerto());
        ins.id = 1;
        if (!ins.ejecutar()) {
            error = ins.error;
            return;
        }
        EnDirectorio en(directorio);
        if (!en.ok(&error))
            return;
        Config::GuardaConfig(u"global"_s, u"Tiempo"_s, u"100"_s);
        Programa::leeVariables();
        CDatos db;
        ok = db.AbrirBase(Programa::DataCSOperarios);
        for (const auto& [nombre, nivel] : {std::pair{u"ANA"_s, u"Operador"_s}, std::pair{u"SARA"_s, u"Superior"_s},
                                            std::pair{u"GERARDO"_s, u"Gerencia"_s}})
            ok = ok && db.Ejecuta(u"INSERT INTO %1 (OPERADOR, PASSWORD, JERARQUIA) VALUES (?, ?, ?)"_s.arg(
                                      Programa::DataTbOperarios),
                                  {nombre, u"x"_s, nivel});
        if (!ok)
            error = db.ultimoError();
    }
    static IndicadorSimulado::Parametros parametros()
    {
        IndicadorSimulado::Parametros p;
        p.dispersion = 0;
        return p;
    }
    QString ruta(const QString& nombre) const { return QDir(directorio).filePath(nombre); }
    // The operator and first auxiliary datum of the last row, empty without one.
    std::pair<QString, QString> ultima() const
    {
        EnDirectorio en(directorio);
        Programa::leeVariables();
        CDatos db;
        if (!db.AbrirBase(Programa::DataCSReporte) ||
            !db.AbreRegistro(u"SELECT OPERADOR, AUX1 FROM %1 ORDER BY TICKET DESC"_s.arg(Programa::DataTbReporte)) ||
            !db.PrimerRegistro())
            return {};
        return {db.Campo(u"OPERADOR"_s).toString(), db.Campo(u"AUX1"_s).toString()};
    }
    // Rows of the batches table and the sum of their PESO.
    std::pair<int, double> filas() const
    {
        EnDirectorio en(directorio);
        Programa::leeVariables();
        CDatos db;
        if (!db.AbrirBase(Programa::DataCSReporte) ||
            !db.AbreRegistro(u"SELECT COUNT(*) AS N, SUM(PESO) AS S FROM "_s + Programa::DataTbReporte) ||
            !db.PrimerRegistro())
            return {-1, 0};
        return {db.Campo(u"N"_s).toInt(), db.Campo(u"S"_s).toDouble()};
    }
};

// tolvex-registro on a directory, its stderr kept.
struct Registro
{
    QProcess p;
    QByteArray salida;

    explicit Registro(const QString& dir)
    {
        p.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&p, &QProcess::readyReadStandardError, &p, [this] { salida += p.readAllStandardError(); });
        p.start(binario(), {dir});
    }
    ~Registro()
    {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    // Running and listening on the channel.
    bool listo() { return QTest::qWaitFor([this] { return salida.contains("canal ") || p.state() == QProcess::NotRunning; }, 20000) && p.state() == QProcess::Running; }
    int termina(int senal)
    {
        ::kill(pid_t(p.processId()), senal);
        if (!p.waitForFinished(20000))
            return -1;
        salida += p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    }
};

// What a line signalled, in order.
struct Senales
{
    QStringList orden;
    QList<EstadoEstacion> estados;
    QList<std::pair<int, bool>> terminadas;
    QList<std::pair<int, QString>> rechazos;

    explicit Senales(EstacionRemota* e)
    {
        QObject::connect(e, &EstacionBase::estadoCambiado, e, [this](const EstadoEstacion& s) {
            orden << u"estado"_s;
            estados << s;
        });
        QObject::connect(e, &EstacionBase::lecturaProcesada, e, [this](const LecturaPeso&) { orden << u"lectura"_s; });
        QObject::connect(e, &EstacionBase::operacionTerminada, e,
                         [this](int id, bool ok) { terminadas << std::pair{id, ok}; });
        QObject::connect(e, &EstacionRemota::rechazada, e,
                         [this](int id, const QString& m) { rechazos << std::pair{id, m}; });
    }
    bool vioPeso(double peso)
    {
        return QTest::qWaitFor(
            [&] { return !estados.isEmpty() && estados.constLast().conectado && estados.constLast().Peso == peso; },
            10000);
    }
    std::optional<bool> terminada(int id)
    {
        [[maybe_unused]] const bool llego = QTest::qWaitFor(
            [&] { return std::any_of(terminadas.cbegin(), terminadas.cend(), [id](auto t) { return t.first == id; }); },
            10000);
        for (const auto& [i, ok] : std::as_const(terminadas))
            if (i == id)
                return ok;
        return std::nullopt;
    }
    QString rechazo(int id) const
    {
        for (const auto& [i, m] : std::as_const(rechazos))
            if (i == id)
                return m;
        return {};
    }
};

// A client that speaks the channel's bytes itself, to attack it.
bool cerradoTrasEnviar(const QString& dir, const QByteArray& bytes, int esperaMs = 20000)
{
    QLocalSocket s;
    s.connectToServer(Canal::ruta(dir));
    if (!s.waitForConnected(5000))
        return false;
    for (qsizetype i = 0; i < bytes.size() && s.state() == QLocalSocket::ConnectedState; i += 65536) {
        s.write(bytes.mid(i, 65536));
        s.waitForBytesWritten(1000);
    }
    // The server's greeting and replies are never read here.
    return QTest::qWaitFor([&] { return s.state() != QLocalSocket::ConnectedState; }, esperaMs);
}

int cuenta(const QByteArray& texto, const QByteArray& que)
{
    int n = 0;
    for (qsizetype i = texto.indexOf(que); i >= 0; i = texto.indexOf(que, i + 1))
        ++n;
    return n;
}

} // namespace

class TstServicio : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void estadoIdaYVuelta();
    void canalLecturasYComandos();
    void nivelesDelOperador();
    void segundaInstanciaRechazada();
    void socketDeUnDirectorioProfundo();
    void entradaHostilNoDetieneElRegistro();
    void lotesSinClienteYMuerteSubita();
    void vistaAbiertaPorElCanal();
};

void TstServicio::initTestCase()
{
    QVERIFY2(QFileInfo(binario()).isExecutable(), qPrintable(binario()));
}

void TstServicio::estadoIdaYVuelta()
{
    // Before any reading, after a good one, and after a failed poll.
    EstadoEstacion antes;
    antes.abierta = true;
    antes.textoError = EstadoEstacion::kSinConexion;
    EstadoEstacion leido;
    leido.abierta = leido.conectado = true;
    leido.instante = QDateTime(QDate(2026, 10, 25), QTime(2, 30, 0, 123));
    leido.decimales = 2;
    leido.Peso = -12.34;
    leido.Acumulado = 98765.43;
    leido.Despacho = 500;
    leido.Resto = 0.01;
    leido.Caudal = 3.5;
    leido.CGrueso = 450;
    leido.CFino = 40;
    leido.CCiclos = 4000000000u;
    leido.Modo = 2;
    leido.textoModo = u"PESAJE"_s;
    leido.Salidas = 0x81;
    leido.Entradas = 0x7E;
    leido.CError = 3;
    leido.textoError = u"ERROR 3 - «sobrecarga»"_s;
    leido.standBy = true;
    leido.cargando = true;
    leido.aviso = u"El acumulado subió"_s;
    EstadoEstacion caido = leido;
    caido.conectado = false;
    caido.falla = {Trama::Fallo::Excepcion, 2};
    for (const EstadoEstacion& e : {antes, leido, caido}) {
        QString error;
        const auto vuelta = EstadoJson::estado(EstadoJson::entero(e), &error);
        QVERIFY2(vuelta, qPrintable(error));
        QCOMPARE(*vuelta, e);
    }
    // What the web gives reads back too, less what it leaves out.
    const auto web = EstadoJson::estado(EstadoJson::completo(leido, true, {}));
    QVERIFY(web);
    QCOMPARE(web->Peso, leido.Peso);
    QCOMPARE(web->instante, leido.instante);
    QCOMPARE(web->Salidas, leido.Salidas);
    QVERIFY(!web->cargando && web->aviso.isEmpty());

    // A key missing or of another kind is named, and no state comes.
    const QJsonObject bueno = EstadoJson::entero(leido);
    const QList<std::pair<QString, QJsonValue>> malos = {
        {u"peso"_s, u"12"_s},           {u"ciclos"_s, -1},          {u"modo"_s, 1.5},
        {u"salidas"_s, QJsonArray{true}}, {u"instante"_s, u"ayer"_s}, {u"abierta"_s, 1},
        {u"falla"_s, 99},               {u"decimales"_s, QJsonValue()}};
    for (const auto& [clave, valor] : malos) {
        QJsonObject o = bueno;
        o.insert(clave, valor);
        QString error;
        QVERIFY2(!EstadoJson::estado(o, &error), qPrintable(clave));
        QVERIFY2(error.contains(clave), qPrintable(error));
    }
    QJsonObject sinTexto = bueno;
    sinTexto.remove(u"textoModo"_s);
    QVERIFY(!EstadoJson::estado(sinTexto));

    LecturaPeso l;
    l.Peso = 1.5;
    l.CCiclos = 7;
    l.UlTotal = 1e7;
    l.Salidas = 0xFF;
    l.TotalF = -3;
    l.falla = {Trama::Fallo::Esclavo, 4};
    const auto lv = EstadoJson::lectura(EstadoJson::lectura(l));
    QVERIFY(lv);
    QCOMPARE(std::tuple(lv->Peso, lv->CCiclos, lv->UlTotal, lv->Salidas, lv->TotalF, lv->falla),
             std::tuple(l.Peso, l.CCiclos, l.UlTotal, l.Salidas, l.TotalF, l.falla));
    QJsonObject rota = EstadoJson::lectura(l);
    rota.remove(u"Modo"_s);
    QVERIFY(!EstadoJson::lectura(rota));
}

void TstServicio::canalLecturasYComandos()
{
    Planta planta;
    QVERIFY2(planta.ok, qPrintable(planta.error));
    planta.sim.indicador().setReloj(false);
    planta.sim.indicador().setValor32(Indicador::kPeso, 1234);
    Registro r(planta.directorio);
    QVERIFY2(r.listo(), r.salida.constData());

    // Only the installation's account and group reach the socket.
    struct stat st = {};
    QCOMPARE(::stat(QFile::encodeName(Canal::ruta(planta.directorio)).constData(), &st), 0);
    QVERIFY(S_ISSOCK(st.st_mode));
    QCOMPARE(st.st_mode & 07777, mode_t(0660));

    QString error;
    const auto canal = CanalCliente::conecta(planta.directorio, &error);
    QVERIFY2(canal, qPrintable(error));
    QVERIFY(canal->esServicio());
    QVERIFY(canal->quien().contains(u"tolvex-registro"_s));
    QCOMPARE(canal->lineas(), QVector<int>{1});
    EstacionRemota* e = canal->estacion(1);
    QVERIFY(e);
    Senales s(e);
    QVERIFY(s.vioPeso(1234));
    QVERIFY(QTest::qWaitFor([&] { return e->iniciada(); }, 5000));
    QCOMPARE(e->periodoConfigurado(), 100);
    planta.sim.indicador().setValor32(Indicador::kPeso, 2345);
    QVERIFY(s.vioPeso(2345));
    QCOMPARE(e->estado().Peso, 2345.0);
    // Each reading as over a local engine: its state, then the reading.
    s.orden.clear();
    QTest::qWait(600);
    QVERIFY(s.orden.size() >= 4);
    const qsizetype desde = s.orden.indexOf(u"estado"_s);
    for (qsizetype i = desde; i + 1 < s.orden.size(); i += 2)
        QCOMPARE(s.orden.mid(i, 2), (QStringList{u"estado"_s, u"lectura"_s}));

    // A programming reaches the indicator, and its end comes back with our id.
    const int id = e->programa({5000, 200, 250, 5000}, u"ANA"_s);
    QCOMPARE(s.terminada(id), std::optional<bool>(true));
    QCOMPARE(planta.sim.indicador().valor32(Indicador::kDespacho), 5000u);
    QCOMPARE(planta.sim.indicador().valor32(Indicador::kCFino), 250u);
    // So does a command.
    planta.sim.indicador().setReloj(true);
    const int v = e->comando('V', u"Arranque / Parada"_s, u"ANA"_s);
    QCOMPARE(s.terminada(v), std::optional<bool>(true));
    QVERIFY(planta.sim.indicador().enMarcha());

    // The service stops on SIGTERM; the desktop's side hears it.
    QSignalSpy perdida(canal.get(), &CanalCliente::perdida);
    QSignalSpy cerrada(e, &EstacionBase::cerrada);
    QCOMPARE(r.termina(SIGTERM), 0);
    QVERIFY(perdida.wait(5000) || perdida.size() == 1);
    QCOMPARE(cerrada.size(), 1);
    QVERIFY(!e->iniciada());
    const int tarde = e->comando('Z', u"Cero"_s, u"ANA"_s);
    QCOMPARE(s.terminada(tarde), std::optional<bool>(false));
}

void TstServicio::nivelesDelOperador()
{
    Planta planta;
    QVERIFY2(planta.ok, qPrintable(planta.error));
    IndicadorSimulado& ind = planta.sim.indicador();
    ind.setReloj(false);
    ind.setValor32(Indicador::kUlTotal, 777);
    Registro r(planta.directorio);
    QVERIFY2(r.listo(), r.salida.constData());
    QString error;
    const auto canal = CanalCliente::conecta(planta.directorio, &error);
    QVERIFY2(canal, qPrintable(error));
    EstacionRemota* e = canal->estacion(1);
    Senales s(e);
    QVERIFY(QTest::qWaitFor([&] { return !s.estados.isEmpty() && s.estados.constLast().conectado; }, 10000));

    // Below Superior, the general reset is refused and nothing is written.
    const int operador = e->reset(u"ANA"_s);
    QCOMPARE(s.terminada(operador), std::optional<bool>(false));
    QVERIFY2(s.rechazo(operador).contains(u"Instalador y Superior"_s), qPrintable(s.rechazo(operador)));
    // Nobody of that name, nobody at all, and a level that does not weigh.
    const int nadie = e->comando('V', u"Arranque / Parada"_s, u"NADIE"_s);
    const int vacio = e->comando('V', u"Arranque / Parada"_s, QString());
    const int gerencia = e->programa({900, 800, 50, 0}, u"GERARDO"_s);
    for (const int id : {nadie, vacio, gerencia})
        QCOMPARE(s.terminada(id), std::optional<bool>(false));
    QCOMPARE(s.rechazo(nadie), u"Operador desconocido: NADIE"_s);
    QVERIFY(s.rechazo(gerencia).contains(u"Gerencia"_s));
    QVERIFY(!ind.enMarcha());
    QVERIFY(ind.valor32(Indicador::kDespacho) != 900u);
    QCOMPARE(ind.valor32(Indicador::kUlTotal), 777u);

    // A name with quotes is a name, not a statement.
    const int comillas = e->reset(u"x' OR '1'='1"_s);
    QCOMPARE(s.terminada(comillas), std::optional<bool>(false));
    QCOMPARE(ind.valor32(Indicador::kUlTotal), 777u);

    // Superior may; the indicator's totals are cleared.
    const int superior = e->reset(u"SARA"_s);
    QCOMPARE(s.terminada(superior), std::optional<bool>(true));
    QCOMPARE(ind.valor32(Indicador::kUlTotal), 0u);
    QCOMPARE(r.termina(SIGTERM), 0);
}

void TstServicio::segundaInstanciaRechazada()
{
    Planta planta;
    QVERIFY2(planta.ok, qPrintable(planta.error));
    Registro primero(planta.directorio);
    QVERIFY2(primero.listo(), primero.salida.constData());
    const SalidaProceso otro = correProceso(binario(), {planta.directorio});
    QCOMPARE(otro.code, 3);
    QVERIFY2(otro.err.contains(u"tolvex-registro, proceso %1 "_s.arg(primero.p.processId())), qPrintable(otro.err));
    // The holder goes on serving.
    QString error;
    QVERIFY2(CanalCliente::conecta(planta.directorio, &error), qPrintable(error));
    QCOMPARE(primero.termina(SIGINT), 0);
    // Bad arguments and a directory without settings are not a bus held.
    QCOMPARE(correProceso(binario(), {}).code, 2);
    QTemporaryDir vacio;
    QCOMPARE(correProceso(binario(), {vacio.path()}).code, 2);
}

void TstServicio::socketDeUnDirectorioProfundo()
{
    // A path a Unix socket address cannot hold: the socket goes to the
    // temporary directory, under a name both sides derive from the path.
    Planta planta(Planta::parametros(), QString(u"planta de la línea de envasado número "_s).repeated(3));
    QVERIFY2(planta.ok, qPrintable(planta.error));
    const QString ruta = Canal::ruta(planta.directorio);
    QVERIFY(QFile::encodeName(planta.ruta(Canal::kArchivo)).size() > 108);
    QVERIFY(ruta.startsWith(QDir::tempPath() + u'/'));
    QVERIFY(ruta != Canal::ruta(planta.directorio + u"2"_s));
    QCOMPARE(Canal::ruta(planta.directorio + u"/"_s), ruta);
    planta.sim.indicador().setReloj(false);
    planta.sim.indicador().setValor32(Indicador::kPeso, 55);
    Registro r(planta.directorio);
    QVERIFY2(r.listo(), r.salida.constData());
    struct stat st = {};
    QCOMPARE(::stat(QFile::encodeName(ruta).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0660));
    QString error;
    const auto canal = CanalCliente::conecta(planta.directorio, &error);
    QVERIFY2(canal, qPrintable(error));
    Senales s(canal->estacion(1));
    QVERIFY(s.vioPeso(55));
    QCOMPARE(r.termina(SIGTERM), 0);
}

void TstServicio::entradaHostilNoDetieneElRegistro()
{
    Planta planta;
    QVERIFY2(planta.ok, qPrintable(planta.error));
    planta.sim.indicador().setReloj(false);
    planta.sim.indicador().setValor32(Indicador::kPeso, 10);
    Registro r(planta.directorio);
    QVERIFY2(r.listo(), r.salida.constData());
    const QString dir = planta.directorio;

    QVERIFY(cerradoTrasEnviar(dir, "esto no es JSON\n"));
    QVERIFY(cerradoTrasEnviar(dir, "[1,2,3]\n"));
    QVERIFY(cerradoTrasEnviar(dir, R"({"op":"borraTodo","linea":1})" "\n"));
    // A line with no end, longer than any message.
    QVERIFY(cerradoTrasEnviar(dir, QByteArray(Canal::kMaxLinea + 10, 'a')));
    // A flood of requests from a client that reads none of the answers.
    QByteArray muchos;
    for (int i = 0; i < 120000; ++i)
        muchos += R"({"op":"comando","linea":1,"id":1,"letra":"Z","operador":""})" "\n";
    QVERIFY(cerradoTrasEnviar(dir, muchos, 60000));

    // Meanwhile it polled, and a well-behaved client sees what is weighed now.
    planta.sim.indicador().setValor32(Indicador::kPeso, 4321);
    QString error;
    const auto canal = CanalCliente::conecta(dir, &error);
    QVERIFY2(canal, qPrintable(error));
    Senales s(canal->estacion(1));
    QVERIFY(s.vioPeso(4321));
    QCOMPARE(r.termina(SIGTERM), 0);
    // One record in the error log for each client dropped.
    QCOMPARE(cuenta(leeArchivo(planta.ruta(u"Datos.log"_s)), "Canal local: cliente desconectado"), 5);
}

void TstServicio::lotesSinClienteYMuerteSubita()
{
    IndicadorSimulado::Parametros p = Planta::parametros();
    p.velocidad = 8;
    Planta planta(p);
    QVERIFY2(planta.ok, qPrintable(planta.error));
    IndicadorSimulado& ind = planta.sim.indicador();
    ind.programa(0, 200, 250); // no preset: batches until stopped
    ind.comando('V');
    auto r = std::make_unique<Registro>(planta.directorio);
    QVERIFY2(r->listo(), r->salida.constData());

    // Nobody watches: the batches become rows all the same.
    QVERIFY(QTest::qWaitFor([&] { return ind.lotes() >= 3; }, 60000));
    QVERIFY(QTest::qWaitFor([&] { return planta.filas().first >= 3; }, 20000));

    // Killed mid-work with the indicator frozen, started again with nobody
    // signed in: no row lost, none twice.
    ind.setReloj(false);
    QCOMPARE(r->termina(SIGKILL), -2);
    r = std::make_unique<Registro>(planta.directorio);
    QVERIFY2(r->listo(), r->salida.constData());
    ind.setReloj(true);
    QVERIFY(QTest::qWaitFor([&] { return ind.lotes() >= 6; }, 60000));
    ind.comando('V'); // stops at the end of the cycle
    QVERIFY(QTest::qWaitFor([&] { return !ind.enMarcha(); }, 30000));
    const qint64 lotes = ind.lotes();
    const double acumulado = ind.valor32(Indicador::kUlTotal);
    const bool igual = QTest::qWaitFor([&] { return planta.filas().first == lotes; }, 20000);
    if (!igual) {
        // What the recorder said and wrote, to tell where a batch went.
        qDebug() << "filas" << planta.filas().first << planta.filas().second << "lotes" << lotes << acumulado;
        qDebug().noquote() << r->salida << leeArchivo(planta.ruta(u"Datos.log"_s)) << leeArchivo(planta.ruta(u"Transac.dat"_s)).right(1500);
        EnDirectorio en(planta.directorio);
        Programa::leeVariables();
        CDatos db;
        db.AbrirBase(Programa::DataCSReporte);
        db.AbreRegistro(u"SELECT TICKET, PESO, TOTAL FROM "_s + Programa::DataTbReporte);
        for (bool h = db.PrimerRegistro(); h; h = db.SiguienteRegistro())
            qDebug() << db.Campo(u"TICKET"_s) << db.Campo(u"PESO"_s) << db.Campo(u"TOTAL"_s);
    }
    QVERIFY(igual);
    QTest::qWait(500);
    const auto [n, suma] = planta.filas();
    QCOMPARE(n, int(lotes));
    QCOMPARE(suma, acumulado);

    // Killed while weighing, down while batches go by unread: what the
    // accumulator rose meanwhile is made up by the rows, not lost.
    ind.comando('V');
    QVERIFY(QTest::qWaitFor([&] { return ind.lotes() >= lotes + 2; }, 60000));
    QCOMPARE(r->termina(SIGKILL), -2);
    QTest::qWait(3000);
    r = std::make_unique<Registro>(planta.directorio);
    QVERIFY2(r->listo(), r->salida.constData());
    const qint64 alVolver = ind.lotes();
    QVERIFY(QTest::qWaitFor([&] { return ind.lotes() >= alVolver + 2; }, 60000));
    ind.comando('V');
    QVERIFY(QTest::qWaitFor([&] { return !ind.enMarcha(); }, 30000));
    const double final = ind.valor32(Indicador::kUlTotal);
    QVERIFY(final > acumulado);
    QVERIFY(QTest::qWaitFor([&] { return planta.filas().second == final; }, 20000));
    QTest::qWait(500);
    QCOMPARE(planta.filas().second, final);
    QVERIFY(planta.filas().first <= ind.lotes());
    QCOMPARE(r->termina(SIGTERM), 0);
}

void TstServicio::vistaAbiertaPorElCanal()
{
    IndicadorSimulado::Parametros p = Planta::parametros();
    p.velocidad = 8;
    Planta planta(p);
    QVERIFY2(planta.ok, qPrintable(planta.error));
    IndicadorSimulado& ind = planta.sim.indicador();
    ind.programa(0, 200, 250);
    ind.comando('V');
    Registro r(planta.directorio);
    QVERIFY2(r.listo(), r.salida.constData());
    // Nobody ever opened the line: its rows say so.
    QVERIFY(QTest::qWaitFor([&] { return planta.filas().first >= 1; }, 30000));
    QCOMPARE(planta.ultima().first, EstacionBase::kSinOperador);

    QString error;
    const auto canal = CanalCliente::conecta(planta.directorio, &error);
    QVERIFY2(canal, qPrintable(error));
    EstacionRemota* e = canal->estacion(1);
    Senales s(e);
    // A level that does not weigh opens nothing.
    e->abreVista({u"Gerencia S.A."_s}, u"GERARDO"_s);
    QVERIFY(QTest::qWaitFor([&] { return !s.rechazo(0).isEmpty(); }, 10000));
    QVERIFY(s.rechazo(0).contains(u"Gerencia"_s));
    // The operator and the data typed at the desktop sign the next rows.
    e->abreVista({u"Cliente O'Hara \"ñ\""_s}, u"ANA"_s);
    QVERIFY(QTest::qWaitFor([&] { return planta.ultima().first == u"ANA"_s; }, 30000));
    QCOMPARE(planta.ultima().second, u"Cliente O'Hara \"ñ\""_s);
    QVERIFY(s.terminadas.isEmpty());
    e->cierraVista(u"ANA"_s);
    ind.comando('V');
    QVERIFY(QTest::qWaitFor([&] { return !ind.enMarcha(); }, 30000));
    QCOMPARE(r.termina(SIGTERM), 0);
    QVERIFY(leeArchivo(planta.ruta(u"Transac.dat"_s)).contains("]"));
}

QTEST_GUILESS_MAIN(TstServicio)
#include "tst_servicio.moc"

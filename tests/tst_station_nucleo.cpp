// The station without a window and without a display: EstacionPesaje
// against the simulated indicator over TCP on loopback, recording into a
// real SQLite file, with a session of its own (not the program's).
#include <QSignalSpy>
#include <QSqlRecord>
#include <QThread>

#include "CDatos.h"
#include "Config.h"
#include "ConnectionString.h"
#include "Contexto.h"
#include "EstacionPesaje.h"
#include "Indicador.h"
#include "Programa.h"
#include "Registrador.h"
#include "Schema.h"
#include "SimuladorEnHilo.h"
#include "TestSupport.h"

namespace {

class Banco
{
public:
    explicit Banco(int decimales = 0) : m_sim(parametros(decimales))
    {
        qputenv("TOLVEX_HOME", m_dir.path().toLocal8Bit());
        for (const auto& [clave, valor] : {std::pair<const char*, QString>{"Comunicacion_1", "1"}, {"Host_1", "127.0.0.1"},
                                           {"Port_1", QString::number(m_sim.puerto())}, {"ID_1", "1"},
                                           {"Tiempo", "40"}, {"Decimales_1", QString::number(decimales)}})
            Config::GuardaConfig(QStringLiteral("global"), QLatin1String(clave), valor);
        const QString cs = ConnectionString::sqlite(m_dir.file(QStringLiteral("data.db")));
        Programa::DataCSReporte = Programa::DataCSGlobal = cs;
        Programa::DataTbReporte = Schema::kTablaReporte;
        Programa::DataTbGlobal = Schema::kTablaGlobal;
        CDatos db;
        m_ok = db.AbrirBase(cs, true) &&
               Schema::crear(db, Schema::kTablaReporte, Schema::kTablaOperarios, Schema::kTablaGlobal,
                             nullptr, nullptr);
        // The program's session signs nothing here: the station's own does.
        Programa::OperadorActual = QStringLiteral("OTRA SESIÓN");
        m_contexto.OperadorActual = QStringLiteral("ANA PÉREZ");
        m_sim.indicador().setReloj(false);
        EstacionPesaje::setAjusteEnlace([](ConfigEnlace& c) {
            c.esperaMs = 150;
            c.silencioMs = 30;
        });
        m_registrador = std::make_unique<Registrador>(m_dir.path());
        m_registrador->setPausaMs(100);
    }
    ~Banco()
    {
        m_estacion.reset();
        m_registrador.reset();
        EstacionPesaje::setAjusteEnlace({});
    }

    static IndicadorSimulado::Parametros parametros(int decimales)
    {
        IndicadorSimulado::Parametros p;
        p.decimales = decimales;
        p.dispersion = 0;
        return p;
    }

    // A new opening of the station; true once it polls.
    bool abre()
    {
        if (m_estacion)
            m_estacion->cierra();
        m_estacion = std::make_unique<EstacionPesaje>(m_contexto, m_registrador.get());
        QObject::connect(m_estacion.get(), &EstacionPesaje::estadoCambiado, m_estacion.get(),
                         [this] { ++m_lecturas; });
        m_estacion->abre({QStringLiteral("Cliente")});
        return m_ok && QTest::qWaitFor([this] { return m_estacion->iniciada(); }, kEspera) && lee();
    }
    // Waits for polls that started after this call (the readings already
    // queued are taken first, see BancoEstacion::esperaLecturas).
    bool lee(int n = 2)
    {
        QCoreApplication::processEvents();
        const int objetivo = m_lecturas + n;
        return QTest::qWaitFor([&] { return m_lecturas >= objetivo; }, kEspera);
    }
    bool acumula(quint32 total)
    {
        ind().setValor32(Indicador::kUlTotal, total);
        return lee();
    }
    bool escrito()
    {
        return QTest::qWaitFor([this] { return m_registrador->pendientes() == 0; }, kEspera);
    }
    QList<QSqlRecord> filas(const QString& tabla = Schema::kTablaReporte,
                            const QString& orden = QStringLiteral("TICKET"))
    {
        QList<QSqlRecord> r;
        CDatos db;
        if (db.AbrirBase(Programa::DataCSReporte) &&
            db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(tabla, orden)))
            for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
                r.append(db.registroActual());
        return r;
    }
    QList<int> marcas()
    {
        QList<int> m;
        for (const auto& f : filas())
            m << f.value("OPCION1").toInt();
        return m;
    }

    DirectorioDePrueba m_dir;
    SimuladorEnHilo m_sim;
    Contexto m_contexto;
    std::unique_ptr<Registrador> m_registrador;
    std::unique_ptr<EstacionPesaje> m_estacion;
    int m_lecturas = 0;
    bool m_ok = false;

    IndicadorSimulado& ind() { return m_sim.indicador(); }
    EstacionPesaje& e() { return *m_estacion; }
};

LecturaPeso lectura(int modo, int salidas, int error)
{
    LecturaPeso l;
    l.Peso = 12.345;
    l.UlTotal = 5000;
    l.CFino = 100;
    l.Modo = modo;
    l.Salidas = salidas;
    l.CError = error;
    return l;
}

} // namespace

class TstStationNucleo : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void estadoDeUnaLectura_data();
    void estadoDeUnaLectura();
    void lotesYTotalesDeDespacho();
    void lotesFusionadosYAviso();
    void comandosYCondiciones();
    void cierreTrasLaLecturaEnCurso();
};

void TstStationNucleo::estadoDeUnaLectura_data()
{
    QTest::addColumn<int>("modo");
    QTest::addColumn<int>("salidas");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("textoModo");
    QTest::addColumn<QString>("textoError");
    QTest::addColumn<bool>("standBy");
    QTest::addColumn<bool>("cargando");
    QTest::newRow("std by") << 0 << 0x102 << 0 << "STD. BY" << "" << true << false;
    QTest::newRow("carga") << 1 << 0x0C << 3 << "CARGA" << "ERROR 3 - PROGRAMA: Grueso > Fino" << false << true;
    QTest::newRow("destare") << 4 << 0x01 << 60 << "DESTARE" << "ERROR 60 - Ciclo Lento" << false << false;
    QTest::newRow("modo raro") << 7 << 0x02 << 7 << "PESAJE" << "ERROR 7" << true << false;
}

void TstStationNucleo::estadoDeUnaLectura()
{
    QFETCH(int, modo);
    QFETCH(int, salidas);
    QFETCH(int, error);
    QFETCH(QString, textoModo);
    QFETCH(QString, textoError);
    QFETCH(bool, standBy);
    QFETCH(bool, cargando);
    EstadoEstacion previo;
    previo.Modo = 2;
    previo.textoModo = EstadoEstacion::textoDeModo(2);
    const auto e = EstadoEstacion::desde(lectura(modo, salidas, error), 2, previo);
    QVERIFY(e.conectado);
    QCOMPARE(e.textoModo, textoModo);
    QCOMPARE(e.textoError, textoError);
    QCOMPARE(e.standBy, standBy);
    QCOMPARE(e.cargando, cargando);
    QCOMPARE(e.Salidas, salidas & 0xFF);
    QCOMPARE(e.muestra(e.Peso), QStringLiteral("12.35"));
    // An unanswered poll keeps what was shown, as not live.
    LecturaPeso muda;
    muda.Peso = LecturaPeso::kSinRespuesta;
    EstadoEstacion leido = e;
    leido.instante = QDateTime(QDate(2026, 12, 8), QTime(10, 0), Qt::UTC);
    const auto m = EstadoEstacion::desde(muda, 2, leido);
    QVERIFY(!m.conectado);
    QCOMPARE(m.Peso, e.Peso);
    QCOMPARE(m.standBy, e.standBy);
    // The bar says the link failed, not the indicator's last error, and the
    // time is still that of the values kept.
    QCOMPARE(std::pair(m.textoError, m.instante), std::pair(QStringLiteral("Error de conexion"), leido.instante));
    QCOMPARE(EstadoEstacion::desde(lectura(modo, salidas, error), 2, m).textoError, textoError);
}

void TstStationNucleo::lotesYTotalesDeDespacho()
{
    Banco b;
    b.ind().setValor32(Indicador::kUlTotal, 5000);
    QVERIFY(b.abre());
    QSignalSpy lotes(&b.e(), &EstacionPesaje::loteRegistrado);
    // The accumulator found at opening gives no row; a reset to 0 neither.
    // A drop straight from 5000 to 300 between two polls is a negative batch.
    for (quint32 t : {5000u, 5250u, 5500u, 0u, 5500u, 0u, 300u, 5000u, 300u})
        QVERIFY(b.acumula(t));
    QVERIFY(b.escrito());
    QCOMPARE(lotes.size(), 6);
    QCOMPARE(b.e().lotesFusionados(), 0);
    auto f = b.filas();
    QCOMPARE(f.size(), 6);
    const double pesos[] = {250, 250, 5500, 300, 4700, -4700};
    for (int i = 0; i < 6; ++i)
        QCOMPARE(f[i].value("PESO").toDouble(), pesos[i]);
    QCOMPARE(f[5].value("TOTAL").toDouble(), 300.0);
    QCOMPARE(f[0].value("OPERADOR").toString(), QStringLiteral("ANA PÉREZ"));
    QCOMPARE(f[0].value("BACH").toDouble(), 1000.0);
    // A row is a dispatch total only when the accumulator fell below its
    // TOTAL: equal to it (5500 again after a reset) is a continuation.
    QCOMPARE(b.marcas(), QList<int>({0, 0, 1, 0, 1, 0}));

    // While the operator is asked something the indicator is not polled:
    // after the readings already queued, only the poll under way can end.
    b.e().pausa();
    QCoreApplication::processEvents();
    const int antes = b.m_lecturas;
    QTest::qWait(500);
    QVERIFY2(b.m_lecturas <= antes + 1, qPrintable(QString::number(b.m_lecturas - antes)));
    b.e().reanuda();
    QVERIFY(b.lee());

    // Closing: asked for, carried out after the poll in progress; the last
    // row becomes a total.
    QSignalSpy listo(&b.e(), &EstacionPesaje::listoParaCerrar);
    b.e().pideCierre();
    QVERIFY(listo.wait(kEspera));
    b.e().cierra();
    QVERIFY(b.escrito());
    QCOMPARE(b.marcas(), QList<int>({0, 0, 1, 0, 1, 1}));
}

void TstStationNucleo::lotesFusionadosYAviso()
{
    Banco b;
    b.ind().setValor32(Indicador::kUlTotal, 1000);
    QVERIFY(b.abre());
    // While loading, three cycles ended between two polls: one row, two
    // batches merged.
    b.ind().comando('V');
    QVERIFY(b.lee());
    QCOMPARE(b.e().estado().textoModo, QStringLiteral("CARGA"));
    b.ind().setValor32(Indicador::kCCiclos, b.ind().valor32(Indicador::kCCiclos) + 3);
    QVERIFY(b.acumula(1600));
    QCOMPARE(b.e().lotesFusionados(), 2);
    QVERIFY(b.escrito());
    QCOMPARE(b.filas().size(), 1);
    QVERIFY(b.filas()[0].value("INFO").toString().contains(QStringLiteral("Diferencia: 3 tandas sin leer una a una")));
    // Reopened on the last TOTAL: no row.
    QVERIFY(b.abre());
    QVERIFY(b.escrito());
    QCOMPARE(b.filas().size(), 1);
    // Reopened above it: a row for the difference, and the log says so.
    b.e().cierra();
    QVERIFY(b.escrito());
    b.ind().setValor32(Indicador::kUlTotal, 1850);
    QVERIFY(b.abre());
    QVERIFY(b.escrito());
    QCOMPARE(b.filas().size(), 2);
    QCOMPARE(b.filas()[1].value("PESO").toDouble(), 250.0);
    QVERIFY(QString::fromLatin1(leeArchivo(b.m_dir.file(QStringLiteral("Datos.log"))))
                .contains(QStringLiteral("registrado 1600, acumulador 1850): se registr")));
}

void TstStationNucleo::comandosYCondiciones()
{
    Banco b(1);
    b.ind().setValor32(Indicador::kUlTotal, 50000);
    QVERIFY(b.abre());
    QSignalSpy fin(&b.e(), &EstacionPesaje::operacionTerminada);
    QSignalSpy fallida(&b.e(), &EstacionPesaje::escrituraFallida);
    QCOMPARE(b.e().compruebaArranque(), QString());
    b.ind().setValor32(Indicador::kCFino, 0);
    QVERIFY(b.lee());
    QCOMPARE(b.e().compruebaArranque(), QStringLiteral("Error en el valor de Bach"));

    // The programming's checks, in order: each value, then its end.
    const struct
    {
        QString textos[3];
        QString error;
        int campo;
    } malos[] = {
        {{"abc", "1", "1"}, "Ingrese un valor para Despacho (Preset)", 0},
        {{"12.5", "", "92.5"}, "Ingrese un valor para Corte Grueso", 1},
        // More decimals than the indicator keeps are refused, not rounded;
        // "1,250" is not read as a thousand.
        {{"12.55", "1", "1"}, "El valor de Despacho (Preset) admite como máximo 1 decimal", 0},
        {{"1", "1,250", "1"}, "El valor de Corte Grueso admite como máximo 1 decimal", 1},
        {{"1", "1", "429496729.6"},
         "El valor de Corte Fino (Batch) es demasiado grande para el equipo (máximo 429496729.5 kg)", 2},
        {{"429491729.6", "1", "1"}, "El fin del despacho (Preset + Acumulador) no cabe en el equipo", -1},
    };
    for (const auto& m : malos) {
        QString error;
        int campo = 9;
        QVERIFY(!b.e().compruebaProgramacion(m.textos, &error, &campo));
        QCOMPARE(error, m.error);
        QCOMPARE(campo, m.campo);
    }
    QString error;
    int campo = 9;
    const QString buenos[3] = {"12.50", "80", "92.5"};
    const auto p = b.e().compruebaProgramacion(buenos, &error, &campo);
    QVERIFY2(p, qPrintable(error));
    QCOMPARE(p->fin, 50125);
    const int id = b.e().programa(*p);
    QVERIFY(fin.wait(kEspera));
    QCOMPARE(fin.last(), QVariantList({id, true}));
    QCOMPARE((QList<quint32>{b.ind().valor32(Indicador::kDespacho), b.ind().valor32(Indicador::kCGrueso),
                             b.ind().valor32(Indicador::kCFino), b.ind().valor32(Indicador::kTotalF)}),
             (QList<quint32>{125, 800, 925, 50125}));

    // Out of stand-by (the indicator's output, whatever is shown) nothing
    // that programs or clears goes.
    b.ind().comando('V');
    QVERIFY(b.lee());
    QVERIFY(!b.e().estado().standBy);
    QCOMPARE(b.e().compruebaReset(), EstacionPesaje::kNoStandBy);
    QVERIFY(!b.e().compruebaProgramacion(buenos, &error, &campo));
    QCOMPARE(error, EstacionPesaje::kNoStandBy);
    QCOMPARE(campo, -1);
    b.ind().comando('X');
    QVERIFY(b.lee());
    QCOMPARE(b.e().compruebaReset(), QString());
    b.e().reset();
    QVERIFY(fin.wait(kEspera));
    QCOMPARE(b.ind().valor32(Indicador::kUlTotal), 0u);
    QCOMPARE(b.ind().valor32(Indicador::kDespacho), 0u);

    // A write the indicator does not answer: failed, audited as such.
    b.m_sim.fallos({.mudo = true});
    b.e().comando('Z', QStringLiteral("Cero"));
    QVERIFY(fin.wait(kEspera));
    QCOMPARE(fin.last().at(1).toBool(), false);
    QCOMPARE(fallida.size(), 1);
    b.m_sim.fallos(FallosSimulados());
    QVERIFY(b.escrito());
    const auto c = b.filas(Schema::kTablaComandos, QStringLiteral("ID"));
    QCOMPARE(c.size(), 3);
    QCOMPARE(c[0].value("VALORES").toString(), QStringLiteral("Despacho=125 CGrueso=800 CFino=925 TotalF=50125"));
    QCOMPARE(c[0].value("OPERADOR").toString(), QStringLiteral("ANA PÉREZ"));
}

// A close waits for the poll in progress while the indicator answers: with
// replies 400 ms apart a poll takes over two seconds, and the batch it reads
// is recorded before the station closes. A silent indicator is cut at the
// reply wait it is in. The station is set to id 0, the simulated indicator
// answers with its own id.
void TstStationNucleo::cierreTrasLaLecturaEnCurso()
{
    Banco b;
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("ID_1"), QStringLiteral("0"));
    EstacionPesaje::setAjusteEnlace([](ConfigEnlace& c) {
        c.esperaMs = 2000;
        c.silencioMs = 30;
    });
    b.ind().setValor32(Indicador::kUlTotal, 5000);
    QVERIFY(b.abre());
    QVERIFY(b.e().estado().conectado);
    b.m_sim.fallos({.tardia = 1, .tardiaMs = 400});
    QSignalSpy lotes(&b.e(), &EstacionPesaje::loteRegistrado);
    QSignalSpy lecturas(&b.e(), &EstacionPesaje::lecturaProcesada);
    int lotesAlCerrar = -1;
    connect(&b.e(), &EstacionPesaje::listoParaCerrar, this,
            [&] { lotesAlCerrar = int(lotes.size()); });
    // As the window does: polling paused while the operator is asked (a poll
    // under way ends), a batch meanwhile, the close confirmed, polling resumed.
    b.e().pausa();
    lecturas.wait(4000);
    b.ind().setValor32(Indicador::kUlTotal, 5250);
    b.e().pideCierre();
    b.e().reanuda();
    QTRY_VERIFY_WITH_TIMEOUT(lotesAlCerrar >= 0, kEspera);
    QCOMPARE(lotesAlCerrar, 1);
    b.e().cierra();
    QVERIFY(b.escrito());
    QCOMPARE(b.filas().last().value("PESO").toDouble(), 250.0);
    QCOMPARE(b.marcas().last(), 1);

    b.m_sim.fallos({});
    QVERIFY(b.abre());
    b.m_sim.fallos({.mudo = true});
    QSignalSpy listo(&b.e(), &EstacionPesaje::listoParaCerrar);
    const qint64 antes = b.m_sim.servidor().pedidos();
    b.e().pideCierre();
    // A loaded machine: the window's thread takes the cut poll's reading late.
    // The link starts no other poll meanwhile.
    QThread::msleep(3000);
    QVERIFY(listo.wait(kEspera));
    QVERIFY(b.m_sim.servidor().pedidos() - antes <= 1);
}

QTEST_GUILESS_MAIN(TstStationNucleo)
#include "tst_station_nucleo.moc"

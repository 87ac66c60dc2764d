// The recorder without a display: every line of a scratch program
// directory polled and recorded from the moment it starts, whether or not a
// view is open; views only bring their auxiliary data and the journal's
// brackets. The simulated indicator answers over loopback TCP, rows go to a
// real SQLite file.
#include <QSqlRecord>

#include "CDatos.h"
#include "CerrojoBus.h"
#include "Config.h"
#include "ConnectionString.h"
#include "Contexto.h"
#include "Cp1252.h"
#include "EstacionPesaje.h"
#include "Grabador.h"
#include "Indicador.h"
#include "Registrador.h"
#include "Schema.h"
#include "SimuladorEnHilo.h"
#include "TestSupport.h"

namespace {

class Banco
{
public:
    Banco() : m_sim(parametros())
    {
        qputenv("TOLVEX_HOME", m_dir.path().toLocal8Bit());
        for (const auto& [clave, valor] : {std::pair<const char*, QString>{"Comunicacion_1", "1"}, {"Host_1", "127.0.0.1"},
                                           {"Port_1", QString::number(m_sim.puerto())}, {"ID_1", "1"},
                                           {"Tiempo", "40"}, {"Decimales_1", "0"}})
            Config::GuardaConfig(QStringLiteral("global"), QLatin1String(clave), valor);
        const QString cs = ConnectionString::sqlite(m_dir.file(QStringLiteral("data.db")));
        m_contexto.Directorio = m_dir.path();
        m_contexto.DataCSReporte = m_contexto.DataCSGlobal = m_contexto.DataCSOperarios = cs;
        m_contexto.DataTbReporte = Schema::kTablaReporte;
        m_contexto.DataTbGlobal = Schema::kTablaGlobal;
        m_contexto.DataTbOperarios = Schema::kTablaOperarios;
        CDatos db;
        m_ok = db.AbrirBase(cs, true) &&
               Schema::crear(db, Schema::kTablaReporte, Schema::kTablaOperarios, Schema::kTablaGlobal, nullptr,
                             nullptr);
        m_sim.indicador().setReloj(false);
    }

    static IndicadorSimulado::Parametros parametros()
    {
        IndicadorSimulado::Parametros p;
        p.dispersion = 0;
        return p;
    }

    // A recorder of the directory as the service starts one (no operator).
    std::unique_ptr<Grabador> grabador(const QString& operador = QString())
    {
        auto g = std::make_unique<Grabador>(m_contexto);
        g->setOperadorPorDefecto(operador);
        g->setPausaRegistroMs(100);
        g->setAjusteEnlace([](ConfigEnlace& c) {
            c.esperaMs = 150;
            c.silencioMs = 30;
        });
        return g;
    }
    static bool lee(EstacionPesaje* e, int n = 3)
    {
        int lecturas = 0;
        const QMetaObject::Connection c =
            QObject::connect(e, &EstacionBase::estadoCambiado, e, [&] { ++lecturas; });
        const bool ok = QTest::qWaitFor([&] { return lecturas >= n; }, kEspera);
        QObject::disconnect(c);
        return ok;
    }
    bool acumula(EstacionPesaje* e, quint32 total)
    {
        m_sim.indicador().setValor32(Indicador::kUlTotal, total);
        return lee(e);
    }
    static bool escrito(Grabador& g)
    {
        return QTest::qWaitFor([&] { return g.pendientes() == 0; }, kEspera);
    }
    QList<QSqlRecord> filas()
    {
        QList<QSqlRecord> r;
        CDatos db;
        if (db.AbrirBase(m_contexto.DataCSReporte) &&
            db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY TICKET").arg(Schema::kTablaReporte)))
            for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
                r.append(db.registroActual());
        return r;
    }
    QString diario() const { return Cp1252::decode(leeArchivo(m_dir.file(QStringLiteral("Transac.dat")))); }

    DirectorioDePrueba m_dir;
    SimuladorEnHilo m_sim;
    Contexto m_contexto;
    bool m_ok = false;
};

} // namespace

class TestGrabador : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void registraSinVentana();
    void vistasTraenDatosYCorchetes();
    void unSoloMaestroDelBus();
};

// Started with no view and nobody signed in: batches become rows signed by
// the operator the line kept (or by nobody), headed in the journal by the
// auxiliary data in force.
void TestGrabador::registraSinVentana()
{
    Banco b;
    QVERIFY(b.m_ok);
    QVERIFY(escribeArchivo(b.m_dir.file(QStringLiteral("Auxiliares.dat")),
                           QByteArrayLiteral(R"({"aux":["Cliente Sur","Trigo"],"operador":"ANA PÉREZ"})")));
    b.m_sim.indicador().setValor32(Indicador::kUlTotal, 1000); // the first reading is the baseline
    auto g = b.grabador();
    QVERIFY(g->inicia());
    EstacionPesaje* e = g->estacion(1);
    QVERIFY(e);
    QVERIFY(Banco::lee(e));
    QVERIFY(b.acumula(e, 1250));
    QVERIFY(b.acumula(e, 1600));
    QVERIFY(Banco::escrito(*g));
    const auto f = b.filas();
    QCOMPARE(f.size(), 2);
    QCOMPARE(f[0].value("PESO").toDouble(), 250.0);
    QCOMPARE(f[1].value("PESO").toDouble(), 350.0);
    for (const QSqlRecord& r : f) {
        QCOMPARE(r.value("OPERADOR").toString(), QStringLiteral("ANA PÉREZ"));
        QCOMPARE(r.value("AUX1").toString(), QStringLiteral("Cliente Sur"));
        QCOMPARE(r.value("AUX2").toString(), QStringLiteral("Trigo"));
    }
    // One record of its own, open until the recorder stops.
    QString d = b.diario();
    QCOMPARE(d.count(u'['), 1);
    QVERIFY(d.startsWith(QStringLiteral("[Cliente Sur")));
    QCOMPARE(d.count(QStringLiteral("*   350*      1600")), 1);
    QVERIFY(!d.contains(u']'));
    g->detiene();
    d = b.diario();
    QVERIFY2(d.endsWith(QStringLiteral("]\r\n")), qPrintable(d));

    // Nothing kept and nobody signed in: the rows say so.
    QFile::remove(b.m_dir.file(QStringLiteral("Auxiliares.dat")));
    g = b.grabador();
    QVERIFY(g->inicia());
    e = g->estacion(1);
    QVERIFY(Banco::lee(e));
    QVERIFY(b.acumula(e, 1700));
    QVERIFY(Banco::escrito(*g));
    QCOMPARE(b.filas().last().value("OPERADOR").toString(), EstacionBase::kSinOperador);
    QCOMPARE(b.filas().last().value("AUX1").toString(), QString());
}

// A view opening closes the record of unattended batches and opens its own
// with the data typed, which then apply to every batch and survive a
// restart; closing it leaves the line recording into a new record.
void TestGrabador::vistasTraenDatosYCorchetes()
{
    Banco b;
    QVERIFY(b.m_ok);
    b.m_sim.indicador().setValor32(Indicador::kUlTotal, 100);
    auto g = b.grabador(QStringLiteral("JUAN"));
    QVERIFY(g->inicia());
    EstacionPesaje* e = g->estacion(1);
    QVERIFY(Banco::lee(e));
    QVERIFY(b.acumula(e, 130)); // unattended, signed by the one signed in
    e->abreVista({QStringLiteral("Norte")}, QStringLiteral("LUIS"));
    QVERIFY(e->conVista());
    QVERIFY(b.acumula(e, 170));
    e->cierraVista(QStringLiteral("LUIS"));
    QVERIFY(!e->conVista());
    // The view's close marks its last row as the dispatch's total...
    QVERIFY(Banco::escrito(*g));
    QCOMPARE(b.filas().last().value("OPCION1").toBool(), true);
    QVERIFY(b.acumula(e, 220)); // after the view: LUIS's data still in force
    QVERIFY(Banco::escrito(*g));
    const auto f = b.filas();
    QCOMPARE(f.size(), 3);
    QCOMPARE(f[0].value("OPERADOR").toString(), QStringLiteral("JUAN"));
    QCOMPARE(f[0].value("AUX1").toString(), QString());
    for (int i : {1, 2}) {
        QCOMPARE(f[i].value("OPERADOR").toString(), QStringLiteral("LUIS"));
        QCOMPARE(f[i].value("AUX1").toString(), QStringLiteral("Norte"));
    }
    // ...until the accumulator goes on from it: the dispatch went on.
    QCOMPARE(f[1].value("OPCION1").toBool(), false);
    // Three records: unattended, the view's, unattended again.
    const QStringList registros = b.diario().split(QStringLiteral("]\r\n"));
    QCOMPARE(registros.size(), 3); // the last one still open
    QVERIFY(registros[0].contains(QStringLiteral("*    30*")));
    QVERIFY(registros[1].startsWith(QStringLiteral("[Norte")));
    QVERIFY(registros[1].contains(QStringLiteral("*    40*")));
    QVERIFY(registros[2].startsWith(QStringLiteral("[Norte")));
    QVERIFY(registros[2].contains(QStringLiteral("*    50*")));
    g->detiene();

    // Restarted by the service (nobody signed in): the line's data and
    // operator are the last view's.
    g = b.grabador();
    QVERIFY(g->inicia());
    e = g->estacion(1);
    QCOMPARE(e->aux().value(0), QStringLiteral("Norte"));
    QCOMPARE(e->operador(), QStringLiteral("LUIS"));
    QVERIFY(Banco::lee(e));
    QVERIFY(b.acumula(e, 300));
    QVERIFY(Banco::escrito(*g));
    QCOMPARE(b.filas().last().value("OPERADOR").toString(), QStringLiteral("LUIS"));
}

// Two recorders of one directory: the second is refused and told who holds
// the bus; once the first stops, it may start.
void TestGrabador::unSoloMaestroDelBus()
{
    Banco b;
    QVERIFY(b.m_ok);
    auto uno = b.grabador();
    uno->setNombreProceso(QStringLiteral("tolvex-registro"));
    QVERIFY(uno->inicia());
    QVERIFY(CerrojoBus::titular(b.m_dir.path()).startsWith(QStringLiteral("tolvex-registro, proceso %1 ")
                                                              .arg(QCoreApplication::applicationPid())));
    auto dos = b.grabador();
    QString error;
    QVERIFY(!dos->inicia(&error));
    QVERIFY2(error.contains(QStringLiteral("ya lo atiende otro programa (tolvex-registro, proceso %1")
                                .arg(QCoreApplication::applicationPid())),
             qPrintable(error));
    QVERIFY(dos->lineas().isEmpty());
    QVERIFY(Banco::lee(uno->estacion(1)));
    uno->detiene();
    QCOMPARE(CerrojoBus::titular(b.m_dir.path()), QString());
    QVERIFY(dos->inicia(&error));
    QVERIFY(Banco::lee(dos->estacion(1)));
}

QTEST_GUILESS_MAIN(TestGrabador)
#include "tst_grabador.moc"

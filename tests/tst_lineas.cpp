// Several weighing lines in one workstation: the settings that name them
// (an old single-line file, hand-edited ones), the installer's line
// commands, and two stations on one bus (two ids behind one TCP port of the
// simulator) recording into one real SQLite file, each with its own journal,
// queue, last ticket and markings; then the windows that switch between them.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QSignalSpy>
#include <QSqlRecord>
#include <QToolButton>

#include "CDatos.h"
#include "Config.h"
#include "ConnectionString.h"
#include "Contexto.h"
#include "Cp1252.h"
#include "Diario.h"
#include "Estacion.h"
#include "EstacionPesaje.h"
#include "IniFile.h"
#include "Indicador.h"
#include "Instalacion.h"
#include "Lineas.h"
#include "MessageBox.h"
#include "PanelLineas.h"
#include "Programa.h"
#include "Puesto.h"
#include "Registrador.h"
#include "Schema.h"
#include "SimuladorEnHilo.h"
#include "TestSupport.h"
#include "tst_station_comun.h"
#include "frmMain.h"
#include "frmOptions.h"
#include "frmPeso.h"

namespace {

void guarda(std::initializer_list<std::pair<const char*, QString>> claves)
{
    for (const auto& [clave, valor] : claves)
        QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QLatin1String(clave), valor));
}

QList<QSqlRecord> filas(const QString& donde = QString())
{
    QList<QSqlRecord> r;
    CDatos db;
    if (db.AbrirBase(Programa::DataCSReporte) &&
        db.AbreRegistro(QStringLiteral("SELECT * FROM %1 %2 ORDER BY TICKET").arg(Schema::kTablaReporte, donde)))
        for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
            r.append(db.registroActual());
    return r;
}

// Two indicators (ids 1 and 2) behind one TCP port, lines 1 and 2 of a
// program directory with a SQLite database.
class Bus
{
public:
    Bus() : m_sim(parametros(0), 1), m_b(parametros(1))
    {
        qputenv("TOLVEX_HOME", m_dir.path().toLocal8Bit());
        QMetaObject::invokeMethod(
            &m_sim.servidor(), [this] { m_sim.servidor().agrega(m_b, 2); }, Qt::BlockingQueuedConnection);
        const QString puerto = QString::number(m_sim.puerto());
        guarda({{"Comunicacion_1", "1"}, {"Host_1", "127.0.0.1"}, {"Port_1", puerto}, {"ID_1", "1"},
                {"Comunicacion_2", "1"}, {"Host_2", "127.0.0.1"}, {"Port_2", puerto}, {"ID_2", "2"},
                {"Decimales_2", "1"}, {"Nombre_2", "Tolva B"}, {"Tiempo", "40"}});
        const QString cs = ConnectionString::sqlite(m_dir.file(QStringLiteral("data.db")));
        Programa::DataCSReporte = Programa::DataCSGlobal = cs;
        Programa::DataTbReporte = Schema::kTablaReporte;
        Programa::DataTbGlobal = Schema::kTablaGlobal;
        CDatos db;
        m_ok = db.AbrirBase(cs, true) && Schema::crear(db, Schema::kTablaReporte, Schema::kTablaOperarios,
                                                         Schema::kTablaGlobal, nullptr, nullptr);
        m_contexto.OperadorActual = QStringLiteral("ANA PÉREZ");
        m_sim.indicador().setReloj(false);
        m_b.setReloj(false);
        EstacionPesaje::setAjusteEnlace([](ConfigEnlace& c) {
            c.esperaMs = 150;
            c.silencioMs = 30;
        });
    }
    ~Bus()
    {
        for (auto& e : m_e)
            e.reset();
        for (auto& r : m_r)
            r.reset();
        EstacionPesaje::setAjusteEnlace({});
    }

    static IndicadorSimulado::Parametros parametros(int decimales)
    {
        IndicadorSimulado::Parametros p;
        p.decimales = decimales;
        p.dispersion = 0;
        return p;
    }

    bool abre(int n)
    {
        const int i = n - 1;
        m_r[i] = std::make_unique<Registrador>(m_dir.path(), Contexto::programa(), nullptr, n);
        m_r[i]->setPausaMs(100);
        m_e[i] = std::make_unique<EstacionPesaje>(m_contexto, m_r[i].get(), nullptr, Lineas::linea(n));
        QObject::connect(m_e[i].get(), &EstacionPesaje::estadoCambiado, m_e[i].get(), [this, i] { ++m_lecturas[i]; });
        m_e[i]->abre({QStringLiteral("Cliente %1").arg(n)});
        return m_ok && QTest::qWaitFor([&] { return m_e[i]->iniciada(); }, kEspera) && lee(n);
    }
    bool lee(int n, int cuantas = 2)
    {
        QCoreApplication::processEvents();
        const int objetivo = m_lecturas[n - 1] + cuantas;
        return QTest::qWaitFor([&] { return m_lecturas[n - 1] >= objetivo; }, kEspera);
    }
    IndicadorSimulado& ind(int n) { return n == 1 ? m_sim.indicador() : m_b; }
    bool acumula(int n, quint32 total)
    {
        ind(n).setValor32(Indicador::kUlTotal, total);
        return lee(n);
    }
    bool escrito()
    {
        return QTest::qWaitFor([this] { return m_r[0]->pendientes() == 0 && m_r[1]->pendientes() == 0; }, kEspera);
    }
    bool cierra(int n)
    {
        EstacionPesaje& es = *m_e[n - 1];
        QSignalSpy listo(&es, &EstacionPesaje::listoParaCerrar);
        es.pideCierre();
        if (!listo.wait(kEspera))
            return false;
        es.cierra();
        return escrito();
    }

    DirectorioDePrueba m_dir;
    SimuladorEnHilo m_sim;
    IndicadorSimulado m_b;
    Contexto m_contexto;
    std::unique_ptr<Registrador> m_r[2];
    std::unique_ptr<EstacionPesaje> m_e[2];
    int m_lecturas[2] = {0, 0};
    bool m_ok = false;
};

} // namespace

class TstLineas : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void escritorioSobreElServicio();
    void initTestCase();
    void lineasDeLosAjustes();
    void lineasDelInstalador();
    void dosLineasEnUnBus();
    void ventanasDeLasLineas();
    void unaSolaLineaSinCambios();
    void opcionesPorLinea();
    void periodoQueElBusAguanta();
    void nombresLargosEnUnaPantallaChica();
    void lineaDieciseis();
    void colaDeLaLinea2Sola();
};

void TstLineas::initTestCase()
{
    MessageBox::setScripted(true);
}

void TstLineas::lineasDeLosAjustes()
{
    DirectorioDePrueba dir;
    // A settings file of a single-line workstation, as an earlier version
    // left it: one line, its files under their usual names.
    QVERIFY(escribeArchivo(dir.file(QStringLiteral("Tolvex.ini")),
                           "[Global]\r\nComunicacion_1=1.\r\nHost_1=10.0.0.5.\r\nID_1=3.\r\nTiempo=100.\r\n"));
    QCOMPARE(Lineas::lista().size(), 1);
    QVERIFY(!Lineas::varias());
    const Linea uno = Lineas::linea(1);
    QCOMPARE(uno.nombre, QStringLiteral("Línea 1"));
    QCOMPARE(uno.archivo(Diario::kJournal), QStringLiteral("Transac.dat"));
    QCOMPARE(uno.archivo(Registrador::kArchivo), QStringLiteral("Pendientes.dat"));
    QCOMPARE(uno.descripcion(), QStringLiteral("Línea 1"));

    // Edited by hand: lines 3 and 12 in another case, a gap, a key of line
    // 17 (beyond the limit), a blank name and a comment between them.
    QVERIFY(escribeArchivo(dir.file(QStringLiteral("Tolvex.ini")),
                           "[Global]\r\nComunicacion_1=1.\r\n; línea de la planta vieja\r\n"
                           "comunicacion_3=0.\r\nComm_3=/dev/ttyUSB0.\r\nID_3=4.\r\nNombre_3=  .\r\n"
                           "COMUNICACION_12=1.\r\nnombre_12=Molino \"\xd1\".\r\nComunicacion_17=1.\r\n"
                           "[Otra]\r\nComunicacion_5=1.\r\n"));
    const QVector<Linea> l = Lineas::lista();
    QCOMPARE(l.size(), 3);
    QCOMPARE(l[1].numero, 3);
    QCOMPARE(l[1].nombre, QStringLiteral("Línea 3"));
    QCOMPARE(l[2].numero, 12);
    QCOMPARE(l[2].nombre, QStringLiteral("Molino \"Ñ\""));
    QCOMPARE(l[2].descripcion(), QStringLiteral("Línea 12 (Molino \"Ñ\")"));
    QCOMPARE(l[2].archivo(Diario::kJournal), QStringLiteral("Transac_12.dat"));
    QCOMPARE(l[2].archivo(QStringLiteral("/x/y.z/UltimoTicket.dat")), QStringLiteral("/x/y.z/UltimoTicket_12.dat"));
    QCOMPARE(l[2].archivo(QStringLiteral("/x/y.z/Sin")), QStringLiteral("/x/y.z/Sin_12"));
    QVERIFY(Lineas::varias());
    // Each line reads its own keys; line 1's are untouched by the others'.
    const auto c3 = ConfigEnlace::lee(nullptr, nullptr, 3);
    QVERIFY(c3);
    QVERIFY(!c3->esTcp());
    QCOMPARE(c3->dispositivo, QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(int(c3->id), 4);
    QCOMPARE(int(ConfigEnlace::lee()->id), 0);

    // A wrong value names the line's own key.
    QVERIFY(Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("ID_12"), QStringLiteral("x")));
    QString error, detalle;
    QVERIFY(!ConfigEnlace::lee(&error, &detalle, 12));
    QCOMPARE(detalle, QStringLiteral("ID_12"));
    QVERIFY(ConfigEnlace::lee(&error, &detalle, 1));

    // Removing a line takes every key of it, in whatever case, and nothing else.
    QVERIFY(Lineas::quita(12, &error));
    const QByteArray despues = leeArchivo(dir.file(QStringLiteral("Tolvex.ini")));
    QVERIFY(!despues.toLower().contains("_12="));
    QVERIFY(despues.contains("; línea de la planta vieja") || despues.contains("; l\xednea de la planta vieja"));
    QVERIFY(despues.contains("Comunicacion_17=1."));
    QVERIFY(despues.contains("[Otra]\r\nComunicacion_5=1."));
    QCOMPARE(Lineas::lista().size(), 2);
    QVERIFY(!Lineas::quita(1, &error));
    QVERIFY(!Lineas::quita(12, &error));
    QVERIFY(error.contains(QStringLiteral("12")));
    // A line beyond the limit is no line, whatever the file says.
    QVERIFY(!Lineas::quita(17, &error));
    QVERIFY(leeArchivo(dir.file(QStringLiteral("Tolvex.ini"))).contains("Comunicacion_17=1."));
}

namespace {
LineaInstalada lineaInstalada(int n, const QString& nombre, const QString& tcp, const QString& serie, int id,
                              int decimales = -1)
{
    LineaInstalada l;
    l.numero = n;
    l.nombre = nombre;
    l.tcp = tcp;
    l.serie = serie;
    l.id = id;
    l.decimales = decimales;
    return l;
}
} // namespace

void TstLineas::lineasDelInstalador()
{
    QTemporaryDir tmp;
    Instalacion inst;
    inst.directorio = tmp.path();
    inst.tcp = QStringLiteral("127.0.0.1:502");
    QVERIFY2(inst.ejecutar(), qPrintable(inst.error));
    QString error;
    // A new line needs its link; a line of another number exists only once added.
    QVERIFY(!InstalacionLineas::agrega(tmp.path(), lineaInstalada(2, {}, {}, {}, -1), &error));
    QVERIFY(error.contains(QStringLiteral("--tcp")));
    QVERIFY(InstalacionLineas::agrega(tmp.path(), lineaInstalada(2, QStringLiteral("Tolva 'B'"), QStringLiteral("127.0.0.1:502"), {}, 2),
                                      &error));
    QVERIFY(InstalacionLineas::agrega(tmp.path(), lineaInstalada(4, {}, {}, QStringLiteral("/dev/ttyS3"), 7, 2),
                                      &error));
    QStringList l = InstalacionLineas::lista(tmp.path(), &error);
    QCOMPARE(l, QStringList({QStringLiteral("1\tLínea 1\ttcp 127.0.0.1:502\tid 0"),
                             QStringLiteral("2\tTolva 'B'\ttcp 127.0.0.1:502\tid 2"),
                             QStringLiteral("4\tLínea 4\tserie /dev/ttyS3\tid 7")}));
    // A new line has written no row yet.
    QCOMPARE(leeArchivo(QDir(tmp.path()).absoluteFilePath(QStringLiteral("UltimoTicket_4.dat"))).trimmed(),
             QByteArray("0"));
    // Changing a line changes only what is given.
    QVERIFY(InstalacionLineas::agrega(tmp.path(), lineaInstalada(2, {}, {}, {}, 9), &error));
    QVERIFY(InstalacionLineas::lista(tmp.path(), &error).contains(QStringLiteral("2\tTolva 'B'\ttcp 127.0.0.1:502\tid 9")));

    // Rows of a line still waiting for the database keep it.
    const QString cola = QDir(tmp.path()).absoluteFilePath(QStringLiteral("Pendientes_4.dat"));
    QVERIFY(escribeArchivo(cola, "{}\n"));
    QVERIFY(!InstalacionLineas::quita(tmp.path(), 4, &error));
    QVERIFY(error.contains(QStringLiteral("Pendientes_4.dat")));
    QCOMPARE(InstalacionLineas::lista(tmp.path(), &error).size(), 3);
    QVERIFY(QFile::remove(cola));
    QVERIFY(InstalacionLineas::quita(tmp.path(), 4, &error));
    QCOMPARE(InstalacionLineas::lista(tmp.path(), &error).size(), 2);

    // A directory never prepared is refused, not made.
    QVERIFY(InstalacionLineas::lista(tmp.path() + QStringLiteral("/nada"), &error).isEmpty());
    QVERIFY(error.contains(QStringLiteral("Tolvex.ini")));
    QVERIFY(!InstalacionLineas::agrega(tmp.path() + QStringLiteral("/nada"),
                                      lineaInstalada(2, {}, QStringLiteral("h:1"), {}, -1), &error));
    QVERIFY(!QFileInfo::exists(tmp.path() + QStringLiteral("/nada")));
}

void TstLineas::dosLineasEnUnBus()
{
    Bus b;
    b.ind(1).setValor32(Indicador::kUlTotal, 5000);
    b.ind(2).setValor32(Indicador::kUlTotal, 7000);
    QVERIFY(b.abre(1));
    QVERIFY(b.abre(2));
    QCOMPARE(b.m_e[1]->decimales(), 1);
    QCOMPARE(b.m_e[0]->decimales(), 0);
    // Batches on both lines, interleaved.
    QVERIFY(b.acumula(1, 5100));
    QVERIFY(b.acumula(2, 7300));
    QVERIFY(b.acumula(1, 5250));
    QVERIFY(b.acumula(2, 7700));
    QVERIFY(b.escrito());
    const auto f = filas();
    QCOMPARE(f.size(), 4);
    QList<int> lineas;
    QList<double> pesos;
    for (int i = 0; i < f.size(); ++i) {
        // Tickets unique and consecutive across the lines.
        QCOMPARE(f[i].value("TICKET").toLongLong(), qint64(i + 1));
        lineas << f[i].value("LINEA").toInt();
        pesos << f[i].value("PESO").toDouble();
        QCOMPARE(f[i].value("PUESTO").toString(), b.m_r[0]->puesto());
    }
    QCOMPARE(lineas, QList<int>({1, 2, 1, 2}));
    // Line 2's indicator shows one decimal: its own setting.
    QCOMPARE(pesos, QList<double>({100, 30, 150, 40}));
    // Each line's journal holds its own batches; each keeps its own last ticket.
    const QByteArray d1 = leeArchivo(b.m_dir.file(QStringLiteral("Transac.dat")));
    const QByteArray d2 = leeArchivo(b.m_dir.file(QStringLiteral("Transac_2.dat")));
    QVERIFY2(d1.contains("5100") && d1.contains("5250") && !d1.contains("730"), d1.constData());
    QVERIFY2(d2.contains("730") && d2.contains("770") && !d2.contains("5100"), d2.constData());
    QVERIFY(d1.contains("Cliente 1") && d2.contains("Cliente 2"));
    QCOMPARE(leeArchivo(b.m_dir.file(QStringLiteral("UltimoTicket.dat"))).trimmed(), QByteArray("3"));
    QCOMPARE(leeArchivo(b.m_dir.file(QStringLiteral("UltimoTicket_2.dat"))).trimmed(), QByteArray("4"));

    // A command on line 2 is audited as line 2's.
    QSignalSpy hecha(b.m_e[1].get(), &EstacionPesaje::operacionTerminada);
    b.m_e[1]->comando('Z', QStringLiteral("Cero"));
    QVERIFY(hecha.wait(kEspera));
    QVERIFY(b.escrito());
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        QVERIFY(db.AbreRegistro(QStringLiteral("SELECT COMANDO FROM %1").arg(Schema::kTablaComandos)));
        QVERIFY(db.PrimerRegistro());
        QCOMPARE(db.Campo(QStringLiteral("COMANDO")).toString(), QStringLiteral("Z Cero [Línea 2]"));
    }

    // Line 2's indicator falls silent: line 1 keeps reading and recording,
    // line 2 shows its fault.
    b.m_sim.fallosDe(2, {.mudo = true});
    QVERIFY(QTest::qWaitFor([&] { return !b.m_e[1]->estado().conectado; }, kEspera));
    QCOMPARE(b.m_e[1]->estado().marcha(), EstadoEstacion::Marcha::Falla);
    QVERIFY(b.acumula(1, 5400));
    QVERIFY(b.acumula(1, 5500));
    QTRY_COMPARE_WITH_TIMEOUT(filas(QStringLiteral("WHERE LINEA = 1")).size(), 4, kEspera);
    QVERIFY(b.m_e[0]->estado().conectado);

    // Closing line 1 marks line 1's last row, never line 2's.
    QVERIFY(b.cierra(1));
    QList<int> marcas;
    for (const auto& r : filas())
        marcas << r.value("OPCION1").toInt();
    QCOMPARE(marcas, QList<int>({0, 0, 0, 0, 0, 1}));
    // It answers again: line 2 comes back and its close marks its own row.
    b.m_sim.fallosDe(2, {});
    QVERIFY(QTest::qWaitFor([&] { return b.m_e[1]->estado().conectado; }, kEspera));
    QVERIFY(b.cierra(2));
    marcas.clear();
    for (const auto& r : filas())
        marcas << r.value("OPCION1").toInt();
    QCOMPARE(marcas, QList<int>({0, 0, 0, 1, 0, 1}));
    QVERIFY(!QFile::exists(b.m_dir.file(QStringLiteral("Pendientes_2.dat"))));
}

void TstLineas::ventanasDeLasLineas()
{
    Bus b;
    Programa::OperadorActual = QStringLiteral("ANA PÉREZ");
    Programa::NivelActual = QStringLiteral("Operador");
    frmMain principal;
    principal.carga();
    auto* panel = principal.findChild<PanelLineas*>(QStringLiteral("PanelLineas"));
    QVERIFY(panel);
    // Every line records from sign-in: its tile shows it live before any
    // station opens.
    QTRY_VERIFY_WITH_TIMEOUT(panel->textoDe(2).startsWith(QStringLiteral("2 Tolva B|")) &&
                                 panel->textoDe(2).contains(QStringLiteral(" kg|")),
                             kEspera);
    // One click on a tile opens that line's station (its data asked first).
    rellenaDatosAlAbrir({QStringLiteral("Cliente")});
    panel->findChild<QToolButton*>(QStringLiteral("Linea_2"))->click();
    QTRY_VERIFY_WITH_TIMEOUT(Estacion::ventana(2) && Estacion::ventana(2)->iniciada(), kEspera);
    frmPeso* ventana2 = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QStringLiteral("frmPeso_2"))
            ventana2 = qobject_cast<frmPeso*>(w);
    QVERIFY(ventana2);
    QCOMPARE(ventana2->windowTitle(), QStringLiteral("Pesar - Línea 2 (Tolva B)"));
    auto* tira = ventana2->findChild<PanelLineas*>();
    QVERIFY(tira);
    QTRY_VERIFY_WITH_TIMEOUT(tira->textoDe(2).contains(QStringLiteral(" kg|")), kEspera);
    QTRY_VERIFY_WITH_TIMEOUT(!tira->textoDe(1).endsWith(QStringLiteral("|Cerrada")), kEspera);
    // Ctrl+1 from line 2's window opens line 1.
    rellenaDatosAlAbrir({QStringLiteral("Cliente")});
    // The main window stays open with the same shortcuts: the station's
    // window must be the active one.
    QApplication::setActiveWindow(ventana2);
    QTRY_VERIFY_WITH_TIMEOUT(ventana2->isActiveWindow(), kEspera);
    QTest::keyClick(ventana2, Qt::Key_1, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(Estacion::ventana(1) && Estacion::ventana(1)->iniciada(), kEspera);
    QCOMPARE(Estacion::abiertas(), 2);
    // The main window, with the reports, stays available.
    QVERIFY(!principal.isHidden());
    // Closing a station leaves its line recording.
    Estacion::ventana(2)->cierraYa();
    QTRY_COMPARE_WITH_TIMEOUT(Estacion::abiertas(), 1, kEspera);
    QVERIFY(Estacion::estacion(2)->iniciada());
    QVERIFY(!principal.isHidden());
    Estacion::cerrar();
    QVERIFY(!Estacion::estacion(2));
}

void TstLineas::unaSolaLineaSinCambios()
{
    DirectorioDePrueba dir;
    qputenv("TOLVEX_HOME", dir.path().toLocal8Bit());
    QVERIFY(escribeArchivo(dir.file(QStringLiteral("Tolvex.ini")), "[Global]\r\nComunicacion_1=1.\r\n"));
    Programa::NivelActual = QStringLiteral("Operador");
    frmMain principal;
    principal.carga();
    QVERIFY(!principal.findChild<PanelLineas*>());
    Contexto c;
    frmPeso ventana(nullptr, nullptr, c, Lineas::linea(1));
    QCOMPARE(ventana.windowTitle(), QStringLiteral("Pesar"));
    QCOMPARE(ventana.objectName(), QStringLiteral("frmPeso"));
    QVERIFY(!ventana.findChild<PanelLineas*>());
    frmOptions f;
    QVERIFY(!f.ListaLinea->isVisibleTo(&f));
}

void TstLineas::opcionesPorLinea()
{
    DirectorioDePrueba dir;
    QVERIFY(escribeArchivo(dir.file(QStringLiteral("Tolvex.ini")),
                           "[Global]\r\nComunicacion_1=1.\r\nHost_1=10.0.0.1.\r\nPort_1=502.\r\nID_1=1.\r\n"
                           "Comunicacion_2=0.\r\nComm_2=/dev/ttyUSB1.\r\nBaudios_2=3.\r\nID_2=2.\r\n"
                           "Nombre_2=Tolva B.\r\n"));
    QVERIFY(Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Pass1"), QStringLiteral("Operario-1"), true));
    QVERIFY(Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Pass2"), QStringLiteral("Supervisor-1"), true));
    frmOptions f;
    f.show();
    QVERIFY(f.ListaLinea->isVisibleTo(&f));
    QCOMPARE(f.ListaLinea->count(), 2);
    QCOMPARE(f.ListaLinea->itemText(1), QStringLiteral("2 Tolva B"));
    QVERIFY(f.optTCP->isChecked());
    QCOMPARE(f.Txt_TCP_RemoteHost->text(), QStringLiteral("10.0.0.1"));
    // Line 2 shows its own port; what is changed on it stays with it.
    f.ListaLinea->setCurrentIndex(1);
    QVERIFY(f.optSerie->isChecked());
    QCOMPARE(f.ListaPuerto->currentText(), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(f.ListaBaudios->currentText(), QStringLiteral("9600"));
    QCOMPARE(f.LabelId0->text(), QStringLiteral("2"));
    f.HScrollId0->setValue(9);
    f.HScroll_DB->setValue(1);
    f.ListaLinea->setCurrentIndex(0);
    QCOMPARE(f.LabelId0->text(), QStringLiteral("1"));
    QCOMPARE(f.Txt_TCP_RemotePort->text(), QStringLiteral("502"));
    f.Txt_TCP_RemotePort->setText(QStringLiteral("1502"));
    f.ListaLinea->setCurrentIndex(1);
    QCOMPARE(f.LabelId0->text(), QStringLiteral("9"));
    f.cmdOK->click();
    QVERIFY(f.Aceptado);
    // Both lines written, each under its own keys; line 2 kept its device.
    const auto c1 = ConfigEnlace::lee(nullptr, nullptr, 1);
    const auto c2 = ConfigEnlace::lee(nullptr, nullptr, 2);
    QVERIFY(c1 && c2);
    QCOMPARE(c1->puerto, quint16(1502));
    QCOMPARE(int(c1->id), 1);
    QCOMPARE(int(c2->id), 9);
    QCOMPARE(c2->decimales, 1);
    QCOMPARE(c2->dispositivo, QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(c2->baudios, 9600);
    QVERIFY(!c2->esTcp());
    QCOMPARE(Lineas::linea(2).nombre, QStringLiteral("Tolva B"));
}

void TstLineas::periodoQueElBusAguanta()
{
    // Two indicators on one line at 9600 baud: a whole-state read of each
    // takes about 0.16 s of wire, so the bus cannot carry 100 ms for both.
    Bus b;
    QMetaObject::invokeMethod(&b.m_sim.servidor(), [&b] { b.m_sim.servidor().setBaudios(9600); },
                              Qt::BlockingQueuedConnection);
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Tiempo"), QStringLiteral("100"));
    Registrador r1(b.m_dir.path(), Contexto::programa(), nullptr, 1);
    Registrador r2(b.m_dir.path(), Contexto::programa(), nullptr, 2);
    QWidget principal;
    auto* v1 = new frmPeso(&principal, &r1, b.m_contexto, Lineas::linea(1));
    auto* v2 = new frmPeso(&principal, &r2, b.m_contexto, Lineas::linea(2));
    for (frmPeso* v : {v1, v2}) {
        rellenaDatosAlAbrir({QStringLiteral("Cliente")});
        v->inicia();
        QTRY_VERIFY_WITH_TIMEOUT(v->iniciada(), kEspera);
    }
    auto* periodo = v2->findChild<QLabel*>(QStringLiteral("Lbl_Periodo"));
    QVERIFY(periodo);
    QTRY_VERIFY_WITH_TIMEOUT(periodo->isVisibleTo(v2), kEspera);
    const QRegularExpression texto(QStringLiteral("^Lectura cada (\\d+) ms \\(configurado 100 ms\\)$"));
    const auto m = texto.match(periodo->text());
    QVERIFY2(m.hasMatch(), qPrintable(periodo->text()));
    QVERIFY(m.captured(1).toInt() > 100);
    QCOMPARE(v2->estacion()->periodoConfigurado(), 100);
    // The same bus with one indicator at full speed carries it again.
    v2->cierraYa();
    QMetaObject::invokeMethod(&b.m_sim.servidor(), [&b] { b.m_sim.servidor().setBaudios(0); },
                              Qt::BlockingQueuedConnection);
    auto* periodo1 = v1->findChild<QLabel*>(QStringLiteral("Lbl_Periodo"));
    QTRY_VERIFY2_WITH_TIMEOUT(!periodo1->isVisibleTo(v1),
                              qPrintable(QStringLiteral("%1; efectivo %2").arg(periodo1->text()).arg(v1->estacion()->periodoEfectivo())),
                              kEspera);
    v1->cierraYa();
}

void TstLineas::nombresLargosEnUnaPantallaChica()
{
    // Eight lines with long names typed by the plant: the overview, and a
    // station with it above, still fit a 1024x768 panel.
    DirectorioDePrueba dir;
    QByteArray ini = "[Global]\r\nComunicacion_1=1.\r\n";
    for (int n = 1; n <= 8; ++n)
        ini += QStringLiteral("Comunicacion_%1=1.\r\nNombre_%1=Tolva de premezcla de n\u00facleos vitam\u00ednicos %1.\r\n")
                   .arg(n)
                   .toLatin1();
    QVERIFY(escribeArchivo(dir.file(QStringLiteral("Tolvex.ini")), ini));
    QCOMPARE(Lineas::lista().size(), 8);
    PanelLineas panel;
    QVERIFY2(panel.minimumSizeHint().width() <= 1024, qPrintable(QString::number(panel.minimumSizeHint().width())));
    Contexto c;
    frmPeso ventana(nullptr, nullptr, c, Lineas::linea(8));
    QVERIFY(ventana.findChild<PanelLineas*>());
    QVERIFY2(ventana.minimumSizeHint().width() <= 1024 && ventana.minimumSizeHint().height() <= 768,
             qPrintable(QStringLiteral("%1x%2").arg(ventana.minimumSizeHint().width()).arg(ventana.minimumSizeHint().height())));
    QVERIFY(panel.textoDe(8).startsWith(QStringLiteral("8 Tolva de premezcla de núcleos vitamínicos 8|")));
}

namespace {
SalidaProceso herramienta(const char* nombre, const QStringList& args, const QString& cwd = {})
{
    return correProceso(qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/") + QLatin1String(nombre), args,
                        cwd);
}
} // namespace

// Line 16, the last one allowed, runs as any other: its settings read, its
// queue, journal and last ticket named for it, its indicator polled, its
// rows. Keys of line 17 in the same hand-edited file make no line, and the
// start, tolvex-setup and tolvex-diag say so.
void TstLineas::lineaDieciseis()
{
    Bus b;
    QMetaObject::invokeMethod(
        &b.m_sim.servidor(), [&b] { b.m_sim.servidor().agrega(b.m_b, 16); }, Qt::BlockingQueuedConnection);
    const QString puerto = QString::number(b.m_sim.puerto());
    guarda({{"Comunicacion_16", "1"}, {"Host_16", "127.0.0.1"}, {"Port_16", puerto}, {"ID_16", "16"},
            {"Decimales_16", "1"}, {"Nombre_16", "Última"}, {"Comunicacion_17", "1"}, {"ID_17", "17"}});
    const QVector<Linea> l = Lineas::lista();
    QCOMPARE(l.size(), 3);
    QCOMPARE(l.last().numero, 16);
    QCOMPARE(l.last().nombre, QStringLiteral("Última"));
    const auto c16 = ConfigEnlace::lee(nullptr, nullptr, 16);
    QVERIFY(c16);
    QCOMPARE(int(c16->id), 16);
    QCOMPARE(c16->decimales, 1);
    QCOMPARE(Lineas::fueraDeRango(), QStringList{QStringLiteral("17")});

    Registrador r(b.m_dir.path(), Contexto::programa(), nullptr, 16);
    r.setPausaMs(100);
    EstacionPesaje e(b.m_contexto, &r, nullptr, Lineas::linea(16));
    int lecturas = 0;
    QObject::connect(&e, &EstacionPesaje::estadoCambiado, &e, [&lecturas] { ++lecturas; });
    b.m_b.setValor32(Indicador::kUlTotal, 9000);
    e.abre({QStringLiteral("Cliente 16")});
    QVERIFY(QTest::qWaitFor([&] { return e.iniciada() && lecturas >= 2; }, kEspera));
    QVERIFY(e.estado().conectado);
    QCOMPARE(e.decimales(), 1);
    // A batch while the database is away waits in line 16's own queue.
    QVERIFY(QFile::rename(b.m_dir.file(QStringLiteral("data.db")), b.m_dir.file(QStringLiteral("aparte.db"))));
    b.m_b.setValor32(Indicador::kUlTotal, 9250);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(b.m_dir.file(QStringLiteral("Pendientes_16.dat"))), kEspera);
    QVERIFY(QFile::rename(b.m_dir.file(QStringLiteral("aparte.db")), b.m_dir.file(QStringLiteral("data.db"))));
    QTRY_COMPARE_WITH_TIMEOUT(filas().size(), 1, kEspera);
    QTRY_VERIFY_WITH_TIMEOUT(r.pendientes() == 0 && !QFile::exists(b.m_dir.file(QStringLiteral("Pendientes_16.dat"))),
                             kEspera);
    const QSqlRecord f = filas().constFirst();
    QCOMPARE(f.value("LINEA").toInt(), 16);
    QCOMPARE(f.value("PESO").toDouble(), 25.0);
    QVERIFY(leeArchivo(b.m_dir.file(QStringLiteral("Transac_16.dat"))).contains("Cliente 16"));
    QCOMPARE(leeArchivo(b.m_dir.file(QStringLiteral("UltimoTicket_16.dat"))).trimmed(), QByteArray("1"));
    for (const char* ajeno : {"Transac_17.dat", "Pendientes_17.dat", "UltimoTicket_17.dat", "Transac_1.dat"})
        QVERIFY2(!QFile::exists(b.m_dir.file(QLatin1String(ajeno))), ajeno);

    // The start tells the error log of line 17; the tools tell the installer.
    const QString aviso = QStringLiteral("Tolvex.ini nombra la línea 17, pero las líneas van de la 1 a la 16: se ignora.");
    QCOMPARE(Lineas::avisoFueraDeRango(), aviso);
    Programa::NivelActual = QStringLiteral("Operador");
    {
        frmMain principal;
        principal.carga();
        QVERIFY(Cp1252::decode(leeArchivo(b.m_dir.file(Diario::kLog))).contains(aviso));
        Estacion::cerrar();
    }
    const SalidaProceso lista = herramienta("tolvex-setup", {b.m_dir.path(), QStringLiteral("--lineas")});
    QVERIFY2(lista.code == 0, qPrintable(lista.err));
    QVERIFY2(lista.err.contains(QStringLiteral("tolvex-setup: aviso: ") + aviso), qPrintable(lista.err));
    QVERIFY(lista.out.contains(QStringLiteral("16\tÚltima\ttcp 127.0.0.1:%1\tid 16").arg(puerto)));
    QVERIFY(!lista.out.contains(QStringLiteral("17\t")));
    const SalidaProceso diag = herramienta("tolvex-diag", {QStringLiteral("read")}, b.m_dir.path());
    QVERIFY2(diag.err.contains(QStringLiteral("tolvex-diag: aviso: ") + aviso), qPrintable(diag.err));
    // Several, in order, and none once the file names none.
    guarda({{"Nombre_100", "x"}, {"id_0", "3"}});
    QCOMPARE(Lineas::fueraDeRango(), (QStringList{QStringLiteral("0"), QStringLiteral("17"), QStringLiteral("100")}));
    QVERIFY(Lineas::avisoFueraDeRango().contains(QStringLiteral("las líneas 0, 17 y 100, pero las líneas van de la 1 a la 16: se ignoran.")));
    IniFile ini;
    QVERIFY(ini.load(Config::rutaArchivo()));
    for (const char* k : {"Comunicacion_17", "ID_17", "Nombre_100", "id_0"})
        ini.removeKey(QStringLiteral("Global"), QLatin1String(k));
    QVERIFY(ini.save(Config::rutaArchivo()));
    QVERIFY(Lineas::avisoFueraDeRango().isEmpty());
    QVERIFY(herramienta("tolvex-setup", {b.m_dir.path(), QStringLiteral("--lineas")}).err.isEmpty());
}

// At start, a queue only line 2 left (no Pendientes.dat) is written without
// a station opening: its rows as line 2's, the temporaries a kill left
// beside line 2's and line 3's queues removed, nobody else's files touched.
void TstLineas::colaDeLaLinea2Sola()
{
    Bus b;
    guarda({{"Comunicacion_3", "1"}, {"Host_3", "127.0.0.1"}, {"Port_3", "1"}});
    const QString puesto = Puesto::de(b.m_dir.path());
    {
        ColaPendientes c(b.m_dir.file(QStringLiteral("Pendientes_2.dat")), puesto, 2);
        for (const double peso : {30.0, 45.0}) {
            Pendiente p;
            p.fecha = QDate(2026, 3, 2);
            p.hora = QTime(10, 0, int(peso));
            p.operador = QStringLiteral("ANA PÉREZ");
            p.aux = QStringList{QStringLiteral("Cliente 2"), {}, {}, {}, {}, {}};
            p.peso = peso;
            p.total = p.pTotal = 7000 + peso;
            QVERIFY(c.agrega(p));
        }
    }
    const QStringList restos{QStringLiteral("Pendientes_2.dat.tmp-Ab12Cd"), QStringLiteral("UltimoTicket_2.dat.tmp-zz9Y0q"),
                             QStringLiteral("Pendientes_3.dat.tmp-QQQQQQ")};
    const QStringList ajenos{QStringLiteral("Pendientes_13.dat.tmp-Ab12Cd"), QStringLiteral("Pendientes_2.dat.tmp-abc"),
                             QStringLiteral("Transac_2.dat.tmp-Ab12Cd"), QStringLiteral("Pendientes_2.dat.bak"),
                             QStringLiteral("Pendientes_2.dat.tmp-Ab12Cd7"),
                             QStringLiteral("xPendientes.dat.tmp-Ab12Cd")};
    for (const QString& f : restos + ajenos)
        QVERIFY(escribeArchivo(b.m_dir.file(f), "{\"tipo\":0}\n"));
    QVERIFY(!QFile::exists(b.m_dir.file(QStringLiteral("Pendientes.dat"))));

    Programa::NivelActual = QStringLiteral("Operador");
    frmMain principal;
    principal.carga();
    QTRY_COMPARE_WITH_TIMEOUT(filas().size(), 2, kEspera);
    QTRY_VERIFY_WITH_TIMEOUT(Estacion::pendientes() == 0 && !QFile::exists(b.m_dir.file(QStringLiteral("Pendientes_2.dat"))),
                             kEspera);
    QStringList vistas;
    for (const QSqlRecord& f : filas())
        vistas << QStringLiteral("%1 %2 %3").arg(f.value("LINEA").toInt()).arg(f.value("PESO").toDouble()).arg(f.value("PUESTO").toString());
    QCOMPARE(vistas, (QStringList{QStringLiteral("2 30 ") + puesto, QStringLiteral("2 45 ") + puesto}));
    QCOMPARE(leeArchivo(b.m_dir.file(QStringLiteral("UltimoTicket_2.dat"))).trimmed(), QByteArray("2"));
    QVERIFY(!QFile::exists(b.m_dir.file(QStringLiteral("Pendientes.dat"))));
    for (const QString& f : restos)
        QVERIFY2(!QFile::exists(b.m_dir.file(f)), qPrintable(f));
    for (const QString& f : ajenos)
        QVERIFY2(QFile::exists(b.m_dir.file(f)), qPrintable(f));
    Estacion::cerrar();
}

// The service holds the bus: the desktop program opens none, shows the
// service's lines and commands them through its channel, and its operator
// and data sign the rows the service writes. Closing says the service goes on.
void TstLineas::escritorioSobreElServicio()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSOperarios));
        QVERIFY(db.Ejecuta(QStringLiteral("INSERT INTO %1 (OPERADOR, PASSWORD, JERARQUIA) VALUES (?, ?, ?)")
                               .arg(Programa::DataTbOperarios),
                           {QStringLiteral("JUAN PÉREZ"), QStringLiteral("x"), QStringLiteral("Instalador")}));
    }
    b.ind().setValor32(Indicador::kUlTotal, 7000);
    QProcess servicio;
    QByteArray dicho;
    servicio.setProcessChannelMode(QProcess::MergedChannels);
    QObject::connect(&servicio, &QProcess::readyRead, &servicio, [&] { dicho += servicio.readAll(); });
    servicio.start(qEnvironmentVariable("TOLVEX_BIN_DIR") + QStringLiteral("/bin/tolvex-registro"), {b.dir().path()});
    QVERIFY2(QTest::qWaitFor([&] { return dicho.contains("canal "); }, 20000), dicho.constData());

    frmMain principal;
    principal.carga();
    QVERIFY(!Estacion::grabador());
    QVERIFY(Estacion::enServicio());
    QVERIFY(Estacion::quienRegistra().startsWith(QStringLiteral("tolvex-registro")));
    rellenaDatosAlAbrir({QStringLiteral("Cliente del escritorio")});
    Estacion::abrir(&principal, Contexto::programa(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(Estacion::ventana(1) && Estacion::ventana(1)->iniciada(), kEspera);
    frmPeso* v = Estacion::ventana(1);
    QVERIFY(!v->estacion()); // no engine in this process
    QTRY_COMPARE_WITH_TIMEOUT(v->findChild<QLabel*>(QStringLiteral("Label_Total"))->text(), QStringLiteral("7000"),
                              kEspera);
    // A batch: the service's row, signed by the desktop's operator and data.
    b.ind().setValor32(Indicador::kUlTotal, 7250);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 1, kEspera);
    QCOMPARE(b.filas()[0].value("OPERADOR").toString(), QStringLiteral("JUAN PÉREZ"));
    QCOMPARE(b.filas()[0].value("AUX1").toString(), QStringLiteral("Cliente del escritorio"));
    // A programming typed in the window reaches the indicator through the
    // channel, and comes back done (its end is the accumulator shown plus
    // the preset).
    QTRY_COMPARE_WITH_TIMEOUT(v->findChild<QLabel*>(QStringLiteral("Label_Total"))->text(), QStringLiteral("7250"),
                              kEspera);
    QTRY_VERIFY_WITH_TIMEOUT(v->findChild<QPushButton*>(QStringLiteral("Cmd_ProgEdit"))->isEnabled(), kEspera);
    v->findChild<QPushButton*>(QStringLiteral("Cmd_ProgEdit"))->click();
    const char* tecleado[] = {"300", "80", "90"};
    for (int i = 0; i < 3; ++i) {
        auto* t = v->findChild<QLineEdit*>(QStringLiteral("Txt_dat_%1").arg(i));
        t->clear();
        QTest::keyClicks(t, QLatin1String(tecleado[i]));
    }
    MessageBox::setNextAnswer(QMessageBox::Yes);
    v->findChild<QPushButton*>(QStringLiteral("Cmd_Prog"))->click();
    QTRY_VERIFY_WITH_TIMEOUT(v->findChild<QWidget*>(QStringLiteral("Fra_Arranque"))->isEnabled(), kEspera);
    QCOMPARE(valores32(b.ind(), {Indicador::kDespacho, Indicador::kCGrueso, Indicador::kCFino, Indicador::kTotalF}),
             (QList<quint32>{300, 80, 90, 7550}));
    // The window closes, the line records on; closing the program says so.
    MessageBox::setNextAnswer(QMessageBox::Yes);
    v->close();
    QTRY_VERIFY_WITH_TIMEOUT(!Estacion::ventana(1), kEspera);
    QVERIFY(MessageBox::ultimoTexto().contains(QStringLiteral("La línea sigue registrando los lotes")));
    b.ind().setValor32(Indicador::kUlTotal, 7600);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 2, kEspera);
    MessageBox::setNextAnswer(QMessageBox::Yes);
    QVERIFY(Estacion::confirmaCierre(&principal));
    QVERIFY(MessageBox::ultimoTexto().startsWith(QStringLiteral("El servicio de registro sigue registrando")));
    Estacion::cerrar();
    servicio.terminate();
    QVERIFY(servicio.waitForFinished(20000));
    QCOMPARE(servicio.exitCode(), 0);
}

QTEST_MAIN(TstLineas)
#include "tst_lineas.moc"

// The station window offscreen against the simulated indicator over TCP on
// loopback, recording into a real SQLite file.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QStatusBar>

#include "Diario.h"
#include "FrmDatos.h"
#include "Tendencia.h"
#include "Tolva.h"
#include "tst_station_comun.h"

class TestStation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { MessageBox::setScripted(true); }
    void puertoQueNoAbre();
    void lotesFilasYDiario();
    void estadosLamparasYErrores();
    void decimalesYPresetContinuo();
    void comandosLlegan();
    void programacionYReset();
    void enlaceCaidoYRecuperado();
    void cierreConIndicadorMudo();
    void datosAuxiliares();
    void puertoQueNoAbreDespuesDeLeer();
    void lecturaMasAnchaSeVeEntera();
    void tendenciaConLosNumerosDelEscritorio_data();
    void tendenciaConLosNumerosDelEscritorio();
};

namespace {

void serieInexistente()
{
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Comunicacion_1"), QStringLiteral("0"));
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Comm_1"),
                         QStringLiteral("/dev/tolvex-no-existe"));
}

} // namespace

void TestStation::puertoQueNoAbre()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    serieInexistente();
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), kEspera);
    QVERIFY(b.principal().isVisible());
    const auto cajas = MessageBox::mostrados();
    QCOMPARE(cajas.size(), 1);
    QCOMPARE(cajas[0].icono, MessageBox::Critico);
    QCOMPARE(cajas[0].titulo, QStringLiteral("Error!!!"));
    // The cause follows the described text, for the installer.
    QCOMPARE(cajas[0].texto, QStringLiteral("Error de validacion Nº 0.\nNo se pudo abrir el puerto.\n"
                                            "/dev/tolvex-no-existe: el puerto no existe."));
    QStringList lineas = b.archivo(QStringLiteral("Datos.log")).split(QStringLiteral("\r\n"));
    QVERIFY(lineas.value(3).startsWith(QStringLiteral("Fecha y Hora: ")));
    lineas.removeAt(3);
    QCOMPARE(lineas, (QStringList{"******************* Nuevo Error *******************", "Version 2.0.2", "0",
                                  "No se pudo abrir el puerto.", "Rutina: Form_Load (Formulario frmPeso)", "", ""}));
    // The journal header is written only after the link opened.
    QVERIFY(!QFile::exists(b.dir().file(QStringLiteral("Transac.dat"))));
}

void TestStation::lotesFilasYDiario()
{
    BancoEstacion b;
    b.ind().setValor32(Indicador::kUlTotal, 5000);
    const QStringList aux{QStringLiteral("Cliente Ñandú"), QStringLiteral("Camión AB 123"),
                          QString(80, u'x'), QStringLiteral("4"), QString(), QStringLiteral("seis")};
    QPointer<frmPeso> w = b.abreListo(aux);
    QVERIFY2(w && w->isVisible(), qPrintable(b.error()));
    QVERIFY(b.principal().isVisible()); // the main window stays available
    QCOMPARE(textoDe(b, "Label_Total"), QStringLiteral("5000"));
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEncendida);
    // The accumulator found at opening gives no row.
    QVERIFY(b.filas().isEmpty());

    b.ind().setValor32(Indicador::kUlTotal, 5250);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 1, kEspera);
    b.ind().setValor32(Indicador::kUlTotal, 5500);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 2, kEspera);
    // One reading whose accumulator pairs words from two moments (its two
    // registers come in two requests): never a row.
    const std::pair<quint16, quint16> rasgadas[] = {
        {Indicador::kUlTotal + 1, 1}, {Indicador::kUlTotal + 1, 0x8000}, {Indicador::kUlTotal, 0}};
    for (const auto& [registro, valor] : rasgadas) {
        b.ind().devuelveUnaVez(registro, valor);
        QVERIFY(b.esperaLecturas(4));
    }
    QCOMPARE(b.filas().size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, kEspera);

    auto f = b.filas();
    for (int i = 0; i < 6; ++i)
        QCOMPARE(f[0].value(QStringLiteral("AUX%1").arg(i + 1)).toString(), aux[i].left(70));
    // The row before a continuing batch is not a total.
    QCOMPARE(numeros(f[0], {"TICKET", "TOTAL", "PESO", "BACH", "PRESET", "OPCION1"}),
             (QList<double>{1, 5250, 250, 1000, 0, 0}));
    QCOMPARE(numeros(f[1], {"TICKET", "TOTAL", "PESO"}), (QList<double>{2, 5500, 250}));
    QCOMPARE(CDatos::aFecha(f[0].value("FECHA")), QDate::currentDate());
    QVERIFY(CDatos::aHora(f[0].value("HORA")).isValid());
    QCOMPARE(f[0].value("OPERADOR").toString(), QStringLiteral("JUAN PÉREZ"));
    QCOMPARE(f[0].value("INFO").toString(), QString());
    QCOMPARE(Config::LeeConfig(QString(), QStringLiteral("Ticket"), QString(), false, true),
             QStringLiteral("3"));

    // Closing: asked, then done by the next tick; the last row becomes a total.
    MessageBox::limpiar();
    MessageBox::setNextAnswer(QMessageBox::No);
    QVERIFY(!w->close());
    QVERIFY(b.esperaLecturas());
    QVERIFY(w && w->isVisible());
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QCOMPARE(MessageBox::mostrados()[0].titulo, QStringLiteral("Salir"));
    QCOMPARE(MessageBox::mostrados()[0].texto, QStringLiteral("Desea cerrar la ventana?"));
    QCOMPARE(MessageBox::mostrados()[0].porDefecto, QMessageBox::No);
    MessageBox::setNextAnswer(QMessageBox::Yes);
    QVERIFY(!w->close());
    QVERIFY(w);
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), kEspera);
    QVERIFY(b.principal().isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, kEspera);
    f = b.filas();
    QCOMPARE(f[1].value("OPCION1").toInt(), 1);
    QVERIFY(f[1].value("INFO").toString().startsWith(QStringLiteral(" -> TOTAL <- (")));
    QCOMPARE(f[0].value("OPCION1").toInt(), 0);

    // One journal line: header, two batches, closing bracket.
    const QString diario = b.archivo(QStringLiteral("Transac.dat"));
    QVERIFY(diario.endsWith(QStringLiteral("]\r\n")));
    QCOMPARE(diario.count(QStringLiteral("\r\n")), 1);
    QStringList campos = diario.chopped(3).split(u'*');
    QCOMPARE(campos.size(), 11 + 8);
    QCOMPARE(campos[0], u'[' + Diario::derecha(aux[0], 20));
    QCOMPARE(campos.mid(9, 2) + campos.mid(13, 2) + campos.mid(17, 2),
             (QStringList{"     0", "-Continuo-", "   250", "      5250", "   250", "      5500"}));
    QCOMPARE(Cp1252::encode(diario).count('\xD1'), 1); // Ñ as one byte
}

void TestStation::estadosLamparasYErrores()
{
    BancoEstacion b;
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    auto* tolva = b.control<DibujoTolva>(QStringLiteral("Pic_Tolva"));
    QVERIFY(tolva);
    QCOMPARE(textoDe(b, "Lbl_Estado"), QStringLiteral("STD. BY"));
    QCOMPARE(tolva->nivelActual(), 230);
    QVERIFY(!b.control<QWidget>(QStringLiteral("Shp_Chorro1"))->isVisible());
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Salida_1")), Lampara::kEncendida);
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Salida_7")), Lampara::kApagada);
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Entrada_7")), Lampara::kEncendida);
    QVERIFY(b.control<QWidget>(QStringLiteral("Cmd_Cero"))->isEnabled());
    QVERIFY(b.control<QWidget>(QStringLiteral("Fra1"))->isVisible());

    // Loading, coarse feed: 3 s at 200 kg/s give 600 kg of a 1000 kg batch.
    b.ind().comando('V');
    b.ind().avanza(3.0);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Lbl_Estado"), QStringLiteral("CARGA"));
    QCOMPARE(textoDe(b, "Label_Peso"), QStringLiteral("600"));
    QCOMPARE(tolva->nivelActual(), 230 - 42);
    QVERIFY(b.control<QWidget>(QStringLiteral("Shp_Chorro1"))->isVisible());
    QVERIFY(b.control<QWidget>(QStringLiteral("Shp_Chorro2"))->isVisible());
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Salida_2")), Lampara::kEncendida);
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Salida_1")), Lampara::kApagada);
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Salida_7")), Lampara::kEncendida);
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Entrada_2")), Lampara::kEncendida);
    // Out of stand-by the stand-by commands are off and the reset unchecked.
    QVERIFY(!b.control<QWidget>(QStringLiteral("Cmd_Cero"))->isEnabled());
    QVERIFY(!b.control<QWidget>(QStringLiteral("Cmd_Test"))->isEnabled());
    QVERIFY(!b.control<QWidget>(QStringLiteral("Cmd_ProgEdit"))->isEnabled());
    QVERIFY(!b.control<QCheckBox>(QStringLiteral("Chk_Habilitar"))->isChecked());
    QVERIFY(b.control<QWidget>(QStringLiteral("Cmd_Run"))->isEnabled());

    // Weighing, past the fine cut: full hopper, streams hidden.
    b.ind().avanza(7.0);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Lbl_Estado"), QStringLiteral("PESAJE"));
    QCOMPARE(tolva->nivelActual(), 160);
    QVERIFY(!b.control<QWidget>(QStringLiteral("Shp_Chorro1"))->isVisible());
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Salida_0")), Lampara::kEncendida);
    b.ind().avanza(1.0);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Lbl_Estado"), QStringLiteral("DESCARGA"));
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Salida_4")), Lampara::kEncendida);
    QCOMPARE(textoDe(b, "Label_Ciclos"), QStringLiteral("1"));
    b.ind().avanza(2.3);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Lbl_Estado"), QStringLiteral("DESTARE"));
    // The batch completed in discharge is recorded at the next poll in loading.
    QVERIFY(b.filas().isEmpty());
    b.ind().avanza(0.6);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 1, kEspera);
    QCOMPARE(textoDe(b, "Lbl_Estado"), QStringLiteral("CARGA"));
    QCOMPARE(b.filas()[0].value("PESO").toDouble(), 1000.0);
    b.ind().comando('X');

    // Error codes in the first panel.
    const std::pair<quint16, const char*> errores[] = {
        {3, "ERROR 3 - PROGRAMA: Grueso > Fino"}, {7, "ERROR 7"}, {60, "ERROR 60 - Ciclo Lento"}, {0, ""}};
    for (const auto& [codigo, texto] : errores) {
        b.ind().setRegistro(Indicador::kCError, codigo);
        QVERIFY(b.esperaLecturas());
        QCOMPARE(textoDe(b, "Panel1"), QLatin1String(texto));
    }

    // A negative weight leaves the hopper empty; test weight fills it.
    b.ind().setValor32(Indicador::kCFino, 0);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(tolva->nivelActual(), 230);
}

void TestStation::decimalesYPresetContinuo()
{
    BancoEstacion b(2);
    Programa::NivelActual = QStringLiteral("Operador");
    b.ind().setValor32(Indicador::kUlTotal, 123450);
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    QCOMPARE(textoDe(b, "Label_Total"), QStringLiteral("1234.50"));
    QCOMPARE(textoDe(b, "Label_Peso"), QStringLiteral("0.00"));
    QCOMPARE(textoDe(b, "Lbl_ing_2"), QStringLiteral("1000.00"));
    QVERIFY(!b.control<QWidget>(QStringLiteral("Fra1"))->isVisible());
    QVERIFY(!b.control<QWidget>(QStringLiteral("Fra_Preset"))->isEnabled());
    QVERIFY(!b.control<QWidget>(QStringLiteral("Label_Resto"))->isEnabled());
    b.ind().programa(500, 900, 1000);
    QVERIFY(b.esperaLecturas());
    QVERIFY(b.control<QWidget>(QStringLiteral("Fra_Preset"))->isEnabled());
    QCOMPARE(textoDe(b, "Label_Preset"), QStringLiteral("500.00"));
    QCOMPARE(textoDe(b, "Label_Resto"), QStringLiteral("500.00"));
    // A batch of 250.25 on 1234.50.
    b.ind().setValor32(Indicador::kUlTotal, 148475);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 1, kEspera);
    QCOMPARE(numeros(b.filas()[0], {"PESO", "TOTAL", "PRESET"}), (QList<double>{250.25, 1484.75, 500}));
    Programa::NivelActual = QStringLiteral("Instalador");
}

void TestStation::comandosLlegan()
{
    BancoEstacion b;
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    MessageBox::limpiar();
    auto click = [&](const char* nombre) { b.control<QPushButton>(QLatin1String(nombre))->click(); };

    // Test weight: the indicator shows a tenth of its capacity.
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Test");
    QCOMPARE(MessageBox::mostrados().last().titulo, QStringLiteral("Test Weigth"));
    QCOMPARE(MessageBox::mostrados().last().texto, QStringLiteral("Desea activar el Test Weigth?"));
    QCOMPARE(MessageBox::mostrados().last().porDefecto, QMessageBox::Yes);
    QTRY_VERIFY_WITH_TIMEOUT(b.ind().registro(Indicador::kSalidas) & (1 << 6), kEspera);
    QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "Label_Peso"), QStringLiteral("5000"), kEspera);
    // No: nothing is sent.
    const qint64 antes = b.sim().servidor().escrituras();
    MessageBox::setNextAnswer(QMessageBox::No);
    click("Cmd_Cero");
    QVERIFY(b.esperaLecturas());
    QCOMPARE(b.sim().servidor().escrituras(), antes);
    // Start, then cancel.
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Run");
    QCOMPARE(MessageBox::mostrados().last().texto,
             QStringLiteral("Desea enviar un Arranque / Parada al equipo?"));
    QTRY_VERIFY_WITH_TIMEOUT(b.ind().enMarcha(), kEspera);
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Cancel");
    QCOMPARE(MessageBox::mostrados().last().titulo, QStringLiteral("Cancel"));
    QTRY_VERIFY_WITH_TIMEOUT(!b.ind().enMarcha(), kEspera);
    // Cancel of the indicator's error from the status bar.
    b.ind().setRegistro(Indicador::kCError, 50);
    QVERIFY(b.esperaLecturas());
    MessageBox::setNextAnswer(QMessageBox::Yes);
    QTest::mouseClick(b.control<QLabel>(QStringLiteral("Panel1")), Qt::LeftButton);
    QCOMPARE(MessageBox::mostrados().last().texto, QStringLiteral("Desea cancelar el Error?"));
    QTRY_COMPARE_WITH_TIMEOUT(int(b.ind().registro(Indicador::kCError)), 0, kEspera);
    // Zero: with weight on the hopper it becomes the new zero.
    b.ind().comando('V');
    b.ind().avanza(1.0);
    b.ind().comando('X');
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Label_Peso"), QStringLiteral("200"));
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Cero");
    QCOMPARE(MessageBox::mostrados().last().titulo, QStringLiteral("Toma de Cero"));
    QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "Label_Peso"), QStringLiteral("0"), kEspera);

    // "500,5" where the indicator keeps whole kilograms: said, nothing sent,
    // the edit open on that field.
    const qint64 antes1 = b.sim().servidor().escrituras();
    click("Cmd_ProgEdit");
    auto* preset = b.control<QLineEdit>(QStringLiteral("Txt_dat_0"));
    preset->clear();
    QTest::keyClicks(preset, QStringLiteral("500,5"));
    MessageBox::limpiar();
    click("Cmd_Prog");
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QCOMPARE(MessageBox::mostrados()[0].texto, QStringLiteral("El valor de Despacho (Preset) debe ser un número entero"));
    QVERIFY(preset->isVisible() && preset->window()->focusWidget() == preset);
    QCOMPARE(b.sim().servidor().escrituras(), antes1);
    click("Cmd_ProgCancel");

    // A fine cut of 0 refuses the start without sending anything.
    b.ind().setValor32(Indicador::kCFino, 0);
    QVERIFY(b.esperaLecturas());
    const qint64 antes2 = b.sim().servidor().escrituras();
    MessageBox::limpiar();
    click("Cmd_Run");
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QCOMPARE(MessageBox::mostrados()[0].texto, QStringLiteral("Error en el valor de Bach"));
    QCOMPARE(MessageBox::mostrados()[0].icono, MessageBox::Exclamacion);
    QCOMPARE(b.sim().servidor().escrituras(), antes2);

    // A write the indicator does not answer shows the failure box.
    b.sim().fallos({.mudo = true});
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Cancel");
    QTRY_COMPARE_WITH_TIMEOUT(MessageBox::ultimoTexto(),
                              QStringLiteral("No se pudo realizar la operación"), kEspera);
    b.sim().fallos({});

    // Every command is in the audit table, with its result.
    QTRY_COMPARE_WITH_TIMEOUT(b.filas(QStringLiteral("Comandos"), QStringLiteral("ID")).size(), 6, kEspera);
    const auto c = b.filas(QStringLiteral("Comandos"), QStringLiteral("ID"));
    QCOMPARE(columna(c, "COMANDO"), (QStringList{"W Test Weigth", "V Arranque / Parada", "X Cancel",
                                                  "C Cancelar error", "Z Cero", "X Cancel"}));
    QCOMPARE(columna(c, "RESULTADO"), QStringList(5, QStringLiteral("Aceptado")) << QStringLiteral("No aceptado"));
    QCOMPARE(c[0].value("OPERADOR").toString(), QStringLiteral("JUAN PÉREZ"));
    QCOMPARE(CDatos::aFecha(c[0].value("FECHA")), QDate::currentDate());
}

void TestStation::programacionYReset()
{
    BancoEstacion b(1);
    b.ind().setValor32(Indicador::kUlTotal, 50000); // 5000.0
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    MessageBox::limpiar();
    auto* editar = b.control<QPushButton>(QStringLiteral("Cmd_ProgEdit"));
    auto* programar = b.control<QPushButton>(QStringLiteral("Cmd_Prog"));
    QLineEdit* txt[3];
    for (int i = 0; i < 3; ++i)
        txt[i] = b.control<QLineEdit>(QStringLiteral("Txt_dat_%1").arg(i));
    QVERIFY(!txt[0]->isVisible() && !programar->isVisible());
    editar->click();
    QVERIFY(txt[0]->isVisible() && programar->isVisible() && !editar->isVisible());
    QCOMPARE(txt[2]->text(), QStringLiteral("1000.0"));

    // Typed as an operator would, the comma as separator.
    const char* tecleado[] = {"12,5", "80", "92.5"};
    for (int i = 0; i < 3; ++i) {
        txt[i]->clear();
        QTest::keyClicks(txt[i], QLatin1String(tecleado[i]));
    }

    // Answered No: the edit stays open.
    MessageBox::setNextAnswer(QMessageBox::No);
    programar->click();
    QCOMPARE(MessageBox::mostrados().last().titulo, QStringLiteral("Programación"));
    QVERIFY(txt[0]->isVisible());
    MessageBox::setNextAnswer(QMessageBox::Yes);
    programar->click();
    QVERIFY(!b.control<QWidget>(QStringLiteral("Fra_Arranque"))->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(b.control<QWidget>(QStringLiteral("Fra_Arranque"))->isEnabled(), kEspera);
    QCOMPARE(valores32(b.ind(), {Indicador::kDespacho, Indicador::kCGrueso, Indicador::kCFino, Indicador::kTotalF}),
             (QList<quint32>{125, 800, 925, 50125}));
    QVERIFY(!txt[0]->isVisible() && editar->isVisible() && !programar->isVisible());

    // Programming outside stand-by is refused.
    b.ind().comando('V');
    QVERIFY(b.esperaLecturas());
    QVERIFY(!editar->isEnabled());
    programar->click();
    QCOMPARE(MessageBox::ultimoTexto(), QStringLiteral("El equipo no esta en Std. By"));
    b.ind().comando('X');
    QVERIFY(b.esperaLecturas());

    // General reset: the check box enables it; four writes of zeros.
    b.ind().setValor32(Indicador::kTotal, 777);
    b.ind().setValor32(Indicador::kCCiclos, 9);
    auto* chk = b.control<QCheckBox>(QStringLiteral("Chk_Habilitar"));
    auto* reset = b.control<QPushButton>(QStringLiteral("Cmd_Reset"));
    QVERIFY(!reset->isEnabled());
    chk->setChecked(true);
    QVERIFY(reset->isEnabled());
    chk->setChecked(false);
    QVERIFY(!reset->isEnabled());
    chk->setChecked(true);
    MessageBox::setNextAnswer(QMessageBox::Yes);
    reset->click();
    QCOMPARE(MessageBox::mostrados().last().texto,
             QStringLiteral("Desea Resetear el indicador y poner a Cero el Totalizador y el Preset?"));
    QTRY_VERIFY_WITH_TIMEOUT(b.control<QWidget>(QStringLiteral("Fra_Arranque"))->isEnabled(), kEspera);
    QCOMPARE(valores32(b.ind(), {Indicador::kDespacho, Indicador::kUlTotal, Indicador::kCCiclos, Indicador::kTotal}),
             QList<quint32>(4, 0));
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Label_Total"), QStringLiteral("0.0"));
    // The reset to 0 gives no row.
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, kEspera);
    QVERIFY(b.filas().isEmpty());
    const auto c = b.filas(QStringLiteral("Comandos"), QStringLiteral("ID"));
    QCOMPARE(columna(c, "COMANDO"), (QStringList{"Programar", "Reset"}));
    QCOMPARE(columna(c, "RESULTADO"), (QStringList{"Aceptado", "Aceptado"}));
}

void TestStation::enlaceCaidoYRecuperado()
{
    BancoEstacion b;
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    // Readings that keep coming never make the poll watch say the indicator
    // is silent. Thirty readings take at least 1.2 s, well past the watch's
    // 0.69 s: a reading that did not restart it would be seen.
    QSignalSpy sinRespuesta(w->estacion(), &EstacionPesaje::sinRespuesta);
    QVERIFY(b.esperaLecturas(30));
    QCOMPARE(sinRespuesta.size(), 0);
    QCOMPARE(textoDe(b, "Panel1"), QString());
    b.control<QPushButton>(QStringLiteral("Cmd_ProgEdit"))->click();
    QVERIFY(b.control<QPushButton>(QStringLiteral("Cmd_Prog"))->isEnabled());
    b.sim().fallos({.mudo = true});
    // While the six reads are still being tried the screen says the values
    // are no longer live, then gives up with the red lamp.
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEspera, kEspera);
    QCOMPARE(textoDe(b, "Panel1"), frmPeso::kSinRespuesta);
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kFalla, kEspera);
    QCOMPARE(w->ultimosIntentos(), 6);
    QCOMPARE(textoDe(b, "Panel1"), QStringLiteral("Error de conexion"));
    QCOMPARE(textoDe(b, "Label_Total"), QStringLiteral("0"));
    QVERIFY(w->ticksOmitidos() > 0); // ticks during the long poll were skipped
    // Nothing on the screen is live: the values are grey and what needs the
    // indicator cannot be asked for, cancelling its error neither; the edit
    // that was open can still be cancelled.
    auto habilitados = [&](const QStringList& nombres) {
        QStringList v;
        for (const QString& n : nombres)
            v << QStringLiteral("%1=%2").arg(n).arg(b.control<QWidget>(n)->isEnabled());
        return v.join(u' ');
    };
    const QStringList vivos = {"Label_Peso", "Label_Total", "Label_Ciclos", "Label_Caudal", "Lbl_ing_0",
                               "Cmd_Run", "Cmd_Cero", "Cmd_Cancel", "Cmd_Test", "Cmd_Prog", "Chk_Habilitar"};
    auto todos = [&](bool valor) {
        QStringList v;
        for (const QString& n : vivos)
            v << QStringLiteral("%1=%2").arg(n).arg(valor);
        return v.join(u' ');
    };
    QCOMPARE(habilitados(vivos), todos(false));
    QVERIFY(b.control<QPushButton>(QStringLiteral("Cmd_ProgCancel"))->isEnabled());
    // The retries of a silent indicator are not the bus's cadence.
    QVERIFY(b.control<QLabel>(QStringLiteral("Lbl_Periodo"))->isHidden());
    MessageBox::limpiar();
    QTest::mouseClick(b.control<QLabel>(QStringLiteral("Panel1")), Qt::LeftButton);
    QVERIFY(MessageBox::mostrados().isEmpty());
    // Once down, the link stays red through the next whole poll: never amber.
    const qint64 desde = b.sim().servidor().pedidos();
    QStringList vistos;
    int muestras = 0;
    while (b.sim().servidor().pedidos() < desde + 20) {
        QTest::qWait(10);
        ++muestras;
        if (colorDe(b, QStringLiteral("Shape_Estado")) != Lampara::kFalla ||
            textoDe(b, "Panel1") != QStringLiteral("Error de conexion"))
            vistos << textoDe(b, "Panel1");
    }
    QVERIFY2(vistos.isEmpty(), qPrintable(QStringLiteral("%1 of %2: ").arg(vistos.size()).arg(muestras) +
                                          vistos.join(u'|')));
    // The indicator comes back, and after a dropped connection too.
    b.sim().fallos({});
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEncendida, kEspera);
    QCOMPARE(textoDe(b, "Panel1"), QString());
    QCOMPARE(habilitados(vivos), todos(true)); // in stand-by, as it was
    b.sim().desconecta();
    b.ind().setValor32(Indicador::kUlTotal, 100);
    QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "Label_Total"), QStringLiteral("100"), kEspera);
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEncendida);
}

void TestStation::cierreConIndicadorMudo()
{
    BancoEstacion b;
    frmPeso::setAjusteEnlace([](ConfigEnlace& c) { c.esperaMs = 2000; });
    QPointer<frmPeso> w = b.abreListo();
    QVERIFY2(w, qPrintable(b.error()));
    b.sim().fallos({.mudo = true});
    // A poll of six silent reads now takes 36 s; closing must not wait for it.
    static_assert(kEspera < 36000, "a wait that outlasts the poll cannot tell");
    const qint64 omitidos = w->ticksOmitidos();
    QTRY_VERIFY_WITH_TIMEOUT(w->ticksOmitidos() > omitidos + 2, kEspera);
    MessageBox::setNextAnswer(QMessageBox::Yes);
    QVERIFY(!w->close());
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), kEspera);
    QVERIFY(b.principal().isVisible());
    QVERIFY(b.archivo(QStringLiteral("Transac.dat")).endsWith(QStringLiteral("]\r\n")));
}

void TestStation::datosAuxiliares()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    {
        // Default captions; all six asked.
        FrmDatos d;
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(d.findChild<QLabel*>(QStringLiteral("Lbl_Dato_%1").arg(i))->text(),
                     QStringLiteral("Dato %1:").arg(i));
            QVERIFY(!d.findChild<QLineEdit*>(QStringLiteral("Txt_Dato_%1").arg(i))->isHidden());
        }
    }
    // A blank caption hides its box and gives an empty value.
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato2"), QString());
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato0"), QStringLiteral("Lote:"));
    QStringList v;
    rellenaDatosAlAbrir({QStringLiteral("L-1"), QStringLiteral("b"), QStringLiteral("oculto")});
    QVERIFY(FrmDatos::PideDatos(nullptr, &v));
    QCOMPARE(v, (QStringList{QStringLiteral("L-1"), QStringLiteral("b"), QString(), QString(),
                             QString(), QString()}));
    // Enter moves to the next box.
    {
        FrmDatos d;
        d.show();
        auto* t0 = d.findChild<QLineEdit*>(QStringLiteral("Txt_Dato_0"));
        t0->setFocus();
        QTest::keyClick(t0, Qt::Key_Return);
        QVERIFY(d.isVisible());
        QVERIFY(!t0->hasFocus());
    }
    // Cancelled: six empty values, false, and the station closes at once.
    rellenaDatosAlAbrir({QStringLiteral("x")}, false);
    QVERIFY(!FrmDatos::PideDatos(nullptr, &v));
    QCOMPARE(v, QStringList(6, QString()));
    MessageBox::limpiar();
    QPointer<frmPeso> w = b.abre({}, false);
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), kEspera);
    QVERIFY(MessageBox::mostrados().isEmpty());
    // With several lines the dialog says whose station asks: line 3's.
    for (const QString& base : Lineas::clavesBase())
        Config::GuardaConfig(QStringLiteral("Global"), base + QStringLiteral("_3"),
                             Config::LeeConfig(QStringLiteral("Global"), base + QStringLiteral("_1"), QString()));
    Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Nombre_3"), QStringLiteral("Molino"));
    QCOMPARE(Lineas::lista().size(), 2);
    QStringList titulos;
    auto* t = new QTimer(this);
    connect(t, &QTimer::timeout, t, [t, &titulos] {
        auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!d || d->objectName() != u"FrmDatos")
            return;
        titulos << d->windowTitle() << d->findChild<QGroupBox*>(QStringLiteral("Frame1"))->title();
        d->findChild<QPushButton*>(QStringLiteral("CmdCancelDato"))->click();
        t->deleteLater();
    });
    t->start(10);
    QPointer<frmPeso> tres = new frmPeso(&b.principal(), &b.registrador(), Contexto::programa(), Lineas::lista().last());
    tres->inicia();
    QTRY_VERIFY_WITH_TIMEOUT(tres.isNull(), kEspera);
    QCOMPARE(titulos, (QStringList{QStringLiteral("Datos - Línea 3 (Molino)"), QStringLiteral("Línea 3 (Molino)")}));
    // All captions blank: accepted without showing anything.
    for (int i = 0; i < 6; ++i)
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), QStringLiteral("  "));
    QVERIFY(FrmDatos::PideDatos(nullptr, &v));
    QCOMPARE(v, QStringList(6, QString()));
}

void TestStation::puertoQueNoAbreDespuesDeLeer()
{
    // The line polled successfully before its link was closed: the number
    // is now 422, and an opening that fails says so.
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    {
        EstacionPesaje e(Contexto::programa(), &b.registrador());
        QStringList fallos;
        connect(&e, &EstacionBase::fallo, this, [&](const QString& t) { fallos << t; });
        e.abre();
        QTRY_VERIFY_WITH_TIMEOUT(e.iniciada() && e.estado().conectado, kEspera);
        QCOMPARE(e.memoria().NroError, 422);
        e.cierra();
        serieInexistente();
        e.abre();
        QTRY_COMPARE_WITH_TIMEOUT(fallos.size(), 1, kEspera);
        QVERIFY2(fallos[0].startsWith(QStringLiteral("Error de validacion Nº 422.\nNo se pudo abrir el puerto.\n")),
                 qPrintable(fallos[0]));
        QCOMPARE(e.falloApertura(), fallos[0]);
    }
    QPointer<frmPeso> w;
    QCOMPARE(b.archivo(QStringLiteral("Datos.log")).split(QStringLiteral("\r\n"))[2],
             QStringLiteral("422"));
    // Invalid number settings are a data reference error.
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Comunicacion_1"), QStringLiteral("1"));
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Tiempo"), QStringLiteral("rápido"));
    w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), kEspera);
    // A window's own engine has not read yet: its number is still 0.
    QCOMPARE(MessageBox::ultimoTexto(),
             QStringLiteral("Error de validacion Nº 0.\nLa referencia de datos es incorrecta."));
    QCOMPARE(b.archivo(QStringLiteral("Datos.log")).count(QStringLiteral("Nuevo Error")), 2);
}

// The displays keep their size between readings; the widest values the
// indicator's registers can hold must still show whole.
void TestStation::lecturaMasAnchaSeVeEntera()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), kEspera);
    QVERIFY(b.esperaLecturas());
    const QSize antes = w->size();
    b.ind().setValor32(Indicador::kPeso, 0x80000000u);
    for (quint16 r : {Indicador::kDespacho, Indicador::kResto, Indicador::kCaudal, Indicador::kCCiclos,
                      Indicador::kUlTotal})
        b.ind().setValor32(r, 0xffffffffu);
    QVERIFY(b.esperaLecturas(3));
    QTest::qWait(50); // the layout's own pass
    const std::pair<const char*, const char*> visores[] = {
        {"Label_Peso", "-2147483648"},  {"Label_Total", "4294967295"}, {"Label_Preset", "4294967295"},
        {"Label_Resto", "4294967295"}, {"Label_Caudal", "4294967295"}, {"Label_Ciclos", "4294967295"}};
    for (const auto& [nombre, texto] : visores) {
        auto* l = b.control<QLabel>(QLatin1String(nombre));
        QVERIFY(l);
        QCOMPARE(l->text(), QLatin1String(texto));
        // Qt's own measure of the text with the same style.
        QLabel medida(QLatin1String(texto), l->parentWidget());
        medida.setStyleSheet(l->styleSheet());
        medida.setAlignment(l->alignment());
        medida.ensurePolished();
        QVERIFY2(l->width() >= medida.sizeHint().width(),
                 qPrintable(QStringLiteral("%1: %2 < %3").arg(QLatin1String(nombre)).arg(l->width())
                                .arg(medida.sizeHint().width())));
        // Whole inside its frame, and the frame inside the window.
        QVERIFY2(l->parentWidget()->contentsRect().contains(l->geometry()), nombre);
        const QRect marco(l->parentWidget()->mapTo(w, QPoint(0, 0)), l->parentWidget()->size());
        QVERIFY2(w->rect().contains(marco), nombre);
    }
    QVERIFY(w->width() > antes.width());
}

// The chart's axes in the desktop's own numbers.
void TestStation::tendenciaConLosNumerosDelEscritorio_data()
{
    QTest::addColumn<QString>("localidad");
    QTest::addColumn<QStringList>("caudal");
    QTest::newRow("es_ES") << QStringLiteral("es_ES") << QStringList{"0", "0,25", "0,5", "0,75", "1"};
    QTest::newRow("en_US") << QStringLiteral("en_US") << QStringList{"0", "0.25", "0.5", "0.75", "1"};
}

void TestStation::tendenciaConLosNumerosDelEscritorio()
{
    QFETCH(QString, localidad);
    QFETCH(QStringList, caudal);
    const QLocale antes;
    QLocale::setDefault(QLocale(localidad));
    const auto restaura = qScopeGuard([antes] { QLocale::setDefault(antes); });
    Tendencia t;
    t.resize(400, 200);
    t.show();
    t.agrega(150, 0.9);
    QCOMPARE(t.rotulos(true), caudal);
    QCOMPARE(t.rotulos(false), (QStringList{"0", "50", "100", "150", "200"}));
}

QTEST_MAIN(TestStation)
#include "tst_station.moc"

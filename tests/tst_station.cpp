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
    void capturas();
    void lecturaMasAnchaSeVeEntera();

private:
    void capturasManual(const QString& destino);
};

namespace {

QString textoDe(BancoEstacion& b, const char* nombre)
{
    auto* l = b.control<QLabel>(QLatin1String(nombre));
    return l ? l->text() : QStringLiteral("<sin %1>").arg(QLatin1String(nombre));
}

QColor colorDe(BancoEstacion& b, const QString& nombre)
{
    auto* l = b.control<Lampara>(nombre);
    return l ? l->color() : QColor();
}

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
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 5000);
    QVERIFY(b.principal().isVisible());
    const auto cajas = MessageBox::mostrados();
    QCOMPARE(cajas.size(), 1);
    QCOMPARE(cajas[0].icono, MessageBox::Critico);
    QCOMPARE(cajas[0].titulo, QStringLiteral("Error!!!"));
    // The cause follows the described text, for the installer.
    QCOMPARE(cajas[0].texto, QStringLiteral("Error de validacion Nº 0.\nNo se pudo abrir el puerto.\n"
                                            "/dev/tolvex-no-existe: el puerto no existe."));
    const QStringList lineas = b.archivo(QStringLiteral("Datos.log")).split(QStringLiteral("\r\n"));
    QCOMPARE(lineas.size(), 8);
    QCOMPARE(lineas[0], QStringLiteral("******************* Nuevo Error *******************"));
    QCOMPARE(lineas[1], QStringLiteral("Version 2.0.2"));
    QCOMPARE(lineas[2], QStringLiteral("0"));
    QVERIFY(lineas[3].startsWith(QStringLiteral("Fecha y Hora: ")));
    QCOMPARE(lineas[4], QStringLiteral("No se pudo abrir el puerto."));
    QCOMPARE(lineas[5], QStringLiteral("Rutina: Form_Load (Formulario frmPeso)"));
    QCOMPARE(lineas[6], QString());
    QCOMPARE(lineas[7], QString());
    // The journal header is written only after the link opened.
    QVERIFY(!QFile::exists(b.dir().file(QStringLiteral("Transac.dat"))));
}

void TestStation::lotesFilasYDiario()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    b.ind().setValor32(Indicador::kUlTotal, 5000);
    const QStringList aux{QStringLiteral("Cliente Ñandú"), QStringLiteral("Camión AB 123"),
                          QString(80, u'x'), QStringLiteral("4"), QString(), QStringLiteral("seis")};
    QPointer<frmPeso> w = b.abre(aux);
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada() && w->isVisible(), 5000);
    QVERIFY(!b.principal().isVisible());
    QCOMPARE(w->windowTitle(), QStringLiteral("Pesar"));
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Label_Total"), QStringLiteral("5000"));
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEncendida);
    // The accumulator found at opening gives no row.
    QVERIFY(b.filas().isEmpty());

    b.ind().setValor32(Indicador::kUlTotal, 5250);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 1, 5000);
    b.ind().setValor32(Indicador::kUlTotal, 5500);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 2, 5000);
    // One reading whose accumulator pairs words from two moments (its two
    // registers come in two requests): never a row.
    const std::pair<quint16, quint16> rasgadas[] = {
        {Indicador::kUlTotal + 1, 1}, {Indicador::kUlTotal + 1, 0x8000}, {Indicador::kUlTotal, 0}};
    for (const auto& [registro, valor] : rasgadas) {
        b.ind().devuelveUnaVez(registro, valor);
        QVERIFY(b.esperaLecturas(4));
    }
    QCOMPARE(b.filas().size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, 5000);

    auto f = b.filas();
    QCOMPARE(f[0].value("TICKET").toLongLong(), 1);
    QCOMPARE(f[1].value("TICKET").toLongLong(), 2);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(f[0].value(QStringLiteral("AUX%1").arg(i + 1)).toString(), aux[i].left(70));
    QCOMPARE(f[0].value("TOTAL").toDouble(), 5250.0);
    QCOMPARE(f[0].value("PESO").toDouble(), 250.0);
    QCOMPARE(f[1].value("TOTAL").toDouble(), 5500.0);
    QCOMPARE(f[1].value("PESO").toDouble(), 250.0);
    QCOMPARE(f[0].value("BACH").toDouble(), 1000.0);
    QCOMPARE(f[0].value("PRESET").toDouble(), 0.0);
    QCOMPARE(CDatos::aFecha(f[0].value("FECHA")), QDate::currentDate());
    QVERIFY(CDatos::aHora(f[0].value("HORA")).isValid());
    QCOMPARE(f[0].value("OPERADOR").toString(), QStringLiteral("JUAN PÉREZ"));
    // The row before a continuing batch is not a total.
    QCOMPARE(f[0].value("OPCION1").toInt(), 0);
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
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 5000);
    QVERIFY(b.principal().isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, 5000);
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
    QCOMPARE(campos[1], Diario::derecha(aux[1], 30));
    QCOMPARE(campos[2], aux[2].left(70));
    QCOMPARE(campos[4], QString(20, u' '));
    QCOMPARE(campos[5], Diario::derecha(aux[5], 70));
    QCOMPARE(campos[9], QStringLiteral("     0"));
    QCOMPARE(campos[10], QStringLiteral("-Continuo-"));
    QCOMPARE(campos[13], QStringLiteral("   250"));
    QCOMPARE(campos[14], QStringLiteral("      5250"));
    QCOMPARE(campos[17], QStringLiteral("   250"));
    QCOMPARE(campos[18], QStringLiteral("      5500"));
    QCOMPARE(Cp1252::encode(diario).count('\xD1'), 1); // Ñ as one byte

    // Reopening and closing again without batches marks the same row twice;
    // a batch continuing the accumulator after the next opening unmarks it.
    w = b.abre(aux);
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    QVERIFY(b.esperaLecturas());
    MessageBox::setNextAnswer(QMessageBox::Yes);
    w->close();
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, 5000);
    QCOMPARE(b.filas()[1].value("INFO").toString().count(QStringLiteral("TOTAL")), 2);
    w = b.abre(aux);
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    QVERIFY(b.esperaLecturas());
    b.ind().setValor32(Indicador::kUlTotal, 5800);
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 3, 5000);
    f = b.filas();
    QCOMPARE(f[1].value("OPCION1").toInt(), 0);
    QCOMPARE(f[1].value("INFO").toString(), QString());
    QCOMPARE(f[2].value("PESO").toDouble(), 300.0);
}

void TestStation::estadosLamparasYErrores()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    QVERIFY(b.esperaLecturas());
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
    QCOMPARE(textoDe(b, "Lbl_Salida_6"), QStringLiteral("Test Weigth"));
    QCOMPARE(textoDe(b, "Lbl_Entrada_5"), QStringLiteral("Arranque / Par."));

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
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 1, 5000);
    QCOMPARE(textoDe(b, "Lbl_Estado"), QStringLiteral("CARGA"));
    QCOMPARE(b.filas()[0].value("PESO").toDouble(), 1000.0);
    b.ind().comando('X');

    // Error codes in the first panel.
    auto* panel = b.control<QLabel>(QStringLiteral("Panel1"));
    b.ind().setRegistro(Indicador::kCError, 3);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(panel->text(), QStringLiteral("ERROR 3 - PROGRAMA: Grueso > Fino"));
    b.ind().setRegistro(Indicador::kCError, 7);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(panel->text(), QStringLiteral("ERROR 7"));
    b.ind().setRegistro(Indicador::kCError, 60);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(panel->text(), QStringLiteral("ERROR 60 - Ciclo Lento"));
    b.ind().setRegistro(Indicador::kCError, 0);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(panel->text(), QString());

    // A negative weight leaves the hopper empty; test weight fills it.
    b.ind().setValor32(Indicador::kCFino, 0);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(tolva->nivelActual(), 230);
}

void TestStation::decimalesYPresetContinuo()
{
    BancoEstacion b(2);
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    Programa::NivelActual = QStringLiteral("Operador");
    b.ind().setValor32(Indicador::kUlTotal, 123450);
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    QVERIFY(b.esperaLecturas());
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
    QTRY_COMPARE_WITH_TIMEOUT(b.filas().size(), 1, 5000);
    QCOMPARE(b.filas()[0].value("PESO").toDouble(), 250.25);
    QCOMPARE(b.filas()[0].value("TOTAL").toDouble(), 1484.75);
    QCOMPARE(b.filas()[0].value("PRESET").toDouble(), 500.0);
    Programa::NivelActual = QStringLiteral("Instalador");
}

void TestStation::comandosLlegan()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    QVERIFY(b.esperaLecturas());
    MessageBox::limpiar();
    auto click = [&](const char* nombre) { b.control<QPushButton>(QLatin1String(nombre))->click(); };

    // Test weight: the indicator shows a tenth of its capacity.
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Test");
    QCOMPARE(MessageBox::mostrados().last().titulo, QStringLiteral("Test Weigth"));
    QCOMPARE(MessageBox::mostrados().last().texto, QStringLiteral("Desea activar el Test Weigth?"));
    QCOMPARE(MessageBox::mostrados().last().porDefecto, QMessageBox::Yes);
    QTRY_VERIFY_WITH_TIMEOUT(b.ind().registro(Indicador::kSalidas) & (1 << 6), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "Label_Peso"), QStringLiteral("5000"), 5000);
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
    QTRY_VERIFY_WITH_TIMEOUT(b.ind().enMarcha(), 5000);
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Cancel");
    QCOMPARE(MessageBox::mostrados().last().titulo, QStringLiteral("Cancel"));
    QTRY_VERIFY_WITH_TIMEOUT(!b.ind().enMarcha(), 5000);
    // Cancel of the indicator's error from the status bar.
    b.ind().setRegistro(Indicador::kCError, 50);
    QVERIFY(b.esperaLecturas());
    MessageBox::setNextAnswer(QMessageBox::Yes);
    QTest::mouseClick(b.control<QLabel>(QStringLiteral("Panel1")), Qt::LeftButton);
    QCOMPARE(MessageBox::mostrados().last().texto, QStringLiteral("Desea cancelar el Error?"));
    QTRY_COMPARE_WITH_TIMEOUT(int(b.ind().registro(Indicador::kCError)), 0, 5000);
    // Zero: with weight on the hopper it becomes the new zero.
    b.ind().comando('V');
    b.ind().avanza(1.0);
    b.ind().comando('X');
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Label_Peso"), QStringLiteral("200"));
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Cero");
    QCOMPARE(MessageBox::mostrados().last().titulo, QStringLiteral("Toma de Cero"));
    QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "Label_Peso"), QStringLiteral("0"), 5000);

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
    FallosSimulados mudo;
    mudo.mudo = true;
    b.sim().fallos(mudo);
    MessageBox::setNextAnswer(QMessageBox::Yes);
    click("Cmd_Cancel");
    QTRY_COMPARE_WITH_TIMEOUT(MessageBox::ultimoTexto(),
                              QStringLiteral("No se pudo realizar la operación"), 10000);
    b.sim().fallos({});

    // Every command is in the audit table, with its result.
    QTRY_COMPARE_WITH_TIMEOUT(b.filas(QStringLiteral("Comandos"), QStringLiteral("ID")).size(), 6, 5000);
    const auto c = b.filas(QStringLiteral("Comandos"), QStringLiteral("ID"));
    QCOMPARE(c[0].value("COMANDO").toString(), QStringLiteral("W Test Weigth"));
    QCOMPARE(c[0].value("RESULTADO").toString(), QStringLiteral("Aceptado"));
    QCOMPARE(c[0].value("OPERADOR").toString(), QStringLiteral("JUAN PÉREZ"));
    QCOMPARE(CDatos::aFecha(c[0].value("FECHA")), QDate::currentDate());
    QCOMPARE(c[1].value("COMANDO").toString(), QStringLiteral("V Arranque / Parada"));
    QCOMPARE(c[2].value("COMANDO").toString(), QStringLiteral("X Cancel"));
    QCOMPARE(c[3].value("COMANDO").toString(), QStringLiteral("C Cancelar error"));
    QCOMPARE(c[4].value("COMANDO").toString(), QStringLiteral("Z Cero"));
    QCOMPARE(c[5].value("COMANDO").toString(), QStringLiteral("X Cancel"));
    QCOMPARE(c[5].value("RESULTADO").toString(), QStringLiteral("No aceptado"));
}

void TestStation::programacionYReset()
{
    BancoEstacion b(1);
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    b.ind().setValor32(Indicador::kUlTotal, 50000); // 5000.0
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    QVERIFY(b.esperaLecturas());
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

    // Key filter: digits and one separator, turned into ".".
    txt[0]->clear();
    QTest::keyClicks(txt[0], QStringLiteral("1a2,5.7x"));
    QCOMPARE(txt[0]->text(), QStringLiteral("12.57"));
    QTest::keyClick(txt[0], Qt::Key_Backspace);
    QCOMPARE(txt[0]->text(), QStringLiteral("12.5"));
    txt[1]->clear();
    QTest::keyClicks(txt[1], QStringLiteral("80"));
    txt[2]->clear();
    QTest::keyClicks(txt[2], QStringLiteral("92.5"));

    // Answered No: the edit stays open.
    MessageBox::setNextAnswer(QMessageBox::No);
    programar->click();
    QCOMPARE(MessageBox::mostrados().last().titulo, QStringLiteral("Programación"));
    QVERIFY(txt[0]->isVisible());
    MessageBox::setNextAnswer(QMessageBox::Yes);
    programar->click();
    QVERIFY(!b.control<QWidget>(QStringLiteral("Fra_Arranque"))->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(b.control<QWidget>(QStringLiteral("Fra_Arranque"))->isEnabled(), 5000);
    QCOMPARE(b.ind().valor32(Indicador::kDespacho), 125u);
    QCOMPARE(b.ind().valor32(Indicador::kCGrueso), 800u);
    QCOMPARE(b.ind().valor32(Indicador::kCFino), 925u);
    QCOMPARE(b.ind().valor32(Indicador::kTotalF), 50125u);
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
    QTRY_VERIFY_WITH_TIMEOUT(b.control<QWidget>(QStringLiteral("Fra_Arranque"))->isEnabled(), 5000);
    QCOMPARE(b.ind().valor32(Indicador::kDespacho), 0u);
    QCOMPARE(b.ind().valor32(Indicador::kUlTotal), 0u);
    QCOMPARE(b.ind().valor32(Indicador::kCCiclos), 0u);
    QCOMPARE(b.ind().valor32(Indicador::kTotal), 0u);
    QVERIFY(b.esperaLecturas());
    QCOMPARE(textoDe(b, "Label_Total"), QStringLiteral("0.0"));
    // The reset to 0 gives no row.
    QTRY_COMPARE_WITH_TIMEOUT(b.registrador().pendientes(), 0, 5000);
    QVERIFY(b.filas().isEmpty());
    const auto c = b.filas(QStringLiteral("Comandos"), QStringLiteral("ID"));
    QCOMPARE(c.size(), 2);
    QCOMPARE(c[0].value("COMANDO").toString(), QStringLiteral("Programar"));
    QCOMPARE(c[0].value("VALORES").toString(),
             QStringLiteral("Despacho=125 CGrueso=800 CFino=925 TotalF=50125"));
    QCOMPARE(c[1].value("COMANDO").toString(), QStringLiteral("Reset"));
    QCOMPARE(c[1].value("RESULTADO").toString(), QStringLiteral("Aceptado"));
}

void TestStation::enlaceCaidoYRecuperado()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    QVERIFY(b.esperaLecturas());
    FallosSimulados mudo;
    mudo.mudo = true;
    b.sim().fallos(mudo);
    // While the six reads are still being tried the screen says the values
    // are no longer live, then gives up with the red lamp.
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEspera, 15000);
    QCOMPARE(textoDe(b, "Panel1"), frmPeso::kSinRespuesta);
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kFalla, 15000);
    QCOMPARE(w->ultimosIntentos(), 6);
    QCOMPARE(textoDe(b, "Panel1"), QStringLiteral("Error de conexion"));
    QCOMPARE(textoDe(b, "Label_Total"), QStringLiteral("0"));
    QVERIFY(w->ticksOmitidos() > 0); // ticks during the long poll were skipped
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
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEncendida, 15000);
    QCOMPARE(textoDe(b, "Panel1"), QString());
    b.sim().desconecta();
    b.ind().setValor32(Indicador::kUlTotal, 100);
    QTRY_COMPARE_WITH_TIMEOUT(textoDe(b, "Label_Total"), QStringLiteral("100"), 15000);
    QCOMPARE(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEncendida);
}

void TestStation::cierreConIndicadorMudo()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    frmPeso::setAjusteEnlace([](ConfigEnlace& c) { c.esperaMs = 2000; });
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    QVERIFY(b.esperaLecturas());
    FallosSimulados mudo;
    mudo.mudo = true;
    b.sim().fallos(mudo);
    // A poll of six silent reads now takes 36 s; closing must not wait for it.
    const qint64 omitidos = w->ticksOmitidos();
    QTRY_VERIFY_WITH_TIMEOUT(w->ticksOmitidos() > omitidos + 2, 5000);
    MessageBox::setNextAnswer(QMessageBox::Yes);
    QVERIFY(!w->close());
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 5000);
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
        QCOMPARE(d.windowTitle(), QStringLiteral("Datos"));
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
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 5000);
    QVERIFY(MessageBox::mostrados().isEmpty());
    // All captions blank: accepted without showing anything.
    for (int i = 0; i < 6; ++i)
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), QStringLiteral("  "));
    QVERIFY(FrmDatos::PideDatos(nullptr, &v));
    QCOMPARE(v, QStringList(6, QString()));
}

void TestStation::puertoQueNoAbreDespuesDeLeer()
{
    // An earlier opening polled successfully: the number is now 422.
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    QCOMPARE(frmPeso::estado().NroError, 422);
    serieInexistente();
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 5000);
    QVERIFY(MessageBox::ultimoTexto().startsWith(
        QStringLiteral("Error de validacion Nº 422.\nNo se pudo abrir el puerto.\n")));
    QCOMPARE(b.archivo(QStringLiteral("Datos.log")).split(QStringLiteral("\r\n"))[2],
             QStringLiteral("422"));
    // Invalid number settings are a data reference error.
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Comunicacion_1"), QStringLiteral("1"));
    Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Tiempo"), QStringLiteral("rápido"));
    w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 5000);
    QCOMPARE(MessageBox::ultimoTexto(),
             QStringLiteral("Error de validacion Nº 422.\nLa referencia de datos es incorrecta."));
    QCOMPARE(b.archivo(QStringLiteral("Datos.log")).count(QStringLiteral("Nuevo Error")), 2);
}

// The operator's guide: one shift at the window's own size, a continuous run,
// a new program, a dispatch to its end, the error that follows, the lost link.
void TestStation::capturasManual(const QString& destino)
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    const QStringList nombres = {"Patente:", "Cliente:", "Producto:", "Destino:", "Remito:", "Observ.:"};
    const QStringList datos = {"AB 123 CD", "Cereales del Sur", "Maiz", "Puerto", "R-0046", ""};
    for (int i = 0; i < 6; ++i)
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), nombres[i]);
    {
        FrmDatos d;
        for (int i = 0; i < 6; ++i)
            d.findChild<QLineEdit*>(QStringLiteral("Txt_Dato_%1").arg(i))->setText(datos[i]);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QTest::qWait(200);
        QVERIFY(d.grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-datos.png"))));
    }
    b.ind().programa(0, 900, 1000);
    QPointer<frmPeso> w = b.abre(datos);
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    const QSize natural = w->size();
    auto guarda = [&](QWidget* x, const char* nombre) {
        QVERIFY(b.esperaLecturas(3));
        QTest::qWait(600); // the chart redraws twice a second
        QCOMPARE(w->size(), natural);
        QVERIFY(x->grab().save(QDir(destino).absoluteFilePath(QLatin1String(nombre))));
    };
    // The process at three times real speed, until it reaches estado (or
    // for segundos of its own time).
    auto marcha = [&](double segundos, int estado = -1) {
        for (double t = 0; t < segundos || (estado >= 0 && b.ind().estado() != estado); t += 0.3) {
            b.ind().avanza(0.3);
            QTest::qWait(100);
            if (t > 600)
                break;
        }
    };
    auto clic = [&](const char* nombre) {
        auto* c = b.control<QPushButton>(QLatin1String(nombre));
        QVERIFY(c && c->isEnabled());
        c->click();
    };

    // Continuous work: the dispatch frames are grey.
    b.ind().comando('V');
    marcha(15, 3); // few cycles: two digits do not fit the Ciclos frame
    marcha(0, 1);
    marcha(3);
    guarda(w, "manual-estacion-carga.png");
    b.ind().comando('V'); // stops at the end of the cycle
    marcha(0, 0);

    // Editing the program in stand-by.
    clic("Cmd_ProgEdit");
    b.control<QLineEdit>(QStringLiteral("Txt_dat_0"))->setText(QStringLiteral("5000"));
    guarda(w, "manual-estacion-editar.png");
    clic("Cmd_ProgCancel");
    b.ind().programa(5000, 900, 1000);

    // A dispatch of five batches, photographed while the third discharges.
    b.ind().comando('V');
    marcha(0, 3);
    marcha(0, 1);
    marcha(0, 3);
    marcha(0, 1);
    marcha(0, 3);
    marcha(1);
    guarda(w, "manual-estacion-despacho.png");
    marcha(0, 0);
    QVERIFY(!b.ind().enMarcha());

    // The general reset enabled.
    auto* habilitar = b.control<QCheckBox>(QStringLiteral("Chk_Habilitar"));
    QVERIFY(habilitar && habilitar->isEnabled());
    habilitar->setChecked(true);
    guarda(b.control<QGroupBox>(QStringLiteral("Fra_Arranque")), "manual-estacion-reset.png");
    habilitar->setChecked(false);

    // Starting again without a new dispatch.
    b.ind().comando('V');
    QTRY_VERIFY_WITH_TIMEOUT(textoDe(b, "Panel1").startsWith(QStringLiteral("ERROR 5")), 5000);
    guarda(w, "manual-estacion-error.png");
    b.ind().comando('C');
    QTRY_VERIFY_WITH_TIMEOUT(textoDe(b, "Panel1").isEmpty(), 5000);

    FallosSimulados mudo;
    mudo.mudo = true;
    b.sim().fallos(mudo);
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kFalla, 15000);
    QTest::qWait(600);
    QCOMPARE(w->size(), natural);
    QVERIFY(w->grab().save(QDir(destino).absoluteFilePath(QStringLiteral("manual-estacion-sin-conexion.png"))));
    b.sim().fallos({});
}

void TestStation::capturas()
{
    // Screenshots for the documentation: TOLVEX_CAPTURAS=DIR.
    const QString destino = qEnvironmentVariable("TOLVEX_CAPTURAS");
    if (destino.isEmpty())
        QSKIP("TOLVEX_CAPTURAS no está definida");
    capturasManual(destino);
    if (QTest::currentTestFailed())
        return;
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    b.ind().setValor32(Indicador::kUlTotal, 12500);
    b.ind().programa(20000, 900, 1000);
    QPointer<frmPeso> w = b.abre({QStringLiteral("Cliente")});
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
    w->resize(1360, 820);
    auto foto = [&](const char* nombre) {
        QVERIFY(b.esperaLecturas(3));
        QTest::qWait(600); // the chart redraws twice a second
        QVERIFY(w->grab().save(QDir(destino).absoluteFilePath(QLatin1String(nombre))));
    };
    // Two cycles for the trend, at three times real speed.
    w->findChild<Tendencia*>()->setSegundos(10);
    b.ind().comando('V');
    for (int i = 0; i < 100; ++i) {
        b.ind().avanza(0.3);
        QTest::qWait(100);
    }
    b.ind().comando('X');
    b.ind().avanza(0.1);
    foto("station-standby.png");
    b.ind().comando('V');
    b.ind().avanza(5.5);
    foto("station-loading.png");
    b.ind().comando('X');
    b.ind().setRegistro(Indicador::kCError, 3);
    foto("station-error.png");
    b.ind().setRegistro(Indicador::kCError, 0);
    FallosSimulados mudo;
    mudo.mudo = true;
    b.sim().fallos(mudo);
    // While the six reads are still being tried the screen says the values
    // are no longer live, then gives up with the red lamp.
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kEspera, 15000);
    QCOMPARE(textoDe(b, "Panel1"), frmPeso::kSinRespuesta);
    QTRY_COMPARE_WITH_TIMEOUT(colorDe(b, QStringLiteral("Shape_Estado")), Lampara::kFalla, 15000);
    QTest::qWait(600);
    QVERIFY(w->grab().save(QDir(destino).absoluteFilePath(QStringLiteral("station-link-down.png"))));
    b.sim().fallos({});
}

// The displays keep their size between readings; the widest values the
// indicator's registers can hold must still show whole.
void TestStation::lecturaMasAnchaSeVeEntera()
{
    BancoEstacion b;
    QVERIFY2(b.instalado(), qPrintable(b.error()));
    QPointer<frmPeso> w = b.abre();
    QTRY_VERIFY_WITH_TIMEOUT(w && w->iniciada(), 5000);
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

QTEST_MAIN(TestStation)
#include "tst_station.moc"

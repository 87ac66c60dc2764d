#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

#include "CDatos.h"
#include "Config.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Schema.h"
#include "SqlDialect.h"
#include "PlantaPrueba.h"
#include "TestSupport.h"
#include "frmCContrasenias.h"
#include "frmLogin1.h"
#include "frmLogin2.h"
#include "frmOPERARIO.h"

namespace {

const QString kPass1 = QStringLiteral("operario1");
const QString kPass2 = QStringLiteral("Supervisor2");

bool agregaOperario(const QString& nombre, const QString& clave, const QString& nivel)
{
    CDatos db;
    return db.AbrirBase(Programa::DataCSOperarios) && db.AbreRegistro(QStringLiteral("SELECT * FROM ") + Programa::DataTbOperarios) &&
           db.AgregaRegistros({{QStringLiteral("OPERADOR"), nombre},
                               {QStringLiteral("PASSWORD"), Config::CodificaTexto(clave)},
                               {QStringLiteral("JERARQUIA"), nivel}});
}

QMap<QString, QPair<QString, QString>> operarios()
{
    QMap<QString, QPair<QString, QString>> m;
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSOperarios) ||
        !db.AbreRegistro(QStringLiteral("SELECT * FROM ") + Programa::DataTbOperarios))
        return m;
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        m.insert(db.Campo(QStringLiteral("OPERADOR")).toString(),
                 {db.Campo(QStringLiteral("PASSWORD")).toString(),
                  db.Campo(QStringLiteral("JERARQUIA")).toString()});
    return m;
}

void elige(frmLogin1& f, const QString& nombre)
{
    const int i = f.DBCombo_Operarrio->findText(nombre);
    QVERIFY2(i >= 0, qPrintable(nombre));
    f.DBCombo_Operarrio->setCurrentIndex(i);
}

// Signs in through the dialog; true when it accepted.
bool ingresa(frmLogin1& f, const QString& nombre, const QString& clave)
{
    elige(f, nombre);
    f.txtPassword->setText(clave);
    f.cmdOK->click();
    return f.Aceptado;
}

QStringList textosMostrados()
{
    QStringList t;
    for (const auto& m : MessageBox::mostrados())
        t << m.texto;
    return t;
}

} // namespace

class TstUsers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { MessageBox::setScripted(true); }

    void login_data();
    void login();
    void loginMaestrasIguales();
    void loginSinMaestras();
    void loginSinBase();
    void loginFallaAlVerificar();
    void loginReintento();
    void loginPostgres();

    void primeraVez();
    void primeraVezSalir();

    void operarioAgregar();
    void operarioRechazos();
    void operarioEliminar();
    void operarioEliminarNiveles_data();
    void operarioEliminarNiveles();
    void operarioNivel();
    void operarioSinBase();

    void cambioContrasenia();
    void cambioSinFila();

    void clavesNoGuardables_data();
    void clavesNoGuardables();
    void clavesGuardadasAntes();
};

void TstUsers::login_data()
{
    QTest::addColumn<QString>("nombre");
    QTest::addColumn<QString>("clave");
    QTest::addColumn<bool>("aceptado");
    QTest::addColumn<QString>("operador");
    QTest::addColumn<QString>("nivel");
    QTest::addColumn<int>("tipo");

    const QString m = QStringLiteral("Maestro");
    QTest::newRow("maestra operarios") << "" << kPass1 << true << m << "" << 1;
    QTest::newRow("maestra supervisores, mayúsculas") << "" << kPass2.toUpper() << true << m << "" << 2;
    QTest::newRow("maestra en minúsculas") << "" << kPass1.toLower() << true << m << "" << 1;
    QTest::newRow("sin operario, incorrecta") << "" << "nada" << false << "" << "" << 0;
    QTest::newRow("sin operario, vacía") << "" << "" << false << "" << "" << 0;
    QTest::newRow("con espacio no se recorta") << "" << kPass1 + u' ' << false << "" << "" << 0;
    QTest::newRow("propia en mayúsculas") << "Gerente" << "CLAVE" << true << "Gerente" << "Gerencia" << 2;
    QTest::newRow("maestra supervisores no vale para operario") << "Gerente" << kPass2 << false << "" << "" << 0;
    QTest::newRow("maestra operarios con operario") << "Gerente" << kPass1 << true << "Gerente" << "Gerencia" << 1;
    QTest::newRow("comilla y eñe") << "O'Brien" << "ÑANDÚ'X" << true << "O'Brien" << "Operador" << 2;
    QTest::newRow("truco de comillas en la clave") << "O'Brien" << "' OR '1'='1" << false << "" << "" << 0;
    QTest::newRow("truco de comillas, otra forma") << "Gerente" << "x' OR OPERADOR<>'" << false << "" << "" << 0;
    QTest::newRow("acentos sin distinguir mayúsculas") << "José" << "árbol" << true << "José" << "Superior" << 2;
    QTest::newRow("acento distinto no vale") << "José" << "arbol" << false << "" << "" << 0;
    QTest::newRow("nombre con truco, sin fila") << "x' OR '1'='1" << "clave" << false << "" << "" << 0;
    QTest::newRow("nombre con truco, maestra") << "x' OR '1'='1" << kPass1 << true << "x' OR '1'='1" << "" << 1;
    QTest::newRow("clave vacía de operario sin clave") << "Vacío" << "" << false << "" << "" << 0;
}

void TstUsers::login()
{
    QFETCH(QString, nombre);
    QFETCH(QString, clave);
    QFETCH(bool, aceptado);
    QFETCH(QString, operador);
    QFETCH(QString, nivel);
    QFETCH(int, tipo);

    Planta p;
    QVERIFY(p.ok);
    p.maestras(kPass1, kPass2);
    QVERIFY(agregaOperario(QStringLiteral("Gerente"), QStringLiteral("clave"), QStringLiteral("Gerencia")));
    QVERIFY(agregaOperario(QStringLiteral("O'Brien"), QStringLiteral("ñandú'x"), QStringLiteral("Operador")));
    QVERIFY(agregaOperario(QStringLiteral("José"), QStringLiteral("Árbol"), QStringLiteral("Superior")));
    QVERIFY(agregaOperario(QStringLiteral("Vacío"), QString(), QStringLiteral("Instalador")));

    frmLogin1 f;
    QVERIFY(MessageBox::mostrados().isEmpty());
    // The list: a blank entry, then the operators in name order.
    QStringList lista;
    for (int i = 0; i < f.DBCombo_Operarrio->count(); ++i)
        lista << f.DBCombo_Operarrio->itemText(i);
    QCOMPARE(lista, QStringList({"", "Gerente", "José", "O'Brien", "Vacío"}));
    QCOMPARE(f.txtPassword->echoMode(), QLineEdit::Password);

    if (nombre.contains(u'\'') && f.DBCombo_Operarrio->findText(nombre) < 0)
        f.DBCombo_Operarrio->addItem(nombre); // a name the list could hold
    f.show();
    QCOMPARE(ingresa(f, nombre, clave), aceptado);
    QCOMPARE(f.isVisible(), !aceptado);
    if (aceptado) {
        QCOMPARE(Programa::OperadorActual, operador);
        QCOMPARE(Programa::NivelActual, nivel);
        QCOMPARE(Programa::TipoAcceso, tipo);
        QVERIFY(MessageBox::mostrados().isEmpty());
    } else {
        QCOMPARE(Programa::OperadorActual, QString());
        QCOMPARE(Programa::NivelActual, QString());
        QCOMPARE(Programa::TipoAcceso, 0);
        QCOMPARE(textosMostrados(), QStringList{frmLogin1::kIncorrecta});
        QCOMPARE(MessageBox::mostrados().first().titulo, QStringLiteral("Inicio de sesión"));
        QCOMPARE(MessageBox::mostrados().first().icono, MessageBox::Ninguno);
        QCOMPARE(MessageBox::mostrados().first().botones, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
    // Nothing was changed by the attempt.
    QCOMPARE(operarios().size(), 4);
}

void TstUsers::loginMaestrasIguales()
{
    Planta p;
    p.maestras(QStringLiteral("igual"), QStringLiteral("IGUAL"));
    frmLogin1 f;
    QVERIFY(ingresa(f, QString(), QStringLiteral("Igual")));
    QCOMPARE(Programa::TipoAcceso, 2);
    QCOMPARE(Programa::OperadorActual, QStringLiteral("Maestro"));
}

void TstUsers::loginSinMaestras()
{
    // A first run never done: no master password exists, and no built-in
    // one takes its place.
    Planta p;
    QVERIFY(agregaOperario(QStringLiteral("Ana"), QStringLiteral("ana1"), QStringLiteral("Operador")));
    frmLogin1 f;
    for (const QString& intento : {QString(), QStringLiteral("abc"), QStringLiteral("..."),
                                   QStringLiteral("   ")}) {
        QVERIFY(!ingresa(f, QString(), intento));
        QVERIFY(!ingresa(f, QStringLiteral("Ana"), intento));
    }
    QCOMPARE(MessageBox::mostrados().size(), 8);
    QVERIFY(ingresa(f, QStringLiteral("Ana"), QStringLiteral("ANA1")));
    QCOMPARE(Programa::TipoAcceso, 2);
}

void TstUsers::loginSinBase()
{
    Planta p;
    p.maestras(kPass1, kPass2);
    QVERIFY(QFile::remove(p.dir.file(QStringLiteral("data.db"))));
    frmLogin1 f;
    QCOMPARE(textosMostrados(), QStringList{frmLogin1::kSinConexion});
    QCOMPARE(MessageBox::mostrados().first().icono, MessageBox::Exclamacion);
    QCOMPARE(MessageBox::mostrados().first().titulo, QApplication::applicationName());
    QCOMPARE(f.DBCombo_Operarrio->count(), 1);
    QVERIFY(!ingresa(f, QString(), QStringLiteral("otra")));
    QVERIFY(ingresa(f, QString(), kPass2));
    QCOMPARE(Programa::OperadorActual, QStringLiteral("Maestro"));
    QCOMPARE(Programa::TipoAcceso, 2);

    // An empty section BaseDeDatos behaves the same.
    Programa::DataCSOperarios.clear();
    MessageBox::limpiar();
    frmLogin1 g;
    QCOMPARE(textosMostrados(), QStringList{frmLogin1::kSinConexion});
    QVERIFY(ingresa(g, QString(), kPass1));
}

void TstUsers::loginFallaAlVerificar()
{
    Planta p;
    p.maestras(kPass1, kPass2);
    QVERIFY(agregaOperario(QStringLiteral("Ana"), QStringLiteral("ana1"), QStringLiteral("Instalador")));
    frmLogin1 f;
    f.show();
    // The database goes away between the list and the check.
    QVERIFY(QFile::rename(p.dir.file(QStringLiteral("data.db")), p.dir.file(QStringLiteral("otra.db"))));
    for (const QString& clave : {QStringLiteral("ana1"), kPass1, kPass2}) {
        MessageBox::limpiar();
        QVERIFY(!ingresa(f, QStringLiteral("Ana"), clave));
        QVERIFY(f.isVisible());
        QCOMPARE(textosMostrados(), QStringList{frmLogin1::kSinConexion});
    }
    QCOMPARE(Programa::OperadorActual, QString());
    QCOMPARE(Programa::TipoAcceso, 0);
    // A table that cannot be read is a fault as well.
    QVERIFY(QFile::rename(p.dir.file(QStringLiteral("otra.db")), p.dir.file(QStringLiteral("data.db"))));
    Programa::DataTbOperarios = QStringLiteral("NoExiste");
    QVERIFY(!ingresa(f, QStringLiteral("Ana"), QStringLiteral("ana1")));
    // Without an operator the master passwords still work.
    QVERIFY(ingresa(f, QString(), kPass1));
    QCOMPARE(Programa::NivelActual, QString());
}

void TstUsers::loginReintento()
{
    Planta p;
    p.maestras(kPass1, kPass2);
    QVERIFY(agregaOperario(QStringLiteral("Gerente"), QStringLiteral("clave"), QStringLiteral("Gerencia")));
    frmLogin1 f;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QVERIFY(!ingresa(f, QStringLiteral("Gerente"), QStringLiteral("mala")));
    QCOMPARE(f.txtPassword->selectedText(), QStringLiteral("mala"));
    QVERIFY(f.txtPassword->hasFocus());
    // The failed operator's level must not stick to a master sign-in.
    QVERIFY(ingresa(f, QString(), kPass2));
    QCOMPARE(Programa::NivelActual, QString());
    QCOMPARE(Programa::OperadorActual, QStringLiteral("Maestro"));

    // Cancelar: no sign-in, no message.
    Programa::OperadorActual.clear();
    MessageBox::limpiar();
    frmLogin1 g;
    g.show();
    g.txtPassword->setText(kPass1);
    g.cmdCancel->click();
    QVERIFY(!g.Aceptado);
    QVERIFY(!g.isVisible());
    QVERIFY(MessageBox::mostrados().isEmpty());
    QCOMPARE(Programa::OperadorActual, QString());
}

void TstUsers::loginPostgres()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    Planta p;
    p.maestras(kPass1, kPass2);
    const QString rep = QStringLiteral("rep_tst_users"), ope = QStringLiteral("ope_tst_users"),
                  glo = QStringLiteral("glo_tst_users");
    {
        CDatos db;
        QVERIFY2(db.AbrirBase(pg), qPrintable(db.ultimoError()));
        for (const QString& t : {rep, ope, glo})
            db.Ejecuta(QStringLiteral("DROP TABLE IF EXISTS ") + t);
        QString e;
        QVERIFY2(Schema::crear(db, rep, ope, glo, nullptr, &e), qPrintable(e));
    }
    Programa::DataCSOperarios = pg;
    Programa::DataTbOperarios = ope;
    QVERIFY(agregaOperario(QStringLiteral("D'Alessio"), QStringLiteral("Ñu'"), QStringLiteral("Instalador")));
    QVERIFY(agregaOperario(QStringLiteral("d'alessio"), QStringLiteral("otra"), QStringLiteral("Operador")));
    {
        frmLogin1 f;
        QVERIFY(MessageBox::mostrados().isEmpty());
        QCOMPARE(f.DBCombo_Operarrio->count(), 3);
        QVERIFY(!ingresa(f, QStringLiteral("D'Alessio"), QStringLiteral("otra")));
        QVERIFY(!ingresa(f, QStringLiteral("D'Alessio"), QStringLiteral("' OR ''='")));
        QVERIFY(ingresa(f, QStringLiteral("D'Alessio"), QStringLiteral("ñU'")));
        QCOMPARE(Programa::NivelActual, QStringLiteral("Instalador"));
        QCOMPARE(Programa::TipoAcceso, 2);
    }
    CDatos db;
    QVERIFY(db.AbrirBase(pg));
    for (const QString& t : {rep, ope, glo})
        db.Ejecuta(QStringLiteral("DROP TABLE IF EXISTS ") + t);
}

void TstUsers::primeraVez()
{
    Planta p;
    frmLogin2 f;
    f.show();
    QCOMPARE(f.windowTitle(), QStringLiteral("Primera vez"));
    QCOMPARE(f.Label2->text(), QStringLiteral("Bienvenido a ") + QApplication::applicationName());
    QVERIFY(!f.enPasoClaves());
    QVERIFY(f.Frame1->isEnabled() && !f.Frame2->isEnabled() && !f.Frame3->isEnabled());
    // The welcome names this program and is never drawn greyed out.
    QVERIFY(f.Label3->text().startsWith(QStringLiteral("Antes de correr Tolvex por primera vez,")));
    QVERIFY(f.Label2->isEnabled() && f.Label3->isEnabled());
    QVERIFY(f.cmdOK->isEnabled());

    // Name step with empty boxes writes two empty values.
    f.cmdOK->click();
    QVERIFY(f.enPasoClaves());
    QVERIFY(!f.Frame1->isEnabled() && f.Frame2->isEnabled() && f.Frame3->isEnabled());
    QVERIFY(f.Label2->isEnabled() && f.Label3->isEnabled());
    QCOMPARE(Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Usuario"), QStringLiteral("def")), QString());
    QCOMPARE(Config::LeeConfig(QStringLiteral("Global"), QStringLiteral("Organización"), QStringLiteral("def")), QString());
    QVERIFY(!f.cmdOK->isEnabled());

    // Enable rule: both pairs equal (letter case counts) and both non-empty.
    f.txtPassword1->setText(QStringLiteral("Sup'é"));
    f.txtPassword2->setText(QStringLiteral("Sup'é"));
    QVERIFY(!f.cmdOK->isEnabled());
    f.txtPassword3->setText(QStringLiteral("opé"));
    f.txtPassword4->setText(QStringLiteral("OPÉ"));
    QVERIFY(!f.cmdOK->isEnabled());
    f.txtPassword4->setText(QStringLiteral("opé"));
    QVERIFY(f.cmdOK->isEnabled());
    f.txtPassword2->clear();
    QVERIFY(!f.cmdOK->isEnabled());
    f.txtPassword2->setText(QStringLiteral("Sup'é"));
    for (auto* e : {f.txtPassword1, f.txtPassword2, f.txtPassword3, f.txtPassword4})
        QCOMPARE(e->echoMode(), QLineEdit::Password);

    // No: stays in the password step, nothing written.
    MessageBox::setNextAnswer(QMessageBox::No);
    f.cmdOK->click();
    QVERIFY(f.isVisible());
    QVERIFY(!f.Aceptado);
    QVERIFY(f.enPasoClaves());
    QCOMPARE(MessageBox::mostrados().size(), 1);
    const auto q = MessageBox::mostrados().first();
    QCOMPARE(q.texto, frmLogin2::kPregunta);
    QCOMPARE(q.titulo, QStringLiteral("Atencion"));
    QCOMPARE(q.icono, MessageBox::Informacion);
    QCOMPARE(q.porDefecto, QMessageBox::No);
    QCOMPARE(Config::LeeConfig(QStringLiteral("Global"), QStringLiteral("Pass1"), QStringLiteral("-")), QStringLiteral("-"));

    // Yes: both stored scrambled, byte by byte in the file.
    MessageBox::setNextAnswer(QMessageBox::Yes);
    f.cmdOK->click();
    QVERIFY(f.Aceptado);
    QVERIFY(!f.isVisible());
    const QByteArray ini = leeArchivo(p.dir.file(QStringLiteral("Tolvex.ini")));
    QByteArray esperado1 = "Pass1=";
    for (char c : QByteArray("op\xe9"))
        esperado1 += char(quint8(c) ^ Config::kClave);
    QVERIFY2(ini.contains(esperado1 + ".\r\n"), ini.constData());
    QCOMPARE(Config::LeeConfig(QStringLiteral("Global"), QStringLiteral("Pass2"), QString(), true),
             QStringLiteral("Sup'é"));

    // The login then takes them in any letter case.
    frmLogin1 l;
    QVERIFY(ingresa(l, QString(), QStringLiteral("SUP'É")));
    QCOMPARE(Programa::TipoAcceso, 2);
}

void TstUsers::primeraVezSalir()
{
    {
        Planta p;
        frmLogin2 f;
        f.show();
        f.txtUserName->setText(QStringLiteral("Planta Ñandú"));
        f.cmdCancel->click();
        QVERIFY(!f.Aceptado);
        QVERIFY(!f.isVisible());
        QVERIFY(!leeArchivo(p.dir.file(QStringLiteral("Tolvex.ini"))).contains("Usuario"));
    }
    Planta p;
    frmLogin2 f;
    f.show();
    f.txtUserName->setText(QStringLiteral("Planta Ñandú"));
    f.txtPassword->setText(QStringLiteral("Molinos S.A."));
    f.cmdOK->click();
    f.txtPassword1->setText(QStringLiteral("a"));
    f.txtPassword2->setText(QStringLiteral("a"));
    f.cmdCancel->click();
    QVERIFY(!f.Aceptado);
    // Name and organisation were written in the first step; no password.
    QCOMPARE(Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Usuario"), QString()), QStringLiteral("Planta Ñandú"));
    QCOMPARE(Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Organización"), QString()), QStringLiteral("Molinos S.A."));
    QVERIFY(!leeArchivo(p.dir.file(QStringLiteral("Tolvex.ini"))).contains("Pass"));
}

void TstUsers::operarioAgregar()
{
    Planta p;
    QVERIFY(agregaOperario(QStringLiteral("Zulema"), QStringLiteral("z"), QStringLiteral("Operador")));
    frmOPERARIO f;
    f.show();
    QVERIFY(f.cargado());
    QCOMPARE(f.Data1->text(), QStringLiteral("Operario: 1/1"));
    QVERIFY(f.txt_Dato[0]->isReadOnly() && f.txt_Dato[1]->isReadOnly());
    QVERIFY(!f.txt_Dato[2]->isReadOnly());
    QVERIFY(!f.ListaJerarquias->isVisible());

    f.cmdAgregar->click();
    QVERIFY(f.agregando());
    QCOMPARE(f.cmdAgregar->text(), QStringLiteral("Actualizar"));
    QVERIFY(!f.cmdDelete->isEnabled());
    QVERIFY(f.ListaJerarquias->isVisible());
    QVERIFY(!f.txt_Dato[2]->isVisible());
    QCOMPARE(f.ListaJerarquias->currentText(), QStringLiteral("Operador"));
    QStringList niveles;
    for (int i = 0; i < f.ListaJerarquias->count(); ++i)
        niveles << f.ListaJerarquias->itemText(i);
    QCOMPARE(niveles, QStringList({"Operador", "Superior", "Gerencia", "Instalador"}));
    QCOMPARE(f.txt_Dato[1]->text(), QString());
    QVERIFY(!f.txt_Dato[0]->isReadOnly());
    QCOMPARE(f.txt_Dato[0]->palette().color(QPalette::Base), QColor(255, 255, 192));

    f.txt_Dato[0]->setText(QStringLiteral("Ñoño O'Hara"));
    f.txt_Dato[1]->setText(QStringLiteral("ab'c"));
    f.ListaJerarquias->setCurrentText(QStringLiteral("Gerencia"));
    f.cmdAgregar->click();
    QVERIFY(!f.agregando());
    QCOMPARE(f.cmdAgregar->text(), QStringLiteral("Ag&regar"));
    QVERIFY(f.cmdDelete->isEnabled());
    QVERIFY(MessageBox::mostrados().isEmpty());
    // The new row is current (the engine sorts "Ñ" after "Z").
    QCOMPARE(f.Data1->text(), QStringLiteral("Operario: 2/2"));
    QCOMPARE(f.txt_Dato[0]->text(), QStringLiteral("Ñoño O'Hara"));
    // The password box holds the stored text, never the clear one.
    QVERIFY(f.txt_Dato[1]->text() != QStringLiteral("ab'c"));
    QCOMPARE(f.txt_Dato[1]->echoMode(), QLineEdit::Password);

    const auto m = operarios();
    QCOMPARE(m.value(QStringLiteral("Ñoño O'Hara")).second, QStringLiteral("Gerencia"));
    const QString guardada = m.value(QStringLiteral("Ñoño O'Hara")).first;
    QCOMPARE(guardada.size(), 4);
    const QString clara = QStringLiteral("ab'c");
    for (int i = 0; i < 4; ++i)
        QCOMPARE(guardada.at(i).unicode(), ushort(clara.at(i).unicode() ^ Config::kClave));

    // Adding without touching the chooser stores "Operador".
    f.cmdAgregar->click();
    f.txt_Dato[0]->setText(QStringLiteral("Beto"));
    f.txt_Dato[1]->setText(QStringLiteral("b"));
    f.cmdAgregar->click();
    QCOMPARE(operarios().value(QStringLiteral("Beto")).second, QStringLiteral("Operador"));
    QCOMPARE(f.Data1->text(), QStringLiteral("Operario: 1/3"));
    f.cmdUltimo->click();
    QCOMPARE(f.Data1->text(), QStringLiteral("Operario: 3/3"));
    QCOMPARE(f.txt_Dato[0]->text(), QStringLiteral("Ñoño O'Hara"));
    f.cmdAnterior->click();
    QCOMPARE(f.txt_Dato[0]->text(), QStringLiteral("Zulema"));

    // The new operators are listed by the login and can sign in.
    p.maestras(kPass1, kPass2);
    frmLogin1 l;
    QCOMPARE(l.DBCombo_Operarrio->count(), 4);
    QVERIFY(ingresa(l, QStringLiteral("Ñoño O'Hara"), QStringLiteral("AB'C")));
    QCOMPARE(Programa::NivelActual, QStringLiteral("Gerencia"));
}

void TstUsers::operarioRechazos()
{
    Planta p;
    QVERIFY(agregaOperario(QStringLiteral("Ana"), QStringLiteral("a"), QStringLiteral("Superior")));
    frmOPERARIO f;
    f.show();
    const auto antes = operarios();
    auto intenta = [&](const QString& nombre, const QString& clave) {
        MessageBox::limpiar();
        if (!f.agregando())
            f.cmdAgregar->click();
        f.txt_Dato[0]->setText(nombre);
        f.txt_Dato[1]->setText(clave);
        f.cmdAgregar->click();
        return MessageBox::mostrados();
    };
    QCOMPARE(intenta(QString(), QStringLiteral("x")).first().texto, QStringLiteral("Ingrese el nombre del operario."));
    QVERIFY(f.agregando()); // still adding: the typed values can be corrected
    QCOMPARE(intenta(QStringLiteral("   "), QStringLiteral("x")).size(), 1);
    QCOMPARE(intenta(QStringLiteral("Pepe"), QString()).first().texto, QStringLiteral("Ingrese la contraseña del operario."));
    QCOMPARE(intenta(QStringLiteral("Ana"), QStringLiteral("x")).first().texto, QStringLiteral("Ya existe un operario con el nombre Ana."));
    QCOMPARE(intenta(QStringLiteral("ANA "), QStringLiteral("x")).size(), 1);
    QCOMPARE(operarios(), antes);
    QCOMPARE(f.txt_Dato[0]->maxLength(), 30);
    QCOMPARE(f.txt_Dato[1]->maxLength(), 15);
    // Corrected, it is stored.
    QVERIFY(intenta(QStringLiteral("Ana María"), QStringLiteral("x")).isEmpty());
    QVERIFY(intenta(QStringLiteral("D'Angelo"), QStringLiteral("x")).isEmpty());
    QCOMPARE(operarios().size(), 3);
}

void TstUsers::operarioEliminar()
{
    Planta p;
    for (const char* n : {"Ana", "Beto", "Ciro"})
        QVERIFY(agregaOperario(QString::fromLatin1(n), QStringLiteral("x"), QStringLiteral("Operador")));
    frmOPERARIO f;
    f.show();
    f.mover(2);
    QCOMPARE(f.txt_Dato[0]->text(), QStringLiteral("Ciro"));

    MessageBox::setNextAnswer(QMessageBox::Cancel);
    f.cmdDelete->click();
    const auto q = MessageBox::mostrados().first();
    QCOMPARE(q.texto, QStringLiteral("Desea eliminar el operario Ciro ? "));
    QCOMPARE(q.titulo, QStringLiteral("Atencion"));
    QCOMPARE(q.icono, MessageBox::Critico);
    QCOMPARE(q.porDefecto, QMessageBox::Cancel);
    QCOMPARE(q.botones, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(operarios().size(), 3);

    MessageBox::setNextAnswer(QMessageBox::Ok);
    f.cmdDelete->click();
    QCOMPARE(operarios().keys(), QStringList({"Ana", "Beto"}));
    QCOMPARE(f.Data1->text(), QStringLiteral("Operario: 2/2"));
    QCOMPARE(f.txt_Dato[0]->text(), QStringLiteral("Beto"));

    MessageBox::setNextAnswer(QMessageBox::Ok);
    f.cmdDelete->click();
    QCOMPARE(operarios().keys(), QStringList({"Ana"}));
    QCOMPARE(f.Data1->text(), QStringLiteral("Operario: 0/1")); // after the end

    // After the end nothing is current, so nothing is deleted.
    f.cmdDelete->click();
    QCOMPARE(operarios().size(), 1);
    f.cmdPrimero->click();
    MessageBox::setNextAnswer(QMessageBox::Ok);
    f.cmdDelete->click();
    QVERIFY(operarios().isEmpty());
    QCOMPARE(f.Data1->text(), QStringLiteral("Operario: 0/0"));
}

void TstUsers::operarioEliminarNiveles_data()
{
    QTest::addColumn<int>("fila");
    QTest::addColumn<QString>("queda"); // current operator afterwards
    QTest::newRow("primera") << 0 << QStringLiteral("Ciro");
    QTest::newRow("del medio") << 1 << QStringLiteral("Ciro");
    QTest::newRow("penultima") << 2 << QStringLiteral("Beto");
    QTest::newRow("ultima") << 3 << QStringLiteral("Beto");
}

// Deleting one row leaves every other row as it was, whatever its level.
void TstUsers::operarioEliminarNiveles()
{
    QFETCH(int, fila);
    QFETCH(QString, queda);
    Planta p;
    const QStringList nombres{"Ana", "Beto", "Ciro", "Dora"};
    const QStringList niveles{"Operador", "Superior", "Gerencia", "Instalador"};
    for (int i = 0; i < nombres.size(); ++i)
        QVERIFY(agregaOperario(nombres[i], nombres[i].toLower(), niveles[i]));
    auto esperado = operarios();
    esperado.remove(nombres[fila]);

    frmOPERARIO f;
    f.show();
    f.mover(fila);
    QCOMPARE(f.txt_Dato[0]->text(), nombres[fila]);
    MessageBox::setNextAnswer(QMessageBox::Ok);
    f.cmdDelete->click();
    QCOMPARE(operarios(), esperado);
    QCOMPARE(f.Data1->text(), QStringLiteral("Operario: 2/3"));
    QCOMPARE(f.txt_Dato[0]->text(), queda);
    QCOMPARE(f.txt_Dato[2]->text(), esperado.value(queda).second);

    // Browsing every row and closing writes nothing either.
    for (QToolButton* b : {f.cmdPrimero, f.cmdSiguiente, f.cmdSiguiente, f.cmdUltimo, f.cmdAnterior})
        b->click();
    f.accept();
    QCOMPARE(operarios(), esperado);
    QVERIFY(MessageBox::mostrados().size() == 1);
}

void TstUsers::operarioNivel()
{
    Planta p;
    QVERIFY(agregaOperario(QStringLiteral("Ana"), QStringLiteral("x"), QStringLiteral("Operador")));
    QVERIFY(agregaOperario(QStringLiteral("Beto"), QStringLiteral("x"), QStringLiteral("Operador")));
    frmOPERARIO f;
    f.show();
    f.txt_Dato[2]->setText(QStringLiteral("Jefe"));
    f.cmdSiguiente->click();
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QCOMPARE(operarios().value(QStringLiteral("Ana")).second, QStringLiteral("Operador"));
    f.cmdPrimero->click();
    QCOMPARE(f.txt_Dato[2]->text(), QStringLiteral("Operador"));
    // Letter case counts: levels are compared by their exact names.
    f.txt_Dato[2]->setText(QStringLiteral("gerencia"));
    emit f.txt_Dato[2]->editingFinished();
    QCOMPARE(operarios().value(QStringLiteral("Ana")).second, QStringLiteral("Operador"));
    f.txt_Dato[2]->setText(QStringLiteral("Gerencia"));
    f.cmdSiguiente->click();
    QCOMPARE(operarios().value(QStringLiteral("Ana")).second, QStringLiteral("Gerencia"));
    QCOMPARE(operarios().value(QStringLiteral("Beto")).second, QStringLiteral("Operador"));
    f.txt_Dato[2]->setText(QStringLiteral("Instalador"));
    f.accept();
    QCOMPARE(operarios().value(QStringLiteral("Beto")).second, QStringLiteral("Instalador"));
}

void TstUsers::operarioSinBase()
{
    Planta p;
    QVERIFY(QFile::remove(p.dir.file(QStringLiteral("data.db"))));
    frmOPERARIO f;
    f.show();
    QVERIFY(!f.cargado());
    QCOMPARE(textosMostrados(), QStringList{frmOPERARIO::kErrorDatos});
    QCOMPARE(MessageBox::mostrados().first().titulo, QStringLiteral("Error"));
    QTRY_VERIFY(!f.isVisible());
}

void TstUsers::cambioContrasenia()
{
    Planta p;
    QVERIFY(agregaOperario(QStringLiteral("O'Brien"), QStringLiteral("Vieja"), QStringLiteral("Operador")));
    Programa::OperadorActual = QStringLiteral("O'Brien");
    frmCContrasenias f;
    f.show();
    QVERIFY(f.cargado());
    QCOMPARE(f.windowTitle(), QStringLiteral("Cambiar Contraseña del Usuario: O'Brien"));
    auto intenta = [&](const QString& a, const QString& n, const QString& c) {
        MessageBox::limpiar();
        f.txtCAnterior->setText(a);
        f.txtCNueva->setText(n);
        f.txtCCNueva->setText(c);
        f.cmdAceptar->click();
        return MessageBox::mostrados().isEmpty() ? QString() : MessageBox::mostrados().first().texto;
    };
    // The checks, in their order.
    QCOMPARE(intenta("VIEJA", "", "x"), QStringLiteral("La clave anterior no es valida."));
    QCOMPARE(intenta("Vieja", "", ""), QStringLiteral("No ha ingresado nuevas claves."));
    QCOMPARE(intenta("Vieja", "nueva", ""), QStringLiteral("No ha ingresado nuevas claves."));
    QCOMPARE(intenta("Vieja", "Nueva", "nueva"), QStringLiteral("Las claves nuevas sin diferentes."));
    QCOMPARE(MessageBox::mostrados().first().titulo, QStringLiteral("ERROR"));
    QCOMPARE(MessageBox::mostrados().first().icono, MessageBox::Critico);
    QVERIFY(f.isVisible());
    QVERIFY(!f.cambiada());
    QCOMPARE(operarios().value(QStringLiteral("O'Brien")).first, Config::CodificaTexto(QStringLiteral("Vieja")));

    QCOMPARE(intenta("Vieja", "Ñu'é", "Ñu'é"), QStringLiteral("La contraseña se ha cambiado exitosamente."));
    QCOMPARE(MessageBox::mostrados().first().titulo, QStringLiteral("Tolvex"));
    QVERIFY(f.cambiada());
    QVERIFY(!f.isVisible());

    frmLogin1 l;
    QVERIFY(!ingresa(l, QStringLiteral("O'Brien"), QStringLiteral("Vieja")));
    QVERIFY(ingresa(l, QStringLiteral("O'Brien"), QStringLiteral("ñU'É")));
}

void TstUsers::cambioSinFila()
{
    Planta p;
    QVERIFY(agregaOperario(QStringLiteral("Ana"), QStringLiteral("a"), QStringLiteral("Operador")));
    Programa::OperadorActual = QStringLiteral("Ana");
    frmCContrasenias f;
    f.show();
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSOperarios));
        QVERIFY(db.Ejecuta(QStringLiteral("DELETE FROM ") + Programa::DataTbOperarios));
    }
    f.txtCAnterior->setText(QStringLiteral("a"));
    f.txtCNueva->setText(QStringLiteral("b"));
    f.txtCCNueva->setText(QStringLiteral("b"));
    f.cmdAceptar->click();
    QCOMPARE(textosMostrados(),
             QStringList{QStringLiteral("No se cambió la contraseña: el operario Ana no existe en la base de datos.")});
    QVERIFY(!f.cambiada());
    QVERIFY(f.isVisible());
    QVERIFY(operarios().isEmpty());

    // No database at all when it opens: reported, and the form closes.
    QVERIFY(QFile::remove(p.dir.file(QStringLiteral("data.db"))));
    MessageBox::limpiar();
    frmCContrasenias g;
    g.show();
    QVERIFY(!g.cargado());
    QCOMPARE(textosMostrados(), QStringList{QStringLiteral("La referencia de datos es incorrecta.")});
    QTRY_VERIFY(!g.isVisible());
}

void TstUsers::clavesNoGuardables_data()
{
    QTest::addColumn<QString>("clave");
    QTest::addColumn<QString>("fuera");
    QTest::newRow("griega") << QStringLiteral("Ωmega") << QStringLiteral("«Ω»");
    QTest::newRow("cirílico") << QStringLiteral("пароль1") << QStringLiteral("«п»");
    QTest::newRow("fuera del plano básico") << QStringLiteral("año😀") << QStringLiteral("«😀»");
}

// A password the settings file's code page cannot hold is refused wherever
// a password is set, with the character named, and nothing is stored.
void TstUsers::clavesNoGuardables()
{
    QFETCH(QString, clave);
    QFETCH(QString, fuera);
    Planta p;
    QVERIFY(agregaOperario(QStringLiteral("Ana"), QStringLiteral("vieja"), QStringLiteral("Operador")));
    const auto antes = operarios();
    auto rechazada = [&] {
        const QStringList t = textosMostrados();
        return t.size() == 1 && t.first().contains(fuera) && t.first().contains(QStringLiteral("Tolvex.ini"));
    };

    frmOPERARIO o;
    o.show();
    o.cmdAgregar->click();
    o.txt_Dato[0]->setText(QStringLiteral("Beto"));
    o.txt_Dato[1]->setText(clave);
    o.cmdAgregar->click();
    QVERIFY2(rechazada(), qPrintable(textosMostrados().join(u'|')));
    QVERIFY(o.agregando());
    QCOMPARE(operarios(), antes);

    MessageBox::limpiar();
    Programa::OperadorActual = QStringLiteral("Ana");
    frmCContrasenias c;
    c.show();
    c.txtCAnterior->setText(QStringLiteral("vieja"));
    c.txtCNueva->setText(clave);
    c.txtCCNueva->setText(clave);
    c.cmdAceptar->click();
    QVERIFY(rechazada());
    QVERIFY(c.isVisible() && !c.cambiada());
    QCOMPARE(operarios(), antes);

    for (int par = 0; par < 2; ++par) {
        MessageBox::limpiar();
        frmLogin2 f;
        f.show();
        f.cmdOK->click();
        f.txtPassword1->setText(par ? QStringLiteral("s") : clave);
        f.txtPassword2->setText(par ? QStringLiteral("s") : clave);
        f.txtPassword3->setText(par ? clave : QStringLiteral("o"));
        f.txtPassword4->setText(par ? clave : QStringLiteral("o"));
        MessageBox::setNextAnswer(QMessageBox::Yes);
        f.cmdOK->click();
        QVERIFY(rechazada()); // refused before the question
        QVERIFY(!f.Aceptado && f.isVisible());
        QVERIFY(!leeArchivo(p.dir.file(QStringLiteral("Tolvex.ini"))).contains("Pass"));
    }
}

// Passwords stored before the check, their odd characters already lost,
// still let their owners in: the typed text is taken as it would be stored.
void TstUsers::clavesGuardadasAntes()
{
    Planta p;
    p.maestras(QStringLiteral("Ωmega"), kPass2);
    QVERIFY(agregaOperario(QStringLiteral("Ana"), QStringLiteral("αβ1"), QStringLiteral("Superior")));
    frmLogin1 l;
    QVERIFY(ingresa(l, QString(), QStringLiteral("Ωmega")));
    QCOMPARE(Programa::TipoAcceso, 1);
    l.Aceptado = false;
    QVERIFY(ingresa(l, QStringLiteral("Ana"), QStringLiteral("αβ1")));
    QCOMPARE(Programa::NivelActual, QStringLiteral("Superior"));
    QCOMPARE(Programa::TipoAcceso, 2);

    Programa::OperadorActual = QStringLiteral("Ana");
    MessageBox::limpiar();
    frmCContrasenias c;
    c.show();
    c.txtCAnterior->setText(QStringLiteral("αβ1"));
    c.txtCNueva->setText(QStringLiteral("Ñandú"));
    c.txtCCNueva->setText(QStringLiteral("Ñandú"));
    c.cmdAceptar->click();
    QVERIFY(c.cambiada());
    l.Aceptado = false;
    QVERIFY(ingresa(l, QStringLiteral("Ana"), QStringLiteral("ñANDÚ")));
}

QTEST_MAIN(TstUsers)
#include "tst_users.moc"

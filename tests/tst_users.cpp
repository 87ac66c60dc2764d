#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

#include "Acceso.h"
#include "CDatos.h"
#include "Config.h"
#include "Contexto.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "PlantaPrueba.h"
#include "ReportesPrueba.h"
#include "Secreto.h"
#include "TestSupport.h"
#include "frmCContrasenias.h"
#include "frmLogin1.h"
#include "frmLogin2.h"
#include "frmOPERARIO.h"

namespace {

const QString kPass1 = u"operario1"_s;
const QString kPass2 = u"Supervisor2"_s;

bool agregaOperario(const QString& nombre, const QString& clave, const QString& nivel)
{
    CDatos db;
    return db.AbrirBase(Programa::DataCSOperarios) && db.AbreRegistro(u"SELECT * FROM "_s + Programa::DataTbOperarios) &&
           db.AgregaRegistros(
               {{u"OPERADOR"_s, nombre}, {u"PASSWORD"_s, Config::CodificaTexto(clave)}, {u"JERARQUIA"_s, nivel}});
}

QMap<QString, QPair<QString, QString>> operarios()
{
    QMap<QString, QPair<QString, QString>> m;
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSOperarios) || !db.AbreRegistro(u"SELECT * FROM "_s + Programa::DataTbOperarios))
        return m;
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        m.insert(db.Campo(u"OPERADOR"_s).toString(),
                 {db.Campo(u"PASSWORD"_s).toString(), db.Campo(u"JERARQUIA"_s).toString()});
    return m;
}

// Signs in through the dialog; true when it accepted.
bool ingresa(frmLogin1& f, const QString& nombre, const QString& clave)
{
    f.Aceptado = false;
    const int i = f.DBCombo_Operarrio->findText(nombre);
    if (i < 0)
        QTest::qFail(qPrintable(u"no está en la lista: "_s + nombre), __FILE__, __LINE__);
    f.DBCombo_Operarrio->setCurrentIndex(i);
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

// Adds an operator through the form; the boxes shown.
QStringList agrega(frmOPERARIO& f, const QString& nombre, const QString& clave)
{
    MessageBox::limpiar();
    if (!f.agregando())
        f.cmdAgregar->click();
    f.txt_Dato[0]->setText(nombre);
    f.txt_Dato[1]->setText(clave);
    f.cmdAgregar->click();
    return textosMostrados();
}

// Accepts the password change form; the first text shown, if any.
QString cambia(frmCContrasenias& f, const QString& anterior, const QString& nueva, const QString& otra)
{
    MessageBox::limpiar();
    f.txtCAnterior->setText(anterior);
    f.txtCNueva->setText(nueva);
    f.txtCCNueva->setText(otra);
    f.cmdAceptar->click();
    return MessageBox::mostrados().isEmpty() ? QString() : MessageBox::mostrados().first().texto;
}

void claves(frmLogin2& f, const QString& s1, const QString& s2, const QString& o1, const QString& o2)
{
    f.txtPassword1->setText(s1);
    f.txtPassword2->setText(s2);
    f.txtPassword3->setText(o1);
    f.txtPassword4->setText(o2);
}

// Who is signed in: "operator|level|access type".
QString sesion()
{
    return QStringList{Programa::OperadorActual, Programa::NivelActual, QString::number(Programa::TipoAcceso)}.join(u'|');
}

QStringList elementos(const QComboBox* c)
{
    QStringList l;
    for (int i = 0; i < c->count(); ++i)
        l << c->itemText(i);
    return l;
}

} // namespace

class TstUsers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { MessageBox::setScripted(true); }

    void login_data();
    void login();
    void loginSinMaestras();
    void sinBase();
    void loginFallaAlVerificarYReintento();
    void loginPostgres();

    void primeraVez();
    void primeraVezSalir();

    void operarioAgregar();
    void operarioNivelYEliminar();
    void operarioEliminarNiveles_data();
    void operarioEliminarNiveles();

    void cambioContrasenia();

    void clavesNoGuardables_data();
    void clavesNoGuardables();
    void clavesGuardadasAntes();
    void clavesAntiguasSeCifranAlUsarlas();
};

void TstUsers::login_data()
{
    QTest::addColumn<QString>("nombre");
    QTest::addColumn<QString>("clave");
    QTest::addColumn<QString>("quien"); // as sesion() puts it; empty when refused

    QTest::newRow("maestra operarios") << "" << kPass1 << "Maestro||1";
    QTest::newRow("maestra supervisores, mayúsculas") << "" << kPass2.toUpper() << "Maestro||2";
    QTest::newRow("sin operario, incorrecta") << "" << "nada" << "";
    QTest::newRow("sin operario, vacía") << "" << "" << "";
    QTest::newRow("con espacio no se recorta") << "" << kPass1 + u' ' << "";
    QTest::newRow("propia en mayúsculas") << "Gerente" << "CLAVE" << "Gerente|Gerencia|2";
    QTest::newRow("maestra supervisores no vale para operario") << "Gerente" << kPass2 << "";
    QTest::newRow("maestra operarios con operario") << "Gerente" << kPass1 << "Gerente|Gerencia|1";
    QTest::newRow("comilla y eñe") << "O'Brien" << "ÑANDÚ'X" << "O'Brien|Operador|2";
    QTest::newRow("truco de comillas en la clave") << "O'Brien" << "' OR '1'='1" << "";
    QTest::newRow("truco de comillas, otra forma") << "Gerente" << "x' OR OPERADOR<>'" << "";
    QTest::newRow("acentos sin distinguir mayúsculas") << "José" << "árbol" << "José|Superior|2";
    QTest::newRow("acento distinto no vale") << "José" << "arbol" << "";
    QTest::newRow("nombre con truco, sin fila") << "x' OR '1'='1" << "clave" << "";
    QTest::newRow("nombre con truco, maestra") << "x' OR '1'='1" << kPass1 << "x' OR '1'='1||1";
    QTest::newRow("clave vacía de operario sin clave") << "Vacío" << "" << "";
    // A name written as a person types it: case and surrounding blanks do
    // not count, accents do; the session keeps the name as stored.
    QTest::newRow("nombre en minúsculas") << "ana gómez" << "ANA1" << "Ana Gómez|Operador|2";
    QTest::newRow("nombre con blancos y mayúsculas") << "  ANA GÓMEZ " << "ana1" << "Ana Gómez|Operador|2";
    QTest::newRow("sin acento es otro nombre") << "Ana Gomez" << "ana1" << "";
    QTest::newRow("sin acento, maestra de operarios") << "Ana Gomez" << kPass1 << "Ana Gomez||1";
}

void TstUsers::login()
{
    QFETCH(QString, nombre);
    QFETCH(QString, clave);
    QFETCH(QString, quien);

    Planta p;
    QVERIFY(p.ok);
    p.maestras(kPass1, kPass2);
    QVERIFY(agregaOperario(u"Gerente"_s, u"clave"_s, u"Gerencia"_s));
    QVERIFY(agregaOperario(u"O'Brien"_s, u"ñandú'x"_s, u"Operador"_s));
    QVERIFY(agregaOperario(u"José"_s, u"Árbol"_s, u"Superior"_s));
    QVERIFY(agregaOperario(u"Vacío"_s, QString(), u"Instalador"_s));
    QVERIFY(agregaOperario(u"Ana Gómez"_s, u"Ana1"_s, u"Operador"_s));

    frmLogin1 f;
    // The list: a blank entry, then the operators in name order.
    QCOMPARE(elementos(f.DBCombo_Operarrio), QStringList({"", "Ana Gómez", "Gerente", "José", "O'Brien", "Vacío"}));

    // A name not in the list as written: as the web's sign-in receives it.
    if (f.DBCombo_Operarrio->findText(nombre) < 0)
        f.DBCombo_Operarrio->addItem(nombre);
    f.show();
    QCOMPARE(ingresa(f, nombre, clave), !quien.isEmpty());
    QCOMPARE(f.isVisible(), quien.isEmpty());
    QCOMPARE(sesion(), quien.isEmpty() ? u"||0"_s : quien);
    QCOMPARE(cajas(), quien.isEmpty() ? caja({MessageBox::Ninguno, u"Inicio de sesión"_s, frmLogin1::kIncorrecta,
                                              QMessageBox::Ok, QMessageBox::NoButton})
                                      : QString());
    // Nothing was changed by the attempt.
    QCOMPARE(operarios().size(), 5);
}

void TstUsers::loginSinMaestras()
{
    // A first run never done: no master password exists, and no built-in
    // one takes its place.
    Planta p;
    QVERIFY(agregaOperario(u"Ana"_s, u"ana1"_s, u"Operador"_s));
    frmLogin1 f;
    for (const QString& intento : {QString(), u"abc"_s, u"..."_s, u"   "_s}) {
        QVERIFY(!ingresa(f, QString(), intento));
        QVERIFY(!ingresa(f, u"Ana"_s, intento));
    }
    QCOMPARE(MessageBox::mostrados().size(), 8);
    QVERIFY(ingresa(f, u"Ana"_s, u"ANA1"_s));
    QCOMPARE(Programa::TipoAcceso, 2);

    // Two master passwords that differ only in case: the supervisors' wins.
    p.maestras(u"igual"_s, u"IGUAL"_s);
    frmLogin1 g;
    QVERIFY(ingresa(g, QString(), u"Igual"_s));
    QCOMPARE(sesion(), u"Maestro||2"_s);
}

// No database: the sign-in takes only the master passwords; the operators'
// form and the password form report it and close.
void TstUsers::sinBase()
{
    Planta p;
    p.maestras(kPass1, kPass2);
    QVERIFY(QFile::remove(p.dir.file(u"data.db"_s)));
    const QString aviso = caja({MessageBox::Exclamacion, QApplication::applicationName(), frmLogin1::kSinConexion,
                                QMessageBox::Ok, QMessageBox::NoButton});
    frmLogin1 f;
    QCOMPARE(cajas(), aviso);
    QCOMPARE(f.DBCombo_Operarrio->count(), 1);
    QVERIFY(!ingresa(f, QString(), u"otra"_s));
    QVERIFY(ingresa(f, QString(), kPass2));
    QCOMPARE(sesion(), u"Maestro||2"_s);

    MessageBox::limpiar();
    const QString error = caja({MessageBox::Critico, u"Error"_s, u"La referencia de datos es incorrecta."_s,
                                QMessageBox::Ok, QMessageBox::NoButton});
    frmOPERARIO o;
    o.show();
    QVERIFY(!o.cargado());
    QCOMPARE(cajas(), error);
    QTRY_VERIFY_WITH_TIMEOUT(!o.isVisible(), kEspera);
    MessageBox::limpiar();
    Programa::OperadorActual = u"Ana"_s;
    frmCContrasenias c;
    c.show();
    QVERIFY(!c.cargado());
    QCOMPARE(cajas(), error);
    QTRY_VERIFY_WITH_TIMEOUT(!c.isVisible(), kEspera);

    // An empty section BaseDeDatos behaves the same at sign-in.
    Programa::DataCSOperarios.clear();
    MessageBox::limpiar();
    frmLogin1 g;
    QCOMPARE(cajas(), aviso);
    QVERIFY(ingresa(g, QString(), kPass1));
}

void TstUsers::loginFallaAlVerificarYReintento()
{
    Planta p;
    p.maestras(kPass1, kPass2);
    QVERIFY(agregaOperario(u"Ana"_s, u"ana1"_s, u"Instalador"_s));
    const QString tabla = Programa::DataTbOperarios;
    frmLogin1 f;
    f.show();
    // The database goes away between the list and the check.
    QVERIFY(QFile::rename(p.dir.file(u"data.db"_s), p.dir.file(u"otra.db"_s)));
    for (const QString& clave : {u"ana1"_s, kPass1, kPass2}) {
        MessageBox::limpiar();
        QVERIFY(!ingresa(f, u"Ana"_s, clave));
        QVERIFY(f.isVisible());
        QCOMPARE(textosMostrados(), QStringList{frmLogin1::kSinConexion});
    }
    QCOMPARE(sesion(), u"||0"_s);
    // A table that cannot be read is a fault as well.
    QVERIFY(QFile::rename(p.dir.file(u"otra.db"_s), p.dir.file(u"data.db"_s)));
    Programa::DataTbOperarios = u"NoExiste"_s;
    QVERIFY(!ingresa(f, u"Ana"_s, u"ana1"_s));
    // Without an operator the master passwords still work.
    QVERIFY(ingresa(f, QString(), kPass1));
    QCOMPARE(Programa::NivelActual, QString());

    // A wrong password is selected for retyping, and the failed operator's
    // level must not stick to a master sign-in.
    Programa::DataTbOperarios = tabla;
    f.show(); // hidden by the sign-in
    QVERIFY(QTest::qWaitForWindowExposed(&f, kEspera));
    QVERIFY(!ingresa(f, u"Ana"_s, u"mala"_s));
    QCOMPARE(f.txtPassword->selectedText(), u"mala"_s);
    QVERIFY(f.txtPassword->hasFocus());
    QVERIFY(ingresa(f, QString(), kPass2));
    QCOMPARE(sesion(), u"Maestro||2"_s);

    // Cancelar: no sign-in, no message.
    Programa::OperadorActual.clear();
    MessageBox::limpiar();
    frmLogin1 g;
    g.show();
    g.txtPassword->setText(kPass1);
    g.cmdCancel->click();
    QVERIFY(!g.Aceptado && !g.isVisible());
    QCOMPARE(cajas(), QString());
    QCOMPARE(Programa::OperadorActual, QString());
}

void TstUsers::loginPostgres()
{
    const QString pg = conexionPostgres();
    if (pg.isEmpty())
        QSKIP("TOLVEX_TEST_PG no está definida");
    Planta p;
    p.maestras(kPass1, kPass2);
    InstalacionDePrueba tablas(pg); // tables of their own, dropped at the end
    QVERIFY(tablas.ok());
    Programa::DataCSOperarios = pg;
    Programa::DataTbOperarios = u"ope_"_s + Programa::DataTbReporte;
    QVERIFY(agregaOperario(u"D'Alessio"_s, u"Ñu'"_s, u"Instalador"_s));
    QVERIFY(agregaOperario(u"d'alessio"_s, u"otra"_s, u"Operador"_s));
    frmLogin1 f;
    QVERIFY(MessageBox::mostrados().isEmpty());
    QCOMPARE(f.DBCombo_Operarrio->count(), 3);
    QVERIFY(!ingresa(f, u"D'Alessio"_s, u"otra"_s));
    QVERIFY(!ingresa(f, u"D'Alessio"_s, u"' OR ''='"_s));
    QVERIFY(ingresa(f, u"D'Alessio"_s, u"ñU'"_s));
    QCOMPARE(sesion(), u"D'Alessio|Instalador|2"_s);
    // Two rows the name matches only without case (kept from before such
    // names were refused): neither row is taken.
    f.DBCombo_Operarrio->addItem(u"D'ALESSIO"_s);
    QVERIFY(!ingresa(f, u"D'ALESSIO"_s, u"otra"_s));
    QVERIFY(!ingresa(f, u"D'ALESSIO"_s, u"ñU'"_s));
    QVERIFY(Secreto::esCifrada(operarios().value(u"D'Alessio"_s).first));

    // A table of an earlier plant, with a column too short for a hash: it
    // is widened when the password is first written hashed.
    const QString vieja = u"ope_vieja_%1"_s.arg(QCoreApplication::applicationPid());
    CDatos db;
    QVERIFY(db.AbrirBase(pg));
    QVERIFY(db.Ejecuta(u"CREATE TABLE %1 (OPERADOR VARCHAR(30), PASSWORD VARCHAR(15), JERARQUIA VARCHAR(15))"_s.arg(vieja)));
    const auto borra = qScopeGuard([&db, vieja] { db.Ejecuta(u"DROP TABLE %1"_s.arg(vieja)); });
    Programa::DataTbOperarios = vieja;
    QVERIFY(agregaOperario(u"Ana"_s, u"Quince-Letras15"_s, u"Gerencia"_s));
    const Acceso::Resultado r = Acceso::verifica(Contexto::programa(), u"Ana"_s, u"quince-letras15"_s);
    QVERIFY(r.aceptado);
    QVERIFY2(r.avisos.isEmpty(), qPrintable(r.avisos.join(u'\n')));
    QVERIFY(Secreto::coincide(operarios().value(u"Ana"_s).first, u"Quince-Letras15"_s, true));
    QVERIFY(Secreto::guardaOperario(pg, vieja, u"Ana"_s, u"nueva"_s));
    QVERIFY(Acceso::verifica(Contexto::programa(), u"Ana"_s, u"NUEVA"_s).aceptado);
    QString error;
    QVERIFY(!Secreto::guardaOperario(pg, vieja, u"Nadie"_s, u"x"_s, &error));
    QVERIFY(error.contains(u"Nadie"_s));
}

void TstUsers::primeraVez()
{
    Planta p;
    frmLogin2 f;
    f.show();
    QVERIFY(!f.enPasoClaves());

    // Name step with empty boxes writes two empty values.
    f.cmdOK->click();
    QVERIFY(f.enPasoClaves());
    QCOMPARE(Config::LeeConfig(u"global"_s, u"Usuario"_s, u"def"_s), QString());
    QCOMPARE(Config::LeeConfig(u"Global"_s, u"Organización"_s, u"def"_s), QString());
    QVERIFY(!f.cmdOK->isEnabled());

    // Enable rule: both pairs equal (letter case counts) and both non-empty.
    const QString s = u"Sup'é"_s, o = u"opé"_s;
    for (const auto& [c, activo] : QList<std::pair<QStringList, bool>>{
             {{s, s, {}, {}}, false}, {{s, s, o, u"OPÉ"_s}, false}, {{s, {}, o, o}, false}, {{s, s, o, o}, true}}) {
        claves(f, c[0], c[1], c[2], c[3]);
        QCOMPARE(f.cmdOK->isEnabled(), activo);
    }

    // No: stays in the password step, nothing written.
    MessageBox::setNextAnswer(QMessageBox::No);
    f.cmdOK->click();
    QVERIFY(f.isVisible() && !f.Aceptado && f.enPasoClaves());
    QCOMPARE(cajas(), caja({MessageBox::Informacion, u"Atencion"_s, frmLogin2::kPregunta,
                            QMessageBox::Yes | QMessageBox::No, QMessageBox::No}));
    QCOMPARE(Config::LeeConfig(u"Global"_s, u"Pass1"_s, u"-"_s), u"-"_s);

    // Yes: both stored hashed, neither recoverable from the file.
    MessageBox::setNextAnswer(QMessageBox::Yes);
    f.cmdOK->click();
    QVERIFY(f.Aceptado && !f.isVisible());
    const QByteArray ini = leeArchivo(p.dir.file(u"Tolvex.ini"_s));
    QVERIFY2(ini.contains("Pass1=$argon2id$") && ini.contains("Pass2=$argon2id$"), ini.constData());
    QVERIFY(!guardaRecuperable(ini, o) && !guardaRecuperable(ini, s));
    QVERIFY(Secreto::coincide(Secreto::leeMaestra(Secreto::kPass1), u"OPÉ"_s));
    QVERIFY(!Secreto::coincide(Secreto::leeMaestra(Secreto::kPass1), s));
    QVERIFY(Secreto::coincide(Secreto::leeMaestra(Secreto::kPass2), s));
}

void TstUsers::primeraVezSalir()
{
    {
        Planta p;
        frmLogin2 f;
        f.show();
        f.txtUserName->setText(u"Planta Ñandú"_s);
        f.cmdCancel->click();
        QVERIFY(!f.Aceptado && !f.isVisible());
        QVERIFY(!leeArchivo(p.dir.file(u"Tolvex.ini"_s)).contains("Usuario"));
    }
    Planta p;
    frmLogin2 f;
    f.show();
    f.txtUserName->setText(u"Planta Ñandú"_s);
    f.txtPassword->setText(u"Molinos S.A."_s);
    f.cmdOK->click();
    claves(f, u"a"_s, u"a"_s, {}, {});
    f.cmdCancel->click();
    QVERIFY(!f.Aceptado);
    // Name and organisation were written in the first step; no password.
    QCOMPARE(Config::LeeConfig(u"global"_s, u"Usuario"_s, QString()), u"Planta Ñandú"_s);
    QCOMPARE(Config::LeeConfig(u"global"_s, u"Organización"_s, QString()), u"Molinos S.A."_s);
    QVERIFY(!leeArchivo(p.dir.file(u"Tolvex.ini"_s)).contains("Pass"));
}

void TstUsers::operarioAgregar()
{
    Planta p;
    QVERIFY(agregaOperario(u"Zulema"_s, u"z"_s, u"Operador"_s));
    frmOPERARIO f;
    f.show();
    QVERIFY(f.cargado());
    QCOMPARE(f.Data1->text(), u"Operario: 1/1"_s);

    f.cmdAgregar->click();
    QVERIFY(f.agregando());
    QCOMPARE(f.ListaJerarquias->currentText(), u"Operador"_s);
    QCOMPARE(elementos(f.ListaJerarquias), QStringList({"Operador", "Superior", "Gerencia", "Instalador"}));
    QCOMPARE(f.txt_Dato[1]->text(), QString());

    f.ListaJerarquias->setCurrentText(u"Gerencia"_s);
    QCOMPARE(agrega(f, u"Ñoño O'Hara"_s, u"ab'c"_s), QStringList());
    QVERIFY(!f.agregando());
    // The new row is current (the engine sorts "Ñ" after "Z").
    QCOMPARE(f.Data1->text(), u"Operario: 2/2"_s);
    QCOMPARE(f.txt_Dato[0]->text(), u"Ñoño O'Hara"_s);
    // The password box holds the stored text, never the clear one.
    QVERIFY(f.txt_Dato[1]->text() != u"ab'c"_s);

    const auto [cifrada, nivel] = operarios().value(u"Ñoño O'Hara"_s);
    QCOMPARE(nivel, u"Gerencia"_s);
    QVERIFY(Secreto::coincide(cifrada, u"ab'c"_s, true));
    QVERIFY(!Secreto::coincide(cifrada, u"AB'C"_s, true));
    QVERIFY(!guardaRecuperable(leeArchivo(p.dir.file(u"data.db"_s)) + leeArchivo(p.dir.file(u"data.db-wal"_s)), u"ab'c"_s));

    // Adding without touching the chooser stores "Operador".
    agrega(f, u"Beto"_s, u"b"_s);
    QCOMPARE(operarios().value(u"Beto"_s).second, u"Operador"_s);
    QCOMPARE(f.Data1->text(), u"Operario: 1/3"_s);
    f.cmdUltimo->click();
    QCOMPARE(f.Data1->text(), u"Operario: 3/3"_s);
    QCOMPARE(f.txt_Dato[0]->text(), u"Ñoño O'Hara"_s);
    f.cmdAnterior->click();
    QCOMPARE(f.txt_Dato[0]->text(), u"Zulema"_s);

    // Refused: nothing stored, and still adding so that it can be corrected.
    const auto antes = operarios();
    QCOMPARE(agrega(f, QString(), u"x"_s), QStringList{u"Ingrese el nombre del operario."_s});
    QVERIFY(f.agregando());
    QCOMPARE(agrega(f, u"   "_s, u"x"_s).size(), 1);
    QCOMPARE(agrega(f, u"Pepe"_s, QString()), QStringList{u"Ingrese la contraseña del operario."_s});
    QCOMPARE(agrega(f, u"Beto"_s, u"x"_s), QStringList{u"Ya existe un operario con el nombre Beto."_s});
    QCOMPARE(agrega(f, u"BETO "_s, u"x"_s).size(), 1);
    QCOMPARE(operarios(), antes);
    // Corrected, it is stored; an accent makes another name, as at sign-in.
    QCOMPARE(agrega(f, u"Beto María"_s, u"x"_s), QStringList());
    QCOMPARE(agrega(f, u"D'Angelo"_s, u"x"_s), QStringList());
    QCOMPARE(agrega(f, u"Betó"_s, u"x"_s), QStringList());
    QCOMPARE(operarios().size(), 6);
}

void TstUsers::operarioNivelYEliminar()
{
    Planta p;
    for (const char* n : {"Ana", "Beto", "Ciro"})
        QVERIFY(agregaOperario(QString::fromLatin1(n), u"x"_s, u"Operador"_s));
    {
        // A level is stored when leaving the row, only when it is one of the
        // four; letter case counts.
        frmOPERARIO f;
        f.show();
        f.txt_Dato[2]->setText(u"Jefe"_s);
        f.cmdSiguiente->click();
        QCOMPARE(MessageBox::mostrados().size(), 1);
        QCOMPARE(operarios().value(u"Ana"_s).second, u"Operador"_s);
        f.cmdPrimero->click();
        QCOMPARE(f.txt_Dato[2]->text(), u"Operador"_s);
        f.txt_Dato[2]->setText(u"gerencia"_s);
        emit f.txt_Dato[2]->editingFinished();
        QCOMPARE(operarios().value(u"Ana"_s).second, u"Operador"_s);
        f.txt_Dato[2]->setText(u"Gerencia"_s);
        f.cmdSiguiente->click();
        QCOMPARE(operarios().value(u"Ana"_s).second, u"Gerencia"_s);
        QCOMPARE(operarios().value(u"Beto"_s).second, u"Operador"_s);
        f.txt_Dato[2]->setText(u"Instalador"_s);
        f.accept();
        QCOMPARE(operarios().value(u"Beto"_s).second, u"Instalador"_s);
    }
    MessageBox::limpiar();
    frmOPERARIO f;
    f.show();
    f.mover(2);

    const auto elimina = [&f](QMessageBox::StandardButton respuesta) {
        MessageBox::setNextAnswer(respuesta);
        f.cmdDelete->click();
    };
    elimina(QMessageBox::Cancel);
    QCOMPARE(cajas(), caja({MessageBox::Critico, u"Atencion"_s, u"Desea eliminar el operario Ciro ? "_s,
                            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel}));
    QCOMPARE(operarios().size(), 3);

    elimina(QMessageBox::Ok);
    QCOMPARE(operarios().keys(), QStringList({"Ana", "Beto"}));
    QCOMPARE(f.Data1->text(), u"Operario: 2/2"_s);
    QCOMPARE(f.txt_Dato[0]->text(), u"Beto"_s);
    elimina(QMessageBox::Ok);
    QCOMPARE(operarios().keys(), QStringList({"Ana"}));
    QCOMPARE(f.Data1->text(), u"Operario: 0/1"_s); // after the end

    // After the end nothing is current, so nothing is deleted.
    elimina(QMessageBox::Ok);
    QCOMPARE(operarios().size(), 1);
    f.cmdPrimero->click();
    elimina(QMessageBox::Ok);
    QVERIFY(operarios().isEmpty());
    QCOMPARE(f.Data1->text(), u"Operario: 0/0"_s);
}

void TstUsers::operarioEliminarNiveles_data()
{
    QTest::addColumn<int>("fila");
    QTest::addColumn<QString>("queda"); // current operator afterwards
    QTest::newRow("primera") << 0 << u"Ciro"_s;
    QTest::newRow("del medio") << 1 << u"Ciro"_s;
    QTest::newRow("penultima") << 2 << u"Beto"_s;
    QTest::newRow("ultima") << 3 << u"Beto"_s;
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
    MessageBox::setNextAnswer(QMessageBox::Ok);
    f.cmdDelete->click();
    QCOMPARE(operarios(), esperado);
    QCOMPARE(f.Data1->text(), u"Operario: 2/3"_s);
    QCOMPARE(f.txt_Dato[0]->text(), queda);
    QCOMPARE(f.txt_Dato[2]->text(), esperado.value(queda).second);

    // Browsing every row and closing writes nothing either.
    for (QToolButton* b : {f.cmdPrimero, f.cmdSiguiente, f.cmdSiguiente, f.cmdUltimo, f.cmdAnterior})
        b->click();
    f.accept();
    QCOMPARE(operarios(), esperado);
    QVERIFY(MessageBox::mostrados().size() == 1);
}

void TstUsers::cambioContrasenia()
{
    Planta p;
    QVERIFY(agregaOperario(u"O'Brien"_s, u"Vieja"_s, u"Operador"_s));
    Programa::OperadorActual = u"O'Brien"_s;
    frmCContrasenias f;
    f.show();
    QVERIFY(f.cargado());
    QCOMPARE(f.windowTitle(), u"Cambiar Contraseña del Usuario: O'Brien"_s);
    // The checks, in their order.
    QCOMPARE(cambia(f, "VIEJA", "", "x"), u"La clave anterior no es valida."_s);
    QCOMPARE(cambia(f, "Vieja", "", ""), u"No ha ingresado nuevas claves."_s);
    QCOMPARE(cambia(f, "Vieja", "nueva", ""), u"No ha ingresado nuevas claves."_s);
    QCOMPARE(cambia(f, "Vieja", "Nueva", "nueva"), u"Las claves nuevas sin diferentes."_s);
    QCOMPARE(cajas(), caja({MessageBox::Critico, u"ERROR"_s, u"Las claves nuevas sin diferentes."_s,
                            QMessageBox::Ok, QMessageBox::NoButton}));
    QVERIFY(f.isVisible() && !f.cambiada());
    QCOMPARE(operarios().value(u"O'Brien"_s).first, Config::CodificaTexto(u"Vieja"_s));

    QCOMPARE(cambia(f, "Vieja", "Ñu'é", "Ñu'é"), u"La contraseña se ha cambiado exitosamente."_s);
    QCOMPARE(MessageBox::mostrados().first().titulo, u"Tolvex"_s);
    QVERIFY(f.cambiada() && !f.isVisible());

    QVERIFY(Secreto::esCifrada(operarios().value(u"O'Brien"_s).first));
    frmLogin1 l;
    QVERIFY(!ingresa(l, u"O'Brien"_s, u"Vieja"_s));
    QVERIFY(ingresa(l, u"O'Brien"_s, u"ñU'É"_s));
    // The old password is checked with its letter case against the hash too.
    frmCContrasenias h;
    h.show();
    QCOMPARE(cambia(h, "ñu'é", "x", "x"), u"La clave anterior no es valida."_s);
    QCOMPARE(cambia(h, "Ñu'é", "Otra", "Otra"), u"La contraseña se ha cambiado exitosamente."_s);
    QVERIFY(ingresa(l, u"O'Brien"_s, u"otra"_s));

    // The operator's row deleted while the form is open: reported, not stored.
    frmCContrasenias g;
    g.show();
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSOperarios));
        QVERIFY(db.Ejecuta(u"DELETE FROM "_s + Programa::DataTbOperarios));
    }
    QCOMPARE(cambia(g, u"Otra"_s, "b", "b"),
             u"No se cambió la contraseña: el operario O'Brien no existe en la base de datos."_s);
    QCOMPARE(MessageBox::mostrados().size(), 1);
    QVERIFY(!g.cambiada() && g.isVisible());
    QVERIFY(operarios().isEmpty());
}

void TstUsers::clavesNoGuardables_data()
{
    QTest::addColumn<QString>("clave");
    QTest::addColumn<QString>("fuera");
    QTest::newRow("griega") << u"Ωmega"_s << u"«Ω»"_s;
    QTest::newRow("cirílico") << u"пароль1"_s << u"«п»"_s;
    QTest::newRow("fuera del plano básico") << u"año😀"_s << u"«😀»"_s;
}

// A password the settings file's code page cannot hold is refused wherever
// a password is set, with the character named, and nothing is stored.
void TstUsers::clavesNoGuardables()
{
    QFETCH(QString, clave);
    QFETCH(QString, fuera);
    Planta p;
    QVERIFY(agregaOperario(u"Ana"_s, u"vieja"_s, u"Operador"_s));
    const auto antes = operarios();
    auto rechazada = [&] {
        const QStringList t = textosMostrados();
        return t.size() == 1 && t.first().contains(fuera) && t.first().contains(u"Tolvex.ini"_s);
    };

    frmOPERARIO o;
    o.show();
    agrega(o, u"Beto"_s, clave);
    QVERIFY2(rechazada(), qPrintable(textosMostrados().join(u'|')));
    QVERIFY(o.agregando());
    QCOMPARE(operarios(), antes);

    Programa::OperadorActual = u"Ana"_s;
    frmCContrasenias c;
    c.show();
    cambia(c, u"vieja"_s, clave, clave);
    QVERIFY(rechazada());
    QVERIFY(c.isVisible() && !c.cambiada());
    QCOMPARE(operarios(), antes);

    for (int par = 0; par < 2; ++par) {
        MessageBox::limpiar();
        frmLogin2 f;
        f.show();
        f.cmdOK->click();
        const QString s = par ? u"s"_s : clave, op = par ? clave : u"o"_s;
        claves(f, s, s, op, op);
        MessageBox::setNextAnswer(QMessageBox::Yes);
        f.cmdOK->click();
        QVERIFY(rechazada()); // refused before the question
        QVERIFY(!f.Aceptado && f.isVisible());
        QVERIFY(!leeArchivo(p.dir.file(u"Tolvex.ini"_s)).contains("Pass"));
    }
}

// Passwords stored before the check, their odd characters already lost,
// still let their owners in: the typed text is taken as it would be stored.
void TstUsers::clavesGuardadasAntes()
{
    Planta p;
    p.maestras(u"Ωmega"_s, kPass2);
    QVERIFY(agregaOperario(u"Ana"_s, u"αβ1"_s, u"Superior"_s));
    frmLogin1 l;
    QVERIFY(ingresa(l, QString(), u"Ωmega"_s));
    QCOMPARE(Programa::TipoAcceso, 1);
    QVERIFY(ingresa(l, u"Ana"_s, u"αβ1"_s));
    QCOMPARE(sesion(), u"Ana|Superior|2"_s);

    frmCContrasenias c;
    c.show();
    cambia(c, u"αβ1"_s, u"Ñandú"_s, u"Ñandú"_s);
    QVERIFY(c.cambiada());
    QVERIFY(ingresa(l, u"Ana"_s, u"ñANDÚ"_s));
}

void TstUsers::clavesAntiguasSeCifranAlUsarlas()
{
    // A plant of an earlier version: the master passwords and the operators'
    // scrambled in the file and the table (each code XOR the key).
    Planta p;
    p.maestras(u"Opera-1"_s, u"Super-2"_s);
    QVERIFY(agregaOperario(u"Ana"_s, u"Ana-3x"_s, u"Instalador"_s));
    QVERIFY(agregaOperario(u"Beto"_s, u"Beto-4y"_s, u"Operador"_s));
    auto base = [&p] { return leeArchivo(p.dir.file(u"data.db"_s)) + leeArchivo(p.dir.file(u"data.db-wal"_s)); };
    auto archivo = [&p] { return leeArchivo(p.dir.file(u"Tolvex.ini"_s)); };
    QVERIFY(guardaRecuperable(archivo(), u"Opera-1"_s) && guardaRecuperable(base(), u"Ana-3x"_s));

    // A wrong password changes nothing of who may sign in.
    QVERIFY(!Acceso::verifica(Contexto::programa(), u"Ana"_s, u"Super-2"_s).aceptado);
    const Acceso::Resultado maestro = Acceso::verifica(Contexto::programa(), QString(), u"opera-1"_s);
    QVERIFY(maestro.aceptado && maestro.avisos.isEmpty());
    QCOMPARE(maestro.tipoAcceso, 1);
    frmLogin1 l;
    QVERIFY(ingresa(l, u"Ana"_s, u"ANA-3X"_s));
    QCOMPARE(sesion(), u"Ana|Instalador|2"_s);
    QVERIFY(ingresa(l, u"Beto"_s, u"Beto-4y"_s));

    // Now every one is hashed, and none can be read back from the files.
    for (const QString& m : {Secreto::kPass1, Secreto::kPass2})
        QVERIFY(Secreto::esCifrada(Secreto::leeMaestra(m)));
    for (const QString& o : {u"Ana"_s, u"Beto"_s}) {
        QVERIFY(Secreto::esCifrada(operarios().value(o).first));
        QVERIFY(!Secreto::anticuada(operarios().value(o).first, Secreto::Forma::Operario));
    }
    for (const QString& c : {u"Opera-1"_s, u"Super-2"_s, u"Ana-3x"_s, u"Beto-4y"_s})
        QVERIFY2(!guardaRecuperable(archivo() + base(), c), qPrintable(c));

    // And they sign in as before: the case rules kept.
    QVERIFY(ingresa(l, QString(), u"SUPER-2"_s));
    QCOMPARE(Programa::TipoAcceso, 2);
    QVERIFY(ingresa(l, u"Ana"_s, u"opera-1"_s));
    QCOMPARE(sesion(), u"Ana|Instalador|1"_s);
    QVERIFY(!ingresa(l, u"Ana"_s, u"Super-2"_s));
    // The stored text itself is no password.
    QVERIFY(!ingresa(l, u"Ana"_s, operarios().value(u"Ana"_s).first));
    QVERIFY(!ingresa(l, QString(), Secreto::leeMaestra(Secreto::kPass1)));
    frmCContrasenias c;
    c.show();
    QCOMPARE(cambia(c, u"ana-3x"_s, u"n"_s, u"n"_s), u"La clave anterior no es valida."_s);
    QCOMPARE(cambia(c, u"Ana-3x"_s, u"n"_s, u"n"_s), u"La contraseña se ha cambiado exitosamente."_s);
}

QTEST_MAIN(TstUsers)
#include "tst_users.moc"

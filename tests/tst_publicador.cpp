// The plant's publisher on a PostgreSQL server: every change of a line's
// state reaches its row and the plant channel by itself, whichever value
// changed, even on the same reading; a heartbeat is not what brings it.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSqlDriver>
#include <functional>

#include "CDatos.h"
#include "Contexto.h"
#include "PublicadorPlanta.h"
#include "Schema.h"
#include "TestSupport.h"

class TstPublicador : public QObject
{
    Q_OBJECT
private slots:
    void cadaCambioSeEnviaSolo();
    void cincoPorSegundo();
};

namespace {

// The state the plant table holds for the line, or an empty object.
QJsonObject fila(CDatos& db, const QString& puesto, int linea)
{
    QJsonObject o;
    if (db.AbreRegistro(QStringLiteral("SELECT ESTADO FROM %1 WHERE PUESTO = ? AND LINEA = ?").arg(Schema::kTablaPlanta),
                        {puesto, linea})) {
        if (db.PrimerRegistro())
            o = QJsonDocument::fromJson(db.Campo(QStringLiteral("ESTADO")).toString().toUtf8()).object();
        db.CierraRegistro();
    }
    return o;
}

} // namespace

void TstPublicador::cadaCambioSeEnviaSolo()
{
    const QString cs = conexionPostgres();
    if (cs.isEmpty())
        QSKIP("sin servidor PostgreSQL (TOLVEX_TEST_PG)");
    QTemporaryDir dir;
    Contexto c;
    c.DataCSReporte = cs;
    c.Directorio = dir.path();
    const QString puesto = QStringLiteral("tst-publicador-%1").arg(QCoreApplication::applicationPid());
    CDatos db;
    QVERIFY(db.AbrirBase(cs));
    QVERIFY(Schema::creaPlanta(db, nullptr));
    const auto limpia = qScopeGuard([&] {
        db.Ejecuta(QStringLiteral("DELETE FROM %1 WHERE PUESTO = ?").arg(Schema::kTablaPlanta), {puesto});
    });
    // The lines of each notification of this workstation.
    QList<QJsonArray> avisos;
    QSqlDriver* driver = db.base().driver();
    QVERIFY(driver->subscribeToNotification(PublicadorPlanta::kCanal));
    connect(driver, &QSqlDriver::notification, this,
            [&](const QString& canal, QSqlDriver::NotificationSource, const QVariant& carga) {
                const QJsonObject o = QJsonDocument::fromJson(carga.toString().toUtf8()).object();
                if (canal == PublicadorPlanta::kCanal && o.value(QStringLiteral("puesto")).toString() == puesto)
                    avisos.append(o.value(QStringLiteral("lineas")).toArray());
            });

    PublicadorPlanta p(c, puesto);
    Linea l1, l2;
    l1.numero = 1;
    l1.nombre = QStringLiteral("Tolva A");
    l2.numero = 2;
    l2.nombre = QStringLiteral("Tolva B");
    p.setLineas({l1, l2});
    EstadoEstacion e;
    e.abierta = true;
    e.conectado = true;
    e.instante = QDateTime::currentDateTime();
    e.Peso = 100;
    e.textoModo = QStringLiteral("STD. BY");
    p.publica(l1, e);
    p.publica(l2, e);
    QTRY_COMPARE_WITH_TIMEOUT(fila(db, puesto, 2).value(QStringLiteral("peso")).toDouble(), 100.0, kEspera);

    // Each kind of change three times, on the reading line 1 had: each
    // reaches the row, and at least once in a notification of line 1 alone
    // (a heartbeat, due two seconds after the last write, carries both).
    const auto prueba = [&](const char* que, const std::function<void(int)>& cambia,
                            const std::function<bool(const QJsonObject&)>& muestra) {
        int solas = 0;
        for (int i = 0; i < 3; ++i) {
            // Polls that only renew the time first.
            for (int k = 0; k < 3; ++k) {
                e.instante = e.instante.addMSecs(100);
                p.publica(l1, e);
                QTest::qWait(100);
            }
            avisos.clear();
            cambia(i);
            p.publica(l1, e);
            qsizetype lineas = 0;
            const auto llego = [&] {
                for (const QJsonArray& a : std::as_const(avisos))
                    for (const QJsonValue& v : a)
                        if (v.toObject().value(QStringLiteral("linea")).toInt() == 1 && muestra(v.toObject())) {
                            lineas = a.size();
                            return true;
                        }
                return false;
            };
            QTRY_VERIFY2_WITH_TIMEOUT(llego(), que, kEspera);
            QVERIFY2(muestra(fila(db, puesto, 1)), que);
            solas += lineas == 1 ? 1 : 0;
        }
        QVERIFY2(solas > 0, que);
    };
    prueba("peso", [&](int i) { e.Peso = 300 + i; },
           [&](const QJsonObject& o) { return o.value(QStringLiteral("peso")).toDouble() == e.Peso; });
    if (QTest::currentTestFailed())
        return;
    prueba("textoError", [&](int i) { e.textoError = QStringLiteral("ERROR %1").arg(i + 1); },
           [&](const QJsonObject& o) { return o.value(QStringLiteral("textoError")).toString() == e.textoError; });
    if (QTest::currentTestFailed())
        return;
    prueba("textoModo", [&](int i) { e.textoModo = i % 2 ? QStringLiteral("PESAJE") : QStringLiteral("CARGA"); },
           [&](const QJsonObject& o) { return o.value(QStringLiteral("textoModo")).toString() == e.textoModo; });
    if (QTest::currentTestFailed())
        return;
    prueba("decimales", [&](int i) { e.decimales = 1 + i; },
           [&](const QJsonObject& o) { return o.value(QStringLiteral("decimales")).toInt() == e.decimales; });
    if (QTest::currentTestFailed())
        return;
    prueba("conectado", [&](int i) { e.conectado = i % 2 != 0; },
           [&](const QJsonObject& o) { return o.value(QStringLiteral("vigente")).toBool() == e.conectado; });
    if (QTest::currentTestFailed())
        return;
    prueba("nombre", [&](int i) { l1.nombre = QStringLiteral("Tolva %1").arg(i + 1); },
           [&](const QJsonObject& o) { return o.value(QStringLiteral("nombre")).toString() == l1.nombre; });
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(p.cuenta().fallos, 0);
}

// However fast a line changes, at most kMaximoPorSegundo statements go in
// any second, and the row ends with the last state.
void TstPublicador::cincoPorSegundo()
{
    const QString cs = conexionPostgres();
    if (cs.isEmpty())
        QSKIP("sin servidor PostgreSQL (TOLVEX_TEST_PG)");
    QTemporaryDir dir;
    Contexto c;
    c.DataCSReporte = cs;
    c.Directorio = dir.path();
    const QString puesto = QStringLiteral("tst-tope-%1").arg(QCoreApplication::applicationPid());
    CDatos db;
    QVERIFY(db.AbrirBase(cs));
    QVERIFY(Schema::creaPlanta(db, nullptr));
    const auto limpia = qScopeGuard([&] {
        db.Ejecuta(QStringLiteral("DELETE FROM %1 WHERE PUESTO = ?").arg(Schema::kTablaPlanta), {puesto});
    });
    PublicadorPlanta p(c, puesto);
    Linea l;
    l.numero = 1;
    l.nombre = QStringLiteral("Tolva");
    p.setLineas({l});
    EstadoEstacion e;
    e.abierta = true;
    e.conectado = true;
    e.instante = QDateTime::currentDateTime();
    QTRY_VERIFY_WITH_TIMEOUT(!fila(db, puesto, 1).isEmpty(), kEspera);
    const qint64 antes = p.cuenta().sentencias;
    QElapsedTimer t;
    t.start();
    int i = 0;
    while (t.elapsed() < 2500) {
        e.Peso = ++i;
        p.publica(l, e);
        QTest::qWait(5);
    }
    const qint64 n = p.cuenta().sentencias - antes;
    const qint64 tope = PublicadorPlanta::kMaximoPorSegundo * (t.elapsed() / 1000 + 1) + 1;
    QVERIFY2(n <= tope, qPrintable(QStringLiteral("%1 sentencias (tope %2)").arg(n).arg(tope)));
    QVERIFY(n > 0);
    QTRY_COMPARE_WITH_TIMEOUT(fila(db, puesto, 1).value(QStringLiteral("peso")).toDouble(), double(i), kEspera);
    QCOMPARE(p.cuenta().fallos, 0);
}

QTEST_GUILESS_MAIN(TstPublicador)
#include "tst_publicador.moc"

#pragma once

#include <QApplication>
#include <QDate>
#include <QProcess>
#include <QTimer>
#include <QUuid>
#include <functional>

#include "CDatos.h"
#include "Config.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Schema.h"
#include "TestSupport.h"

using namespace Qt::StringLiterals;

// A program directory with settings, template and a reports table, as
// tolvex-setup prepares it; on PostgreSQL the reports table gets a name of
// its own so that concurrent runs do not meet.
class InstalacionDePrueba
{
public:
    explicit InstalacionDePrueba(const QString& postgres = {})
    {
        Instalacion inst;
        inst.directorio = m_dir.path();
        m_ok = inst.ejecutar();
        Programa::leeVariables();
        if (!postgres.isEmpty()) {
            m_tabla = u"rep_"_s + QUuid::createUuid().toString(QUuid::Id128).left(12);
            Programa::DataCSReporte = postgres;
            Programa::DataTbReporte = m_tabla;
            CDatos db;
            m_ok = m_ok && db.AbrirBase(postgres) &&
                   Schema::crear(db, m_tabla, u"ope_"_s + m_tabla, u"glo_"_s + m_tabla, nullptr, nullptr);
        }
    }
    ~InstalacionDePrueba()
    {
        if (!m_tabla.isEmpty()) {
            CDatos db;
            if (db.AbrirBase(Programa::DataCSReporte))
                for (const QString& t : {m_tabla, u"ope_"_s + m_tabla, u"glo_"_s + m_tabla})
                    db.Ejecuta(u"DROP TABLE IF EXISTS "_s + t);
        }
    }
    bool ok() const { return m_ok; }
    QString path() const { return m_dir.path(); }
    QString file(const QString& n) const { return m_dir.file(n); }

private:
    DirectorioDePrueba m_dir;
    QString m_tabla;
    bool m_ok = false;
};

// Row i (1-based) of the test data: ticket i, one of five customers, two
// days per 40 rows, every fifth row a total.
struct FilaPrueba
{
    qint64 ticket;
    QString aux1, aux2;
    double total, peso;
    QDate fecha;
    QTime hora;
    bool opcion1;
    static FilaPrueba de(int i)
    {
        static const QStringList clientes = {u"Acme"_s, u"abeto"_s, u"O'Brien"_s, u"Zeta <&> SA"_s, u"abrojo"_s};
        return {i,
                clientes.at(i % 5),
                u"Camión %1"_s.arg(i % 7),
                (i * 37) % 1000 + 0.5,
                250,
                QDate(2024, 3, 1).addDays(i / 20),
                QTime(6, 0).addSecs(i * 61),
                i % 5 == 0};
    }
};

inline bool insertaFilas(int n, const QList<FilaPrueba>& extra = {})
{
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSReporte) || !db.IniciaTransaccion())
        return false;
    const QString sql = QStringLiteral("INSERT INTO %1 (TICKET, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL, PESO, "
                                       "BACH, PRESET, FECHA, HORA, INFO, OPERADOR, OPCION1) "
                                       "VALUES (?, ?, ?, '', '', '', '', ?, ?, 50, 1000, ?, ?, '', 'juan', ?)")
                            .arg(Programa::DataTbReporte);
    for (qsizetype i = 1; i <= n + extra.size(); ++i) {
        const FilaPrueba f = i <= n ? FilaPrueba::de(int(i)) : extra.at(i - n - 1);
        if (!db.Ejecuta(sql, {f.ticket, f.aux1, f.aux2, f.total, f.peso, f.fecha, f.hora, f.opcion1 ? 1 : 0}))
            return false;
    }
    return db.Confirma();
}

// The rows' lines by ticket: 1, 2 and none (a row written before there
// were lines, which counts as line 1) in turn.
inline bool asignaLineas()
{
    CDatos db;
    return db.AbrirBase(Programa::DataCSReporte) &&
           db.Ejecuta(QStringLiteral("UPDATE %1 SET LINEA = CASE WHEN TICKET % 3 = 1 THEN 1 "
                                     "WHEN TICKET % 3 = 2 THEN 2 END")
                          .arg(Programa::DataTbReporte));
}

// A second weighing line in the settings file, named nombre.
inline bool segundaLinea(const QString& nombre)
{
    return Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Comunicacion_2"), QStringLiteral("1")) &&
           Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Nombre_2"), nombre);
}

inline QVariant consultaValor(const QString& sql)
{
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSReporte) || !db.AbreRegistro(sql) || !db.Existe_Registro())
        return {};
    return db.registroActual().value(0);
}

// Runs accion on the next modal window of type T once it is shown.
template <typename T>
void alAbrirse(std::function<void(T*)> accion)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, accion] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            accion(w);
        }
    });
    timer->start();
}

// A shown box in one line: icon, title, text, buttons, default button.
inline QString caja(const MessageBox::Mostrado& m)
{
    return QStringList{QString::number(m.icono), m.titulo, m.texto, QString::number(m.botones.toInt()),
                       QString::number(m.porDefecto)}
        .join(u'|');
}

inline QString cajas()
{
    QStringList l;
    for (const auto& m : MessageBox::mostrados())
        l << caja(m);
    return l.join(u'\n');
}

// A test's fixture on the engine of its "postgres" row (empty: SQLite), or
// the row skipped when no PostgreSQL server was given.
#define INSTALACION_DEL_MOTOR(inst)                                                                \
    QFETCH(QString, postgres);                                                                     \
    if (!postgres.isEmpty() && (postgres = conexionPostgres()).isEmpty())                          \
        QSKIP("TOLVEX_TEST_PG no está definido");                                                  \
    InstalacionDePrueba inst(postgres);                                                            \
    QVERIFY(inst.ok())

#pragma once

// What the station tests share: a program directory prepared by the
// installation tool, the simulated indicator on loopback TCP, the station
// window, and reading back the database and the text files.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSqlRecord>
#include <QTimer>

#include "CDatos.h"
#include "Config.h"
#include "Cp1252.h"
#include "Indicador.h"
#include "Instalacion.h"
#include "MessageBox.h"
#include "Programa.h"
#include "Registrador.h"
#include "SimuladorEnHilo.h"
#include "TestSupport.h"
#include "Tolva.h"
#include "frmPeso.h"

// Answers the auxiliary data dialog the next time it opens.
inline void rellenaDatosAlAbrir(const QStringList& valores, bool aceptar = true)
{
    auto* t = new QTimer;
    t->setInterval(10);
    QObject::connect(t, &QTimer::timeout, t, [t, valores, aceptar] {
        auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!d || d->objectName() != u"FrmDatos")
            return;
        for (int i = 0; i < 6; ++i) {
            if (auto* e = d->findChild<QLineEdit*>(QStringLiteral("Txt_Dato_%1").arg(i)))
                e->setText(valores.value(i));
        }
        d->findChild<QPushButton*>(aceptar ? QStringLiteral("CmdOkDato")
                                           : QStringLiteral("CmdCancelDato"))
            ->click();
        t->deleteLater();
    });
    t->start();
}

// The named fields of a row as numbers, or of rows as text.
inline QList<double> numeros(const QSqlRecord& r, const QStringList& campos)
{
    QList<double> v;
    for (const QString& c : campos)
        v << r.value(c).toDouble();
    return v;
}
inline QStringList columna(const QList<QSqlRecord>& filas, const char* campo)
{
    QStringList v;
    for (const QSqlRecord& r : filas)
        v << r.value(QLatin1String(campo)).toString();
    return v;
}

// The rows of a table of the program's database, in the order given.
inline QList<QSqlRecord> filasDe(const QString& tabla = Programa::DataTbReporte,
                                 const QString& orden = QStringLiteral("TICKET"))
{
    QList<QSqlRecord> r;
    CDatos db;
    if (!db.AbrirBase(Programa::DataCSReporte) ||
        !db.AbreRegistro(QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(tabla, orden)))
        return r;
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        r.append(db.registroActual());
    return r;
}

// 32-bit values of the simulated indicator's registers.
inline QList<quint32> valores32(IndicadorSimulado& s, std::initializer_list<quint16> registros)
{
    QList<quint32> v;
    for (quint16 r : registros)
        v << s.valor32(r);
    return v;
}

class BancoEstacion
{
public:
    explicit BancoEstacion(int decimales = 0, const QString& postgres = QString())
        : m_sim(parametros(decimales))
    {
        qputenv("TOLVEX_HOME", m_dir.path().toLocal8Bit());
        Instalacion ins;
        ins.directorio = m_dir.path();
        ins.tcp = QStringLiteral("127.0.0.1:%1").arg(m_sim.puerto());
        ins.id = 1;
        ins.postgres = postgres;
        m_instalado = ins.ejecutar();
        m_error = ins.error;
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Tiempo"), QStringLiteral("40"));
        Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Decimales_1"),
                             QString::number(decimales));
        Programa::leeVariables();
        Programa::OperadorActual = QStringLiteral("JUAN PÉREZ");
        Programa::NivelActual = QStringLiteral("Instalador");
        m_sim.indicador().setReloj(false);
        frmPeso::setAjusteEnlace([](ConfigEnlace& c) {
            c.esperaMs = 150;
            c.silencioMs = 30;
        });
        m_registrador = std::make_unique<Registrador>(m_dir.path());
        m_registrador->setPausaMs(100);
        MessageBox::setScripted(true);
        MessageBox::limpiar();
    }
    ~BancoEstacion()
    {
        if (m_ventana)
            m_ventana->cierraYa();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_registrador.reset();
        frmPeso::setAjusteEnlace({});
    }

    static IndicadorSimulado::Parametros parametros(int decimales)
    {
        IndicadorSimulado::Parametros p;
        p.decimales = decimales;
        p.dispersion = 0;
        return p;
    }

    bool instalado() const { return m_instalado; }
    QString error() const { return m_error; }
    const DirectorioDePrueba& dir() const { return m_dir; }
    SimuladorEnHilo& sim() { return m_sim; }
    IndicadorSimulado& ind() { return m_sim.indicador(); }
    QWidget& principal() { return m_principal; }
    Registrador& registrador() { return *m_registrador; }
    frmPeso* ventana() { return m_ventana; }
    int lecturas() const { return m_lecturas; }
    const LecturaPeso& ultima() const { return m_ultima; }

    // Opens the station as the main window does; the window may close again
    // (failure, cancel) before this returns.
    frmPeso* abre(const QStringList& aux = {}, bool aceptar = true)
    {
        m_principal.show();
        rellenaDatosAlAbrir(aux, aceptar);
        m_ventana = new frmPeso(&m_principal, m_registrador.get());
        QObject::connect(m_ventana, &frmPeso::lecturaProcesada, m_ventana,
                         [this](const LecturaPeso& l) {
                             m_ultima = l;
                             ++m_lecturas;
                         });
        m_ventana->inicia();
        return m_ventana;
    }

    // Opens the station and waits for its first polls; null, with the cause
    // in error(), when it does not get that far.
    frmPeso* abreListo(const QStringList& aux = {})
    {
        if (!m_instalado)
            return nullptr;
        abre(aux);
        if (!QTest::qWaitFor([this] { return m_ventana && m_ventana->iniciada(); }, kEspera) || !esperaLecturas()) {
            m_error = QStringLiteral("la estación no llegó a leer");
            return nullptr;
        }
        return m_ventana;
    }

    // Waits until a poll that started after this call has been shown. The
    // link's thread polls on its own timer, so readings it finished may be
    // waiting in this thread's queue: they are taken first; of the next two,
    // the first may come from the poll under way, the second is newer.
    bool esperaLecturas(int n = 2, int ms = kEspera)
    {
        QCoreApplication::processEvents();
        const int objetivo = m_lecturas + n;
        QElapsedTimer t;
        t.start();
        while (m_lecturas < objetivo && t.elapsed() < ms && m_ventana)
            QTest::qWait(5);
        return m_lecturas >= objetivo;
    }

    template <typename T>
    T* control(const QString& nombre)
    {
        return m_ventana ? m_ventana->findChild<T*>(nombre) : nullptr;
    }

    QList<QSqlRecord> filas(const QString& tabla = Programa::DataTbReporte,
                            const QString& orden = QStringLiteral("TICKET"))
    {
        return filasDe(tabla, orden);
    }

    QString archivo(const QString& nombre) const
    {
        return Cp1252::decode(leeArchivo(m_dir.file(nombre)));
    }

private:
    DirectorioDePrueba m_dir;
    SimuladorEnHilo m_sim;
    QWidget m_principal;
    std::unique_ptr<Registrador> m_registrador;
    QPointer<frmPeso> m_ventana;
    LecturaPeso m_ultima;
    int m_lecturas = 0;
    bool m_instalado = false;
    QString m_error;
};

// A display's text and a lamp's colour, by object name.
inline QString textoDe(BancoEstacion& b, const char* nombre)
{
    auto* l = b.control<QLabel>(QLatin1String(nombre));
    return l ? l->text() : QStringLiteral("<sin %1>").arg(QLatin1String(nombre));
}

inline QColor colorDe(BancoEstacion& b, const QString& nombre)
{
    auto* l = b.control<Lampara>(nombre);
    return l ? l->color() : QColor();
}

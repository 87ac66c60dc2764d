#pragma once

#include <QObject>
#include <QString>
#include <QVector>
#include <functional>
#include <map>
#include <memory>

#include "ConfigEnlace.h"
#include "Contexto.h"
#include "EstacionBase.h"

class CerrojoBus;
class EstacionPesaje;
class Registrador;

// The recorder of one workstation: every line of its program directory
// with its settings, link, engine, record writer and journal, polled and
// recorded from inicia() to detiene() whether or not any window shows it.
// Views (windows, the web monitor, the plant's publisher, the local
// channel) follow its stations; nothing here reads a window.
class Grabador : public QObject
{
    Q_OBJECT
public:
    // The recorder of the directory and tables of contexto (kept by
    // reference: it must outlive the recorder).
    explicit Grabador(const Contexto& contexto, QObject* parent = nullptr);
    ~Grabador() override;

    // Who the rows of a line carry until somebody opens its station: the
    // operator signed in at the desktop; empty (the service) keeps the one
    // who last opened it, kept across restarts, or else kSinOperador.
    void setOperadorPorDefecto(const QString& operador) { m_operadorPorDefecto = operador; }
    static inline const QString& kSinOperador = EstacionBase::kSinOperador;
    // Changes to the link settings (tests and benches shorten the waits).
    void setAjusteEnlace(std::function<void(ConfigEnlace&)> ajuste) { m_ajuste = std::move(ajuste); }
    // Called with every line's writer before it starts (a follower of the
    // rows, such as the MQTT outbox, hooks in here).
    void setPreparaRegistro(std::function<void(Registrador&)> f) { m_preparaRegistro = std::move(f); }
    // How the bus lock names this process to a second one.
    void setNombreProceso(const QString& quien) { m_quien = quien; }
    // Minimum time between a writer's rounds after a failure.
    void setPausaRegistroMs(int ms) { m_pausaMs = ms; }

    // Takes the bus (the directory's lock) and starts every line: writers
    // first (rows a previous run left are written), then links. False, and
    // in *error who holds the bus, when another process does.
    bool inicia(QString* error = nullptr);
    bool activo() const { return m_activo; }
    // Stops every line: open journal records are closed, links closed, the
    // bus released. Rows still queued stay in their queue files.
    void detiene();

    QVector<int> lineas() const;
    EstacionPesaje* estacion(int linea) const;
    Registrador* registrador(int linea) const;
    QVector<const Registrador*> registradores() const;
    // Rows and markings not yet written, of every line.
    int pendientes() const;
    // The lines that record now, as the operator names them.
    QStringList descripcionesGrabando() const;

    const Contexto& contexto() const { return m_contexto; }
    // The program directory it records (as it was when it started).
    QString directorio() const { return m_directorio; }

Q_SIGNALS:
    // A line's engine exists (from inicia()): views follow it from here.
    void lineaIniciada(EstacionPesaje* estacion);
    void detenido();

private:
    struct LineaGrabada;
    const Contexto& m_contexto;
    QString m_operadorPorDefecto;
    QString m_quien = QStringLiteral("tolvex");
    std::function<void(ConfigEnlace&)> m_ajuste;
    std::function<void(Registrador&)> m_preparaRegistro;
    int m_pausaMs = 2000;
    bool m_activo = false;
    QString m_directorio;
    std::unique_ptr<CerrojoBus> m_cerrojo;
    std::map<int, std::unique_ptr<LineaGrabada>> m_lineas;
};

#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QVector>
#include <atomic>
#include <functional>

struct Pendiente;

// The batches committed and not yet delivered to the broker, in order, in a
// file of the program directory (one JSON object a line). A batch is
// appended and synced on the record writer's thread before its entry
// leaves the record queue, and taken off only once the broker acknowledged
// it (the file is then rewritten atomically), so that a kill, a full disk
// or a broker away for hours loses none. A batch may be delivered twice (a
// kill between the broker's acknowledgement and the rewrite): its IDLOTE
// tells a consumer it has it already.
class BuzonLotes
{
public:
    static inline const QString kArchivo = QStringLiteral("BuzonMqtt.dat");

    struct Entrada
    {
        QString idLote;
        QByteArray json;
    };

    explicit BuzonLotes(const QString& archivo);

    // Loads the file. A last line cut by a kill in the middle of an append is
    // dropped (its entry was still in the record queue). False (and error)
    // when the file exists but cannot be read.
    bool carga(QString* error = nullptr);

    // The message of a committed batch row of the workstation's line.
    static QByteArray json(const Pendiente& p, const QString& puesto, int linea);

    // Appends the batch (synced). A batch already held is not appended
    // again. False (and error), with the file as it was, when it could not.
    bool agrega(const Pendiente& p, const QString& puesto, int linea, QString* error = nullptr);
    // For the writer's hook: appends, retrying every pausaMs until it is
    // stored or detiene() is called; the first failure and the recovery go
    // to aviso (the error log).
    bool agregaInsistiendo(const Pendiente& p, const QString& puesto, int linea);
    void setAviso(std::function<void(const QString&)> aviso) { m_aviso = std::move(aviso); }
    void setPausaMs(int ms) { m_pausaMs = ms; }
    void detiene() { m_detenido = true; }
    // Called (from the appending thread) after every batch appended.
    void setAlAgregar(std::function<void()> f) { m_alAgregar = std::move(f); }

    bool primero(Entrada* e) const;
    // Takes the batch off (it must be the first); false (and error), with
    // the file as it was, when the file could not be rewritten: it is then
    // delivered again later.
    bool quita(const QString& idLote, QString* error = nullptr);
    int cantidad() const;
    QString archivo() const { return m_archivo; }

private:
    bool reescribe(const QVector<Entrada>& entradas, QString* error);

    mutable QMutex m_mutex;
    QString m_archivo;
    QVector<Entrada> m_entradas;
    std::function<void(const QString&)> m_aviso;
    std::function<void()> m_alAgregar;
    std::atomic<bool> m_detenido{false};
    int m_pausaMs = 1000;
};

class Registrador;

namespace Mqtt {
// Feeds the outbox with every batch row the line's writer commits.
void alimenta(Registrador& registrador, BuzonLotes& buzon);
} // namespace Mqtt

#pragma once

#include <QJsonObject>
#include <QPointer>
#include <QVector>
#include <map>
#include <memory>

#include "EstacionBase.h"

class CanalCliente;
class QLocalSocket;

// A line recorded by another process (the one that holds the bus), seen
// and commanded through the local channel: what it signals arrives in the
// order the recorder's engine signalled it, and what a view asks goes there
// with the operator who asks, whose level the recorder checks.
class EstacionRemota : public EstacionBase
{
    Q_OBJECT
public:
    bool iniciada() const override { return m_iniciada; }
    int periodoConfigurado() const override { return m_periodo; }
    QString falloApertura() const override { return m_fallo; }
    QStringList avisosRegistro() const override { return m_avisos; }

    void abreVista(const QStringList& aux, const QString& operador) override;
    void cierraVista(const QString& operador) override;
    int comando(char letra, const QString& nombre, const QString& operador = QString()) override;
    int programa(const Programacion& p, const QString& operador = QString()) override;
    int reset(const QString& operador = QString()) override;

Q_SIGNALS:
    // The recorder refused what was asked (the operator is unknown or his
    // level does not allow it; id 0 for opening a view): the message to
    // show. operacionTerminada(id, false) follows for an operation.
    void rechazada(int id, const QString& mensaje);

private:
    friend class CanalCliente;
    EstacionRemota(const Linea& linea, CanalCliente* canal);
    // One message of the recorder about this line.
    void recibe(const QString& op, const QJsonObject& m);
    void perdida();
    int envia(QJsonObject pedido, const QString& operador, bool operacion = true);

    CanalCliente* m_canal;
    bool m_iniciada = false;
    int m_periodo = 0;
    QString m_fallo;
    QStringList m_avisos;
    int m_siguiente = 1;
};

// The connection of a desktop program to the process that holds its
// directory's bus: one EstacionRemota per line it records.
class CanalCliente : public QObject
{
    Q_OBJECT
public:
    ~CanalCliente() override;

    // Connects to the recorder of directorio and reads its greeting. Null,
    // with *error, when nobody listens there or the greeting does not come
    // within esperaMs (blocks meanwhile).
    static std::unique_ptr<CanalCliente> conecta(const QString& directorio, QString* error = nullptr,
                                                 int esperaMs = 3000);

    QVector<int> lineas() const;
    EstacionRemota* estacion(int linea) const;
    // The other side is the recorder service (not another desktop program),
    // and how it describes itself.
    bool esServicio() const { return m_servicio; }
    QString quien() const { return m_quien; }
    bool conectado() const { return !m_perdido; }

Q_SIGNALS:
    // The connection ended (the recorder stopped, or it closed on us): every
    // line signalled cerrada() before this.
    void perdida(const QString& motivo);

private:
    friend class EstacionRemota;
    explicit CanalCliente(QLocalSocket* socket);
    bool saluda(const QJsonObject& hola, QString* error);
    void lee();
    void pierde(const QString& motivo);
    bool envia(const QJsonObject& m);

    QLocalSocket* m_socket;
    QByteArray m_resto;
    bool m_servicio = false;
    QString m_quien;
    bool m_perdido = false;
    std::map<int, EstacionRemota*> m_estaciones; // children
};

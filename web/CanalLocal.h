#pragma once

#include <QLocalServer>
#include <QObject>
#include <QPointer>
#include <map>

#include "Contexto.h"

class EstacionBase;
class QLocalSocket;
class Trabajos;

// The local channel's server (see Canal.h for why a Unix socket and line
// JSON): the process that holds the bus serves its lines to the desktop
// programs of the same directory. On connection a client is told every line
// (number, name, state); then every signal of every line, in the order the
// line gave them. What a client asks carries the operator signed in there:
// his level is read from the operators table on a thread of its own (the
// lines' thread never waits on the database) and checked as the station's
// window does before the line is asked. A client that sends what is not a
// message, a line longer than Canal::kMaxLinea, or that reads nothing while
// its backlog grows past kMaxSinLeer, is dropped with one record in the
// error log; the others and the lines go on.
class CanalLocal : public QObject
{
    Q_OBJECT
public:
    // quien: how clients are told who serves ("tolvex-registro" or the
    // desktop's description); servicio: it is the recorder service.
    CanalLocal(const Contexto& contexto, const QString& quien, bool servicio, QObject* parent = nullptr);
    ~CanalLocal() override;

    static constexpr qint64 kMaxSinLeer = 4 * 1024 * 1024;

    // Listens on the directory's socket (Canal::ruta), mode 0660. A socket
    // file left by a process that ended is replaced: call it only while
    // holding the directory's bus. False with *error when it cannot.
    bool escucha(const QString& directorio, QString* error = nullptr);
    QString ruta() const { return m_servidor.fullServerName(); }
    int clientes() const { return int(m_clientes.size()); }

    // Serves a line for as long as it lives.
    void sirve(EstacionBase* estacion);

    // Whether the level may do what op asks: the stations are not for
    // "Gerencia", the general reset is for "Instalador" and "Superior" only.
    static QString permiso(const QString& op, const QString& nivel);

private:
    struct Cliente
    {
        QByteArray resto;
    };
    void nuevo();
    void lee(QLocalSocket* s);
    bool pedido(QLocalSocket* s, const QJsonObject& m);
    void ejecuta(QLocalSocket* s, EstacionBase* e, const QJsonObject& m);
    void rechaza(QLocalSocket* s, int linea, int id, const QString& mensaje);
    void descarta(QLocalSocket* s, const QString& motivo);
    void envia(QLocalSocket* s, const QJsonObject& m);
    void escribe(QLocalSocket* s, const QByteArray& linea);
    void difunde(const QJsonObject& m);
    QJsonObject hola() const;

    Contexto m_contexto;
    QString m_quien;
    bool m_servicio;
    QLocalServer m_servidor;
    Trabajos* m_niveles;
    std::map<int, QPointer<EstacionBase>> m_estaciones;
    std::map<QLocalSocket*, Cliente> m_clientes;
    // An operation a client asked: (line, the line's id) -> (client, its id).
    std::map<std::pair<int, int>, std::pair<QPointer<QLocalSocket>, int>> m_operaciones;
};

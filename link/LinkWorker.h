#pragma once

#include "ConfigEnlace.h"
#include "LecturaPeso.h"

#include <QByteArray>
#include <QObject>
#include <memory>

class Indicador;
class Parada;
class Transporte;

// Owns the transport and runs the register algorithms as blocking code on
// its own thread. Each slot is one job; the thread's queue keeps them in
// order, so there is one exchange at a time by construction.
class LinkWorker : public QObject
{
    Q_OBJECT
public:
    explicit LinkWorker(std::shared_ptr<Parada> parada);
    ~LinkWorker() override;

public Q_SLOTS:
    void abrir(const ConfigEnlace& config);
    // Up to maxIntentos whole-state reads, until one succeeds.
    void leer(int maxIntentos);
    void escribir(quint16 direccion, const QByteArray& cadena, int tag);

Q_SIGNALS:
    // mensaje is the text of the failure; detalle says why, for the installer.
    void abierto(bool ok, const QString& mensaje, const QString& detalle);
    void lecturaLista(const LecturaPeso& lectura, int intentos);
    void escrituraLista(int tag, bool ok);

private:
    std::shared_ptr<Parada> m_parada;
    std::unique_ptr<Transporte> m_transporte;
    std::unique_ptr<Indicador> m_indicador;
    LecturaPeso m_ultima;
};

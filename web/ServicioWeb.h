#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <memory>

#include "Acceso.h"
#include "ConfigWeb.h"
#include "Contexto.h"
#include "EstadoEstacion.h"
#include "Lineas.h"
#include "Puerta.h"
#include "ServidorHttp.h"
#include "Sesiones.h"

class ConsultaReportes;
class EnVivo;
class LectorPlanta;
class Trabajos;
class VistaPlanta;
class QTcpSocket;
class QUrlQuery;

// The web monitor's work, on the monitor's own thread (MonitorWeb starts it
// there): the HTTP server and its gate, the live pages, sign-in, the API,
// downloads and the audit. Queries, downloads and the audit run on threads
// of their own, a bounded number at a time.
class ServicioWeb : public QObject
{
    Q_OBJECT
public:
    explicit ServicioWeb(const Contexto& contexto, QObject* parent = nullptr);
    ~ServicioWeb() override;

    void setLimites(const LimitesHttp& limites) { m_limites = limites; }
    bool inicia(const ConfigWeb& config, QString* error);
    quint16 puerto() const { return m_puerto; }

    // Downloads built at the same time; one more is answered 503.
    static constexpr int kDescargas = 2;

    // A station of this line is followed; its states and its close.
    void sigue(const Linea& linea);
    void publica(int linea, const EstadoEstacion& e);
    void estacionCerrada(int linea);

    const Puerta& puerta() const { return *m_puerta; }
    int conexiones() const;
    int trabajosPendientes() const;

private:
    void rutas();
    void nuevoWebSocket();
    void vigila();
    // The plant: its reader started, its changes sent to the plant pages.
    void iniciaPlanta();
    void empujaPlanta();
    // Tells the plant pages what changed as soon as VistaPlanta allows.
    void planificaPlanta();
    void cambiaPropio();
    QJsonObject planta();
    // The lines of the settings, read again.
    void releeLineas();
    // The line a request names in "linea" (line 1 when it names none), or
    // the status and message that refuse it.
    struct LineaPedida
    {
        int numero = 0; // 0: refused
        int estado = 0;
        QString error;
    };
    LineaPedida lineaPedida(const QUrlQuery& consulta);

    // Handlers of the route table.
    void ingreso(const Llamada& ll);
    void ingresoVerificado(const Llamada& ll, const Acceso::Resultado& r);
    // Runs f on this thread once Reloj::ms() has reached instante.
    void alLlegar(qint64 instante, std::function<void()> f);
    void salida(const Llamada& ll);
    void consulta(const Llamada& ll);
    void descarga(const Llamada& ll, bool xlsx);

    void paginaIngreso(QTcpSocket* s, int estado, const QString& mensaje);
    // A page of the resources with its {{NAME}} marks filled from valores,
    // in one pass: a value is never read for marks.
    void pagina(QTcpSocket* s, const QString& recurso, const QByteArray& tipo,
                const QHash<QByteArray, QByteArray>& valores = {}, int estado = 200,
                const ServidorHttp::Cabeceras& cabeceras = {});
    QHash<QByteArray, QByteArray> cabeceraDePagina(const Llamada& ll) const;
    void audita(const QString& operador, const QString& comando, const QString& valores, const QString& resultado);
    // One record in the error log per kind and minute at most.
    void avisa(const QString& clase, const QString& texto);

    const Contexto m_contexto;
    ConfigWeb m_config;
    LimitesHttp m_limites;
    quint16 m_puerto = 0;
    Sesiones m_sesiones{30 * 60 * 1000};
    Frenos m_frenos;
    std::unique_ptr<Puerta> m_puerta;
    std::unique_ptr<ServidorHttp> m_http;
    EnVivo* m_vivo = nullptr;
    QTimer* m_vigia = nullptr;
    std::unique_ptr<VistaPlanta> m_planta;
    QThread m_hiloPlanta;
    LectorPlanta* m_lector = nullptr; // lives in m_hiloPlanta
    QTimer* m_relojPlanta = nullptr;
    // Used only on m_consultas' thread.
    std::unique_ptr<ConsultaReportes> m_consulta;
    Trabajos* m_consultas = nullptr;
    Trabajos* m_descargas = nullptr;
    Trabajos* m_auditoria = nullptr;
    // Passwords are checked (hashed) on a thread of their own, one at a time
    // for each address and each name typed.
    Trabajos* m_ingresos = nullptr;
    QSet<QString> m_verificando; // Frenos keys of the sign-ins being checked
    struct Aviso
    {
        qint64 ultimo = -1; // Reloj::ms()
        int omitidos = 0;
    };
    QHash<QString, Aviso> m_avisos;
};

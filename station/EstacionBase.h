#pragma once

#include <QObject>
#include <QStringList>
#include <optional>

#include "EstadoEstacion.h"
#include "LecturaPeso.h"
#include "Lineas.h"

// One line as a view sees and commands it, whether the line is recorded in
// this process (EstacionPesaje) or by another one that holds the bus
// (EstacionRemota, through the local channel). The line records whether or
// not a view is open: a view opening gives the auxiliary data of the next
// batches and the journal's opening bracket, its closing the closing one.
class EstacionBase : public QObject
{
    Q_OBJECT
public:
    static inline const QString kSinRespuesta =
        QStringLiteral("Sin respuesta del indicador, reintentando...");
    static inline const QString kNoStandBy = QStringLiteral("El equipo no esta en Std. By");
    static inline const QString kFallo = QStringLiteral("No se pudo realizar la operación");
    // Who the rows of a line carry when nobody signed in has opened its
    // station (the recorder started on its own, after a power cut).
    static inline const QString kSinOperador = QStringLiteral("(sin operador)");

    explicit EstacionBase(const Linea& linea, QObject* parent = nullptr)
        : QObject(parent), m_linea(linea)
    {
    }

    const EstadoEstacion& estado() const { return m_estado; }
    const Linea& linea() const { return m_linea; }
    int decimales() const { return m_decimales; }

    // Polling (the link is open and the settings were read).
    virtual bool iniciada() const = 0;
    // The period of the settings ("Tiempo"), 0 while not polling.
    virtual int periodoConfigurado() const = 0;
    // Why the line is not polling (the text of the error box), empty while
    // it polls or is still opening its link.
    virtual QString falloApertura() const = 0;
    // What the status bar says about records: unsaved, pending, journal errors.
    virtual QStringList avisosRegistro() const = 0;

    // A view opened for operador with the auxiliary data typed: they apply
    // to the next batches and are kept for a restart; the journal opens a
    // record headed with them.
    virtual void abreVista(const QStringList& aux, const QString& operador) = 0;
    // The view closed: the journal's record ends, the dispatch is marked;
    // the line goes on recording.
    virtual void cierraVista(const QString& operador) = 0;

    // Commands on behalf of operador (whose level the recorder checks). Each
    // check returns the message to show, empty when the command may go; each
    // command returns the operation's id, which operacionTerminada() carries
    // back.
    struct Programacion
    {
        quint32 despacho = 0;
        quint32 grueso = 0;
        quint32 fino = 0;
        qint64 fin = 0;
    };
    QString compruebaArranque() const;
    // The three typed values (preset, coarse cut, fine cut). On failure the
    // message, and in *campo the field to correct (-1: none).
    std::optional<Programacion> compruebaProgramacion(const QString (&textos)[3], QString* error,
                                                      int* campo) const;
    QString compruebaReset() const;
    virtual int comando(char letra, const QString& nombre, const QString& operador = QString()) = 0;
    virtual int programa(const Programacion& p, const QString& operador = QString()) = 0;
    virtual int reset(const QString& operador = QString()) = 0;

    // Integer value of a shown weight in the indicator's units.
    static std::optional<qint64> valorEntero(const QString& texto, int decimales);
    // Four bytes of a value, least significant first.
    static QByteArray cuatroBytes(quint32 v);

Q_SIGNALS:
    // The line polls (again).
    void abierta();
    // The line stopped polling (the recorder stops, the program ends).
    void cerrada();
    // The line could not open: the text of the error box (logged already).
    void fallo(const QString& texto);
    // After every processed poll (valid or not), before lecturaProcesada.
    void estadoCambiado(const EstadoEstacion& estado);
    void lecturaProcesada(const LecturaPeso& l);
    // A batch row was queued.
    void loteRegistrado(double total, double peso);
    // A poll outlasts one reply wait: the values shown are no longer live.
    void sinRespuesta();
    void registrosCambiados();
    // Every write of an operation came back (audit queued already).
    void operacionTerminada(int id, bool ok);
    // One write failed.
    void escrituraFallida();
    // The bus cannot carry the configured period: readings come every ms.
    void periodoEfectivoCambiado(int ms);

protected:
    Linea m_linea;
    EstadoEstacion m_estado;
    int m_decimales = 0;
};

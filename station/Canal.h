#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <functional>

class QIODevice;

// The local channel between the process that holds a directory's bus (the
// recorder service or a desktop program) and the desktop programs that show
// its lines. A Unix socket (QLocalServer/QLocalSocket) rather than TCP: only
// processes of this machine reach it, the file's mode and group decide which,
// and no port is taken. Each message is one JSON object on one line ending
// in '\n': a reader needs no state but the partial line, a person can read
// it with socat, and a bad line is told apart from the next one.
namespace Canal {

inline const QString kArchivo = QStringLiteral("Tolvex.sock");
// Longest line either side accepts; a longer one ends the connection.
constexpr qsizetype kMaxLinea = 64 * 1024;

// The socket of a program directory: "Tolvex.sock" inside it, or, when that
// path does not fit a Unix socket address (107 bytes), one in the
// temporary directory named after a hash of the directory's absolute path.
QString ruta(const QString& directorio);

// One message as it goes on the wire.
QByteArray linea(const QJsonObject& mensaje);

// Reads every whole line the device has, after the partial one kept in
// *resto, and hands each object to cada (which returns false to stop).
// False, with *error, for a line longer than kMaxLinea or one that is not a
// JSON object: the connection is not to be trusted any further.
bool lee(QIODevice* dispositivo, QByteArray* resto, const std::function<bool(const QJsonObject&)>& cada,
         QString* error);

// Names of the messages. From the holder of the bus: the greeting with every
// line, then what each line signals. From a view: what it asks of a line.
namespace Op {
inline const QString kHola = QStringLiteral("hola");
inline const QString kEstado = QStringLiteral("estado");
inline const QString kLectura = QStringLiteral("lectura");
inline const QString kRegistros = QStringLiteral("registros");
inline const QString kLote = QStringLiteral("lote");
inline const QString kTerminada = QStringLiteral("terminada");
inline const QString kRechazo = QStringLiteral("rechazo");
inline const QString kEscrituraFallida = QStringLiteral("escrituraFallida");
inline const QString kSinRespuesta = QStringLiteral("sinRespuesta");
inline const QString kAbierta = QStringLiteral("abierta");
inline const QString kCerrada = QStringLiteral("cerrada");
inline const QString kFallo = QStringLiteral("fallo");
inline const QString kPeriodo = QStringLiteral("periodo");

inline const QString kAbreVista = QStringLiteral("abreVista");
inline const QString kCierraVista = QStringLiteral("cierraVista");
inline const QString kComando = QStringLiteral("comando");
inline const QString kPrograma = QStringLiteral("programa");
inline const QString kReset = QStringLiteral("reset");
} // namespace Op

} // namespace Canal

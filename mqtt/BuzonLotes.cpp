#include "BuzonLotes.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "Registrador.h"

namespace {

QString causa(int e)
{
    return e == ENOSPC ? QStringLiteral("disco lleno") : QString::fromLocal8Bit(std::strerror(e));
}

QString idDe(const QByteArray& linea)
{
    const QJsonDocument d = QJsonDocument::fromJson(linea);
    return d.isObject() ? d.object().value(QStringLiteral("IDLOTE")).toString() : QString();
}

} // namespace

BuzonLotes::BuzonLotes(const QString& archivo) : m_archivo(archivo) {}

QByteArray BuzonLotes::json(const Pendiente& p, const QString& puesto, int linea)
{
    QJsonArray aux;
    for (int i = 0; i < 6; ++i)
        aux.append(p.aux.value(i));
    const QJsonObject o{
        {QStringLiteral("IDLOTE"), p.idLote},
        {QStringLiteral("TICKET"), p.ticket},
        {QStringLiteral("PUESTO"), puesto},
        {QStringLiteral("LINEA"), linea},
        {QStringLiteral("PESO"), p.peso},
        {QStringLiteral("TOTAL"), p.total},
        {QStringLiteral("BACH"), p.bach},
        {QStringLiteral("PRESET"), p.preset},
        {QStringLiteral("AUX"), aux},
        {QStringLiteral("OPERADOR"), p.operador},
        {QStringLiteral("FECHA"), p.fecha.toString(Qt::ISODate)},
        {QStringLiteral("HORA"), p.hora.toString(QStringLiteral("HH:mm:ss"))},
        {QStringLiteral("INFO"), QString()},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool BuzonLotes::carga(QString* error)
{
    QMutexLocker l(&m_mutex);
    m_entradas.clear();
    QFile f(m_archivo);
    if (!f.exists())
        return true;
    if (!QFileInfo(m_archivo).isFile()) {
        if (error)
            *error = m_archivo + QStringLiteral(" no es un archivo");
        return false;
    }
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    const QByteArray todo = f.readAll();
    f.close();
    const qsizetype fin = todo.lastIndexOf('\n') + 1;
    for (const QByteArray& linea : todo.left(fin).split('\n')) {
        if (linea.isEmpty())
            continue;
        const QString id = idDe(linea);
        if (!id.isEmpty())
            m_entradas.append({id, linea});
    }
    // The cut tail of an append a kill interrupted goes; the next append
    // must start on a line of its own.
    if (fin < todo.size())
        return reescribe(m_entradas, error);
    return true;
}

bool BuzonLotes::agrega(const Pendiente& p, const QString& puesto, int linea, QString* error)
{
    {
        QMutexLocker l(&m_mutex);
        if (std::any_of(m_entradas.cbegin(), m_entradas.cend(),
                        [&](const Entrada& e) { return e.idLote == p.idLote; }))
            return true;
        const QByteArray linea_ = json(p, puesto, linea) + '\n';
        const int fd = ::open(QFile::encodeName(m_archivo).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                              0644);
        if (fd < 0) {
            if (error)
                *error = causa(errno);
            return false;
        }
        const off_t antes = ::lseek(fd, 0, SEEK_END);
        qsizetype hecho = 0;
        int e = 0;
        while (hecho < linea_.size()) {
            const ssize_t k = ::write(fd, linea_.constData() + hecho, size_t(linea_.size() - hecho));
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0) {
                e = k < 0 ? errno : ENOSPC;
                break;
            }
            hecho += k;
        }
        if (e == 0 && ::fsync(fd) != 0)
            e = errno;
        if (e != 0) {
            // Nothing half-written stays behind to be read as a batch.
            if (antes >= 0 && ::ftruncate(fd, antes) == 0)
                ::fsync(fd);
            ::close(fd);
            if (error)
                *error = causa(e);
            return false;
        }
        ::close(fd);
        m_entradas.append({p.idLote, linea_.chopped(1)});
    }
    if (m_alAgregar)
        m_alAgregar();
    return true;
}

bool BuzonLotes::agregaInsistiendo(const Pendiente& p, const QString& puesto, int linea)
{
    QString error;
    bool avisado = false;
    while (!agrega(p, puesto, linea, &error)) {
        if (!avisado && m_aviso)
            m_aviso(QStringLiteral("No se pudo guardar el lote %1 (ticket %2) para el broker MQTT en %3: %4. "
                                   "Se reintenta; el registro queda en la cola.")
                        .arg(p.idLote)
                        .arg(p.ticket)
                        .arg(QFileInfo(m_archivo).fileName(), error));
        avisado = true;
        if (m_detenido)
            return false;
        QThread::msleep(ulong(m_pausaMs));
    }
    if (avisado && m_aviso)
        m_aviso(QStringLiteral("Se guardó el lote %1 (ticket %2) para el broker MQTT.").arg(p.idLote).arg(p.ticket));
    return true;
}

bool BuzonLotes::primero(Entrada* e) const
{
    QMutexLocker l(&m_mutex);
    if (m_entradas.isEmpty())
        return false;
    *e = m_entradas.first();
    return true;
}

bool BuzonLotes::quita(const QString& idLote, QString* error)
{
    QMutexLocker l(&m_mutex);
    if (m_entradas.isEmpty() || m_entradas.first().idLote != idLote)
        return true;
    if (!reescribe(m_entradas.mid(1), error))
        return false;
    m_entradas.removeFirst();
    return true;
}

int BuzonLotes::cantidad() const
{
    QMutexLocker l(&m_mutex);
    return int(m_entradas.size());
}

bool BuzonLotes::reescribe(const QVector<Entrada>& entradas, QString* error)
{
    if (entradas.isEmpty()) {
        if (!QFile::exists(m_archivo) || QFile::remove(m_archivo))
            return true;
        if (error)
            *error = QStringLiteral("no se pudo borrar ") + m_archivo;
        return false;
    }
    QSaveFile f(m_archivo);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    for (const Entrada& e : entradas)
        f.write(e.json + '\n');
    if (!f.commit()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

namespace Mqtt {

void alimenta(Registrador& registrador, BuzonLotes& buzon)
{
    // On the writer's thread, before the entry leaves the record queue: a
    // kill between the two finds the row again at the next start, and the
    // outbox hears of it then (a consumer keeps the identities it saw).
    registrador.setAlConfirmar([&buzon, puesto = registrador.puesto(), linea = registrador.linea()](const Pendiente& p) {
        if (p.tipo == Pendiente::Lote || p.tipo == Pendiente::Diferencia)
            buzon.agregaInsistiendo(p, puesto, linea);
    });
}

} // namespace Mqtt

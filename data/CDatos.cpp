#include "CDatos.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlField>
#include <QSqlIndex>
#include <QSqlQuery>
#include <QUrl>
#include <cstdio>
#include <optional>

#include "SqlDialect.h"

namespace {
QAtomicInteger<quint64> g_connectionCounter;
QString g_baseDir;
QString g_fechaFrm = QStringLiteral("DD/MM/YYYY");

QString nextConnectionName()
{
    return QStringLiteral("tolvex_cdatos_%1").arg(g_connectionCounter.fetchAndAddRelaxed(1) + 1);
}

bool isNumericType(const QMetaType& t)
{
    switch (t.id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Short:
    case QMetaType::UShort:
        return true;
    default:
        return false;
    }
}

bool isTextType(const QMetaType& t)
{
    return t.id() == QMetaType::QString || t.id() == QMetaType::QByteArray;
}

QString sqlErrorText(const QSqlError& e)
{
    QString t = e.databaseText().trimmed();
    if (t.isEmpty())
        t = e.text().trimmed();
    return t;
}
} // namespace

CDatos::CDatos() = default;

CDatos::~CDatos()
{
    CierraRegistro();
    CerrarBase();
}

void CDatos::setDirectorioBase(const QString& dir)
{
    g_baseDir = dir;
}

QString CDatos::directorioBase()
{
    return g_baseDir.isEmpty() ? QDir::currentPath() : g_baseDir;
}

void CDatos::setFormatoFecha(const QString& fechaFrm)
{
    g_fechaFrm = fechaFrm;
}

QString CDatos::formatoFecha()
{
    return g_fechaFrm;
}

bool CDatos::abreSqlite(const QString& nombre, const QString& opciones, QString* error)
{
    CerrarBase();
    m_connName = nextConnectionName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connName);
        db.setDatabaseName(nombre);
        db.setConnectOptions(opciones);
        bool ok = db.open();
        if (!ok) {
            *error = sqlErrorText(db.lastError());
        } else {
            // Reading the schema tells a damaged or foreign file at once.
            QSqlQuery q(db);
            ok = q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
            if (!ok)
                *error = sqlErrorText(q.lastError());
        }
        if (ok)
            return true;
    }
    CerrarBase();
    return false;
}

bool CDatos::fail(const QString& error)
{
    m_error = error;
    return false;
}

bool CDatos::abierta() const
{
    return !m_connName.isEmpty() && QSqlDatabase::database(m_connName, false).isOpen();
}

QSqlDatabase CDatos::base() const
{
    return QSqlDatabase::database(m_connName, false);
}

bool CDatos::AbrirBase(const QString& nombreBase, bool crear)
{
    CierraRegistro();
    CerrarBase();
    m_error.clear();
    m_cs = ConnectionString::parse(nombreBase, directorioBase());
    if (!m_cs.isValid())
        return fail(m_cs.error);

    m_soloLectura = false;
    if (m_cs.engine == ConnectionString::SQLite) {
        QFileInfo fi(m_cs.path);
        if (!crear && !fi.exists()) {
            const QString path = m_cs.path;
            CerrarBase();
            return fail(QStringLiteral("No existe la base de datos %1.").arg(path));
        }
        if (fi.exists() && !fi.isFile()) {
            const QString path = m_cs.path;
            CerrarBase();
            return fail(QStringLiteral("%1 no es un archivo de base de datos.").arg(path));
        }
        QString e;
        if (!abreSqlite(m_cs.path, QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"), &e)) {
            // Even a reader of a WAL file writes its shared-memory file
            // beside it; where that cannot be done, the file is read as it is.
            const QString dir = fi.absolutePath();
            if (QFileInfo(dir).isWritable() && fi.isWritable())
                return fail(QStringLiteral("No se pudo abrir la base de datos: %1").arg(e));
            const QString wal = m_cs.path + QStringLiteral("-wal");
            QString e2;
            if (abreSqlite(m_cs.path,
                           QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=15000"),
                           &e2)) {
                m_soloLectura = true;
            } else if (QFileInfo(wal).size() > 0) {
                return fail(
                    QStringLiteral(
                        "No se puede leer %1: el directorio %2 es de solo lectura y la base "
                        "tiene cambios aún no consolidados en %3. Abra Tolvex una vez con "
                        "permiso de escritura en ese directorio, o copie el directorio a uno "
                        "con permiso de escritura, y vuelva a intentarlo.")
                        .arg(m_cs.path, dir, QFileInfo(wal).fileName()));
            } else if (abreSqlite(QUrl::fromLocalFile(m_cs.path).toString(QUrl::FullyEncoded) +
                                      QStringLiteral("?immutable=1"),
                                  QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_OPEN_READONLY"), &e2)) {
                // Nothing is being written to it: no journal beside it.
                m_soloLectura = true;
            } else {
                return fail(
                    QStringLiteral("No se pudo abrir la base de datos de solo lectura %1: %2")
                        .arg(m_cs.path, e2));
            }
        }
        if (!m_soloLectura) {
            QSqlQuery q(base());
            q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            q.exec(QStringLiteral("PRAGMA synchronous=FULL"));
        }
    } else {
        m_connName = nextConnectionName();
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connName);
        db.setHostName(m_cs.host);
        db.setPort(m_cs.port);
        db.setDatabaseName(m_cs.database);
        db.setUserName(m_cs.user);
        db.setPassword(m_cs.password);
        db.setConnectOptions(QStringLiteral("connect_timeout=5"));
        if (!db.open()) {
            const QString e = sqlErrorText(db.lastError());
            db = QSqlDatabase();
            CerrarBase();
            return fail(QStringLiteral("No se pudo abrir la base de datos: %1").arg(e));
        }
        QSqlQuery q(db);
        q.exec(QStringLiteral("SET client_min_messages TO WARNING"));
    }
    return true;
}

void CDatos::CerrarBase()
{
    if (m_connName.isEmpty())
        return;
    if (m_inTransaction)
        Deshace();
    m_preparadas.clear();
    m_estructuras.clear();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connName, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connName);
    m_connName.clear();
}

bool CDatos::AbreRegistro(const QString& consultaSQL, const QVariantList& valores)
{
    CierraRegistro();
    if (!abierta())
        return fail(m_error.isEmpty() ? QStringLiteral("No hay conexión con la base de datos.")
                                      : m_error);
    QSqlDatabase db = base();
    const QString sql = SqlDialect::adaptar(consultaSQL, m_cs.engine, g_fechaFrm);
    std::optional<QSqlQuery> suelta;
    QSqlQuery* q = nullptr;
    if (valores.isEmpty()) {
        q = &suelta.emplace(db);
        q->setForwardOnly(true);
        if (!q->exec(sql))
            return fail(sqlErrorText(q->lastError()));
    } else if (!(q = ejecutaPreparada(sql, valores, true))) {
        return false;
    }
    // The fields once (a driver may look each one up again per call), then
    // each row's values into a copy.
    const QSqlRecord leido = q->record();
    while (q->next()) {
        QSqlRecord fila = leido;
        for (int i = 0; i < fila.count(); ++i)
            fila.setValue(i, q->value(i));
        m_rows.append(fila);
    }
    // A statement kept prepared must not hold the file's read lock.
    q->finish();
    if (consultaSQL != m_ultimaConsulta) {
        m_ultimaConsulta = consultaSQL;
        m_ultimaTabla = SqlDialect::tablaDe(consultaSQL);
    }
    m_table = m_ultimaTabla;
    if (!m_table.isEmpty()) {
        const QString clave = m_table.toLower();
        if (m_cs.engine == ConnectionString::SQLite) {
            // Any change of any table's layout, by whichever program.
            QSqlQuery* v = ejecutaPreparada(QStringLiteral("PRAGMA schema_version"), {}, true);
            const qint64 version = v && v->next() ? v->value(0).toLongLong() : -1;
            if (v)
                v->finish();
            if (version != m_versionEsquema || version < 0)
                m_estructuras.clear();
            m_versionEsquema = version;
        }
        auto it = m_estructuras.constFind(clave);
        // A column the statement returns and the kept layout lacks: another
        // program changed the table. SELECT * returns them in their order.
        for (int i = 0; it != m_estructuras.constEnd() && i < leido.count(); ++i) {
            const QSqlRecord& r = it->registro;
            const QString n = leido.fieldName(i);
            if (!r.isEmpty() && !(i < r.count() && r.fieldName(i) == n) && !r.contains(n))
                it = m_estructuras.constEnd();
        }
        if (it == m_estructuras.constEnd()) {
            Estructura e;
            e.registro = db.record(m_table);
            const QSqlIndex pk = db.primaryIndex(m_table);
            for (int i = 0; i < pk.count(); ++i)
                e.clave.append(pk.fieldName(i));
            m_estructuras.insert(clave, e);
            m_tableRecord = e.registro;
            m_primaryKey = e.clave;
        } else {
            m_tableRecord = it->registro;
            m_primaryKey = it->clave;
        }
    }
    if (m_tableRecord.isEmpty())
        m_tableRecord = leido;
    m_pos = m_rows.isEmpty() ? -1 : 0;
    m_registroAbierto = true;
    return true;
}

void CDatos::CierraRegistro()
{
    m_rows.clear();
    m_pos = -1;
    m_table.clear();
    m_primaryKey.clear();
    m_tableRecord = QSqlRecord();
    m_edit = QSqlRecord();
    m_adding = false;
    m_registroAbierto = false;
}

bool CDatos::Existe_Registro() const
{
    return m_pos >= 0 && m_pos < m_rows.size();
}

long CDatos::Cant_Registros()
{
    m_pos = m_rows.isEmpty() ? -1 : 0;
    return m_rows.size();
}

bool CDatos::PrimerRegistro()
{
    m_edit = QSqlRecord();
    m_adding = false;
    m_pos = m_rows.isEmpty() ? -1 : 0;
    return Existe_Registro();
}

bool CDatos::SiguienteRegistro()
{
    m_edit = QSqlRecord();
    m_adding = false;
    if (m_pos < m_rows.size())
        ++m_pos;
    return Existe_Registro();
}

QSqlRecord CDatos::registroActual() const
{
    if (!m_edit.isEmpty())
        return m_edit;
    return Existe_Registro() ? m_rows.at(m_pos) : QSqlRecord();
}

QVariant CDatos::Campo(const QString& nombre) const
{
    const QSqlRecord r = registroActual();
    const int i = r.indexOf(nombre);
    return i < 0 ? QVariant() : r.value(i);
}

bool CDatos::NuevoRegistro()
{
    if (!m_registroAbierto || m_tableRecord.isEmpty())
        return fail(QStringLiteral("No hay un conjunto de registros abierto."));
    m_edit = m_tableRecord;
    for (int i = 0; i < m_edit.count(); ++i) {
        m_edit.setNull(i);
        m_edit.setGenerated(i, false);
    }
    m_adding = true;
    return true;
}

bool CDatos::SetCampo(const QString& nombre, const QVariant& valor)
{
    if (m_edit.isEmpty()) {
        if (!Existe_Registro())
            return fail(QStringLiteral("No hay un registro actual."));
        m_edit = m_rows.at(m_pos);
        for (int i = 0; i < m_edit.count(); ++i)
            m_edit.setGenerated(i, false);
    }
    const int i = m_edit.indexOf(nombre);
    if (i < 0)
        return fail(QStringLiteral("El campo %1 no existe.").arg(nombre));
    m_edit.setValue(i, valor);
    m_edit.setGenerated(i, true);
    return true;
}

QVariant CDatos::paraMotor(const QVariant& v) const
{
    if (!v.isValid() || v.isNull())
        return v;
    switch (v.metaType().id()) {
    case QMetaType::QDate:
        if (m_cs.engine == ConnectionString::SQLite)
            return v.toDate().toString(Qt::ISODate);
        return v;
    case QMetaType::QTime:
        return v.toTime().toString(QStringLiteral("HH:mm:ss"));
    case QMetaType::QDateTime:
        return v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case QMetaType::Bool:
        return v.toBool() ? 1 : 0;
    default:
        return v;
    }
}

QString CDatos::condicionClave(const QSqlRecord& original, QVariantList& valores) const
{
    QStringList parts;
    const QStringList keys = [&] {
        if (!m_primaryKey.isEmpty())
            return m_primaryKey;
        QStringList all;
        for (int i = 0; i < original.count(); ++i)
            all.append(original.fieldName(i));
        return all;
    }();
    for (const QString& k : keys) {
        const QVariant v = original.value(k);
        if (v.isNull()) {
            parts.append(k + QStringLiteral(" IS NULL"));
        } else {
            parts.append(k + QStringLiteral(" = ?"));
            valores.append(paraMotor(v));
        }
    }
    return parts.join(QStringLiteral(" AND "));
}

bool CDatos::escribeRegistro(const QSqlRecord& nuevo, const QSqlRecord& original, bool insertar)
{
    if (m_table.isEmpty())
        return fail(QStringLiteral("El conjunto de registros no admite cambios."));
    QStringList names;
    QVariantList values;
    for (int i = 0; i < nuevo.count(); ++i) {
        if (!nuevo.isGenerated(i))
            continue;
        names.append(nuevo.fieldName(i));
        values.append(paraMotor(nuevo.value(i)));
    }
    if (names.isEmpty())
        return true;
    QString sql;
    if (insertar) {
        QStringList marks;
        for (qsizetype i = 0; i < names.size(); ++i)
            marks.append(QStringLiteral("?"));
        sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                  .arg(m_table, names.join(u','), marks.join(u','));
        return Ejecuta(sql, values);
    }
    QStringList sets;
    for (const QString& n : names)
        sets.append(n + QStringLiteral(" = ?"));
    const QString where = condicionClave(original, values);
    sql = QStringLiteral("UPDATE %1 SET %2 WHERE %3").arg(m_table, sets.join(u','), where);
    int affected = 0;
    if (!Ejecuta(sql, values, &affected))
        return false;
    if (affected == 0)
        return fail(QStringLiteral("El registro fue modificado o eliminado por otro usuario."));
    return true;
}

bool CDatos::Actualiza()
{
    if (m_edit.isEmpty())
        return true;
    bool ok;
    if (m_adding) {
        ok = escribeRegistro(m_edit, QSqlRecord(), true);
        if (ok) {
            m_rows.append(m_edit);
            m_pos = m_rows.size() - 1;
        }
    } else {
        if (!Existe_Registro())
            return fail(QStringLiteral("No hay un registro actual."));
        ok = escribeRegistro(m_edit, m_rows.at(m_pos), false);
        if (ok)
            m_rows[m_pos] = m_edit;
    }
    m_edit = QSqlRecord();
    m_adding = false;
    return ok;
}

bool CDatos::AgregaRegistros(const QList<ParCampo>& pares)
{
    m_warnings.clear();
    if (pares.isEmpty() || pares.first().first.isEmpty())
        return fail(QStringLiteral("Falta el primer campo del registro."));
    if (!NuevoRegistro())
        return false;
    for (const ParCampo& p : pares) {
        if (p.first.isEmpty())
            continue;
        const int i = m_edit.indexOf(p.first);
        if (i < 0) {
            m_warnings.append(QStringLiteral("El campo %1 no existe en %2.").arg(p.first, m_table));
            continue;
        }
        const QMetaType type = m_edit.field(i).metaType();
        QVariant v = p.second;
        const bool empty = !v.isValid() || v.isNull() ||
                           (v.metaType().id() == QMetaType::QString && v.toString().isEmpty());
        if (empty) {
            v = isTextType(type) ? QVariant(QString()) : QVariant();
        } else if (isNumericType(type) && v.metaType().id() == QMetaType::QString) {
            bool ok = false;
            const double d = v.toString().trimmed().toDouble(&ok);
            if (!ok) {
                m_edit = QSqlRecord();
                m_adding = false;
                return fail(QStringLiteral("El valor «%1» no corresponde al campo %2.")
                                .arg(v.toString(), p.first));
            }
            v = d;
        }
        m_edit.setValue(i, v);
        m_edit.setGenerated(i, true);
    }
    const bool own = !m_inTransaction;
    if (own && !IniciaTransaccion()) {
        m_edit = QSqlRecord();
        m_adding = false;
        return false;
    }
    if (!Actualiza()) {
        const QString e = m_error;
        if (own)
            Deshace();
        return fail(e);
    }
    if (own && !Confirma()) {
        const QString e = m_error;
        Deshace();
        return fail(e);
    }
    return true;
}

bool CDatos::EditaRegistros(const QList<ParCampo>& pares)
{
    if (!Existe_Registro())
        return fail(QStringLiteral("No hay un registro actual."));
    for (const ParCampo& p : pares) {
        if (p.first.isEmpty())
            continue;
        if (!SetCampo(p.first, p.second)) {
            m_edit = QSqlRecord();
            return false;
        }
    }
    return Actualiza();
}

bool CDatos::Eliminar_Registro()
{
    if (!Existe_Registro())
        return fail(QStringLiteral("No hay un registro actual."));
    if (m_table.isEmpty())
        return fail(QStringLiteral("El conjunto de registros no admite cambios."));
    QVariantList values;
    const QString where = condicionClave(m_rows.at(m_pos), values);
    int affected = 0;
    if (!Ejecuta(QStringLiteral("DELETE FROM %1 WHERE %2").arg(m_table, where), values, &affected))
        return false;
    if (affected == 0)
        return fail(QStringLiteral("El registro fue modificado o eliminado por otro usuario."));
    m_rows.remove(m_pos);
    if (m_pos >= m_rows.size())
        m_pos = m_rows.size() - 1;
    m_edit = QSqlRecord();
    return true;
}

QSqlQuery* CDatos::preparada(const QString& sql)
{
    auto it = m_preparadas.find(sql);
    if (it != m_preparadas.end())
        return &it.value();
    if (m_preparadas.size() >= 32)
        m_preparadas.clear();
    QSqlQuery q(base());
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        fail(sqlErrorText(q.lastError()));
        return nullptr;
    }
    return &m_preparadas.insert(sql, q).value();
}

QSqlQuery* CDatos::ejecutaPreparada(const QString& sql, const QVariantList& valores, bool repetible)
{
    for (int intento = 0;; ++intento) {
        QSqlQuery* q = preparada(sql);
        if (!q)
            return nullptr;
        for (int i = 0; i < valores.size(); ++i)
            q->bindValue(i, paraMotor(valores.at(i)));
        if (q->exec())
            return q;
        // A kept statement the server no longer takes as it is (a table
        // changed under it) is prepared again, by this call when nothing
        // can have been half done, else by the next.
        fail(sqlErrorText(q->lastError()));
        m_preparadas.remove(sql);
        if (!repetible || intento > 0 || m_inTransaction)
            return nullptr;
    }
}

bool CDatos::Ejecuta(const QString& sql, const QVariantList& valores, int* filasAfectadas)
{
    if (!abierta())
        return fail(QStringLiteral("No hay conexión con la base de datos."));
    const QString adapted = SqlDialect::adaptar(sql, m_cs.engine, g_fechaFrm);
    // Statements without values run directly: PostgreSQL prepares only DML.
    if (valores.isEmpty()) {
        QSqlQuery q(base());
        if (!q.exec(adapted))
            return fail(sqlErrorText(q.lastError()));
        if (filasAfectadas)
            *filasAfectadas = q.numRowsAffected();
        return true;
    }
    QSqlQuery* q = ejecutaPreparada(adapted, valores, false);
    if (!q)
        return false;
    if (filasAfectadas)
        *filasAfectadas = q->numRowsAffected();
    q->finish();
    return true;
}

bool CDatos::IniciaTransaccion()
{
    if (m_inTransaction)
        return true;
    if (!abierta())
        return fail(QStringLiteral("No hay conexión con la base de datos."));
    if (!control(m_cs.engine == ConnectionString::SQLite ? QStringLiteral("BEGIN IMMEDIATE")
                                                          : QStringLiteral("BEGIN")))
        return false;
    m_inTransaction = true;
    return true;
}

bool CDatos::control(const QString& sql)
{
    // SQLite keeps them prepared like any statement; PostgreSQL cannot
    // prepare them.
    if (m_cs.engine == ConnectionString::SQLite) {
        QSqlQuery* q = ejecutaPreparada(sql, {}, false);
        if (q)
            q->finish();
        return q != nullptr;
    }
    return Ejecuta(sql);
}

bool CDatos::Confirma()
{
    if (!m_inTransaction)
        return true;
    if (!control(QStringLiteral("COMMIT")))
        return false;
    m_inTransaction = false;
    return true;
}

bool CDatos::Deshace()
{
    if (!m_inTransaction)
        return true;
    m_inTransaction = false;
    return control(QStringLiteral("ROLLBACK"));
}

qint64 CDatos::TomaTicket(const QString& tablaGlobal)
{
    const bool own = !m_inTransaction;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (own && !IniciaTransaccion())
            return 0;
        const QString lock =
            m_cs.engine == ConnectionString::PostgreSQL ? QStringLiteral(" FOR UPDATE") : QString();
        QSqlQuery* q = ejecutaPreparada(
            QStringLiteral("SELECT VALOR FROM %1 WHERE VARIABLE = ?%2").arg(tablaGlobal, lock),
            {QStringLiteral("Ticket")}, false);
        if (!q) {
            if (own)
                Deshace();
            return 0;
        }
        qint64 ticket = 1;
        const bool exists = q->next();
        const QString text = exists ? q->value(0).toString().trimmed() : QString();
        q->finish();
        if (exists) {
            bool ok = false;
            ticket = text.toLongLong(&ok);
            if (!ok) {
                const double d = text.toDouble(&ok);
                ok = ok && d >= 1 && d < 9e15 && d == static_cast<double>(static_cast<qint64>(d));
                ticket = ok ? static_cast<qint64>(d) : 0;
            }
            if (!ok || ticket < 1) {
                fail(QStringLiteral("El valor de Ticket en %1 no es un número válido: «%2».")
                         .arg(tablaGlobal, text));
                if (own)
                    Deshace();
                return 0;
            }
        }
        const QString next = QString::number(ticket + 1);
        const bool written =
            exists
                ? Ejecuta(
                      QStringLiteral("UPDATE %1 SET VALOR = ? WHERE VARIABLE = ?").arg(tablaGlobal),
                      {next, QStringLiteral("Ticket")})
                : Ejecuta(QStringLiteral(
                              "INSERT INTO %1 (VARIABLE, VALOR, DESCRIPCION) VALUES (?, ?, ?)")
                              .arg(tablaGlobal),
                          {QStringLiteral("Ticket"), next, QStringLiteral("-")});
        if (!written) {
            const QString e = m_error;
            if (own)
                Deshace();
            fail(e);
            if (own && !exists)
                continue; // another program created the row meanwhile
            return 0;
        }
        if (own && !Confirma()) {
            const QString e = m_error;
            Deshace();
            fail(e);
            return 0;
        }
        return ticket;
    }
    return 0;
}

QDate CDatos::aFecha(const QVariant& v)
{
    if (v.metaType().id() == QMetaType::QDate)
        return v.toDate();
    if (v.metaType().id() == QMetaType::QDateTime)
        return v.toDateTime().date();
    const QString s = v.toString().trimmed();
    QDate d = QDate::fromString(s.left(10), Qt::ISODate);
    return d;
}

QTime CDatos::aHora(const QVariant& v)
{
    if (v.metaType().id() == QMetaType::QTime)
        return v.toTime();
    if (v.metaType().id() == QMetaType::QDateTime)
        return v.toDateTime().time();
    QString s = v.toString().trimmed();
    // A time of day another program stored as a date-time ("1899-12-30 07:07:13",
    // as Access keeps it): the time is what counts.
    if (s.size() > 11 && (s[10] == u' ' || s[10] == u'T') && QDate::fromString(s.left(10), Qt::ISODate).isValid())
        s = s.mid(11);
    for (const char* f : {"HH:mm:ss", "HH:mm:ss.zzz", "HH:mm", "H:mm:ss"}) {
        const QTime t = QTime::fromString(s, QLatin1String(f));
        if (t.isValid())
            return t;
    }
    return {};
}

bool CDatos::CompactaryReparar(const QString& baseOri, QString* error)
{
    const QTime now = QTime::currentTime();
    const QString temp =
        QDir::current().absoluteFilePath(QStringLiteral("DBT_%1%2.db")
                                             .arg(now.minute(), 2, 10, QLatin1Char('0'))
                                             .arg(now.second(), 2, 10, QLatin1Char('0')));
    auto failWith = [&](int number, const QString& text) {
        if (error)
            *error = QString::number(number) + u' ' + text;
        QFile::remove(temp);
        return false;
    };
    if (QFile::exists(temp) && !QFile::remove(temp))
        return failWith(1, QStringLiteral("No se puede borrar %1.").arg(temp));
    QFileInfo src(baseOri);
    if (!src.isFile())
        return failWith(2, QStringLiteral("No existe el archivo %1.").arg(baseOri));
    {
        CDatos db;
        if (!db.AbrirBase(ConnectionString::sqlite(src.absoluteFilePath())))
            return failWith(3, db.ultimoError());
        if (!db.Ejecuta(QStringLiteral("VACUUM INTO ") + SqlDialect::texto(temp)))
            return failWith(4, db.ultimoError());
    }
    {
        // The copy must be whole before it replaces anything.
        CDatos check;
        if (!check.AbrirBase(ConnectionString::sqlite(temp)) ||
            !check.AbreRegistro(QStringLiteral("PRAGMA quick_check")) ||
            check.Campo(QStringLiteral("quick_check")).toString() != u"ok")
            return failWith(5, QStringLiteral("La copia compactada no es válida."));
    }
    // A journal left beside the file means another program still has it open.
    if (QFile::exists(src.absoluteFilePath() + QStringLiteral("-wal")))
        return failWith(6, QStringLiteral("La base de datos está en uso por otro programa."));
    if (std::rename(QFile::encodeName(temp).constData(),
                    QFile::encodeName(src.absoluteFilePath()).constData()) != 0)
        return failWith(7, QStringLiteral("No se pudo reemplazar %1.").arg(baseOri));
    return true;
}

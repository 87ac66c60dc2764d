#pragma once

#include <QHash>
#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariant>
#include <QVector>

#include "ConnectionString.h"

using ParCampo = QPair<QString, QVariant>;

// One unit of work on the database: open a connection, open a record set on
// a statement, read or change it, close both. One instance per unit of work,
// used on one thread. Every operation says whether it worked; the reason of
// the last failure is in ultimoError().
class CDatos
{
public:
    CDatos();
    ~CDatos();
    CDatos(const CDatos&) = delete;
    CDatos& operator=(const CDatos&) = delete;

    // Directory relative SQLite paths are taken from (the program directory).
    static void setDirectorioBase(const QString& dir);
    static QString directorioBase();
    // Pattern of dates written into statements between "#" ("DD/MM/YYYY").
    static void setFormatoFecha(const QString& fechaFrm);
    static QString formatoFecha();

    // Opens the connection. A SQLite file must exist unless crear is true.
    bool AbrirBase(const QString& nombreBase, bool crear = false);
    // Opens the record set on a SELECT; the rows are fetched at once. With
    // values, the statement's "?" take them and it is prepared once per
    // connection.
    bool AbreRegistro(const QString& consultaSQL, const QVariantList& valores = {});
    // Appends one record in a transaction of its own (or the open one).
    // Pairs with an empty name are skipped, as are fields the table does not
    // have; a value the field cannot take fails the whole record.
    bool AgregaRegistros(const QList<ParCampo>& pares);
    long Cant_Registros();
    bool EditaRegistros(const QList<ParCampo>& pares);
    void CierraRegistro();
    void CerrarBase();
    bool Eliminar_Registro();
    bool Existe_Registro() const;
    // Compacts a SQLite file through the engine; shows the error box and
    // leaves the file untouched on failure (defined with the boxes, in ui/).
    static bool CompactaryReparar(const QString& baseOri);
    static bool CompactaryReparar(const QString& baseOri, QString* error);

    // The record set ("Registro"): the current record, moving, direct writes.
    QVariant Campo(const QString& nombre) const;
    bool SetCampo(const QString& nombre, const QVariant& valor);
    bool NuevoRegistro(); // starts a new record; Actualiza() inserts it
    bool Actualiza();     // writes the current (or new) record
    bool PrimerRegistro();
    bool SiguienteRegistro();
    int posicion() const { return m_pos; }
    int filas() const { return m_rows.size(); }
    QSqlRecord registroActual() const;

    // Transactions. On SQLite a transaction takes the write lock at once, so
    // two programs never interleave a read and a write of the same value.
    bool IniciaTransaccion();
    bool Confirma();
    bool Deshace();
    bool enTransaccion() const { return m_inTransaction; }

    // Runs one statement with bound values (after dialect adaptation).
    bool Ejecuta(const QString& sql, const QVariantList& valores = {},
                 int* filasAfectadas = nullptr);

    // Takes the next ticket of the global settings table atomically: returns
    // the number stored under Ticket (1 when missing) and leaves it plus one.
    // Returns 0 on failure.
    qint64 TomaTicket(const QString& tablaGlobal);

    bool abierta() const;
    ConnectionString::Engine motor() const { return m_cs.engine; }
    QSqlDatabase base() const;
    QString nombreConexion() const { return m_connName; }
    QString ultimoError() const { return m_error; }
    // The SQLite file was opened for reading only: its directory or the file
    // cannot be written by this user.
    bool soloLectura() const { return m_soloLectura; }
    QStringList avisos() const { return m_warnings; }

    // Value conversions for what the engines deliver differently.
    static QDate aFecha(const QVariant& v);
    static QTime aHora(const QVariant& v);

private:
    bool fail(const QString& error);
    // Opens m_connName on a SQLite file (or URI) and reads its schema.
    bool abreSqlite(const QString& nombre, const QString& opciones, QString* error);
    QVariant paraMotor(const QVariant& v) const;
    bool escribeRegistro(const QSqlRecord& nuevo, const QSqlRecord& original, bool insertar);
    QString condicionClave(const QSqlRecord& original, QVariantList& valores) const;
    QSqlQuery* preparada(const QString& sql);
    // Runs a kept statement with its values; nullptr (and the error) when
    // it fails. repetible: a statement that changes nothing, tried again
    // once outside a transaction when the server refused the kept one.
    QSqlQuery* ejecutaPreparada(const QString& sql, const QVariantList& valores, bool repetible);
    // BEGIN, COMMIT, ROLLBACK.
    bool control(const QString& sql);

    QString m_connName;
    ConnectionString m_cs;
    QString m_table;
    QStringList m_primaryKey;
    QSqlRecord m_tableRecord;
    QVector<QSqlRecord> m_rows;
    int m_pos = -1;
    QSqlRecord m_edit; // record being edited or added
    bool m_adding = false;
    bool m_registroAbierto = false;
    bool m_inTransaction = false;
    bool m_soloLectura = false;
    QString m_error;
    QStringList m_warnings;
    // Kept while the connection is open, so that a connection used for many
    // units of work prepares each statement and reads each table's layout
    // once (layouts read again when the table changed).
    QHash<QString, QSqlQuery> m_preparadas;
    struct Estructura
    {
        QSqlRecord registro;
        QStringList clave;
    };
    QHash<QString, Estructura> m_estructuras;
    qint64 m_versionEsquema = -1;
    // The table of the last statement opened (most are opened again and again).
    QString m_ultimaConsulta;
    QString m_ultimaTabla;
};

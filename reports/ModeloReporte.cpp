#include "ModeloReporte.h"

#include <QLocale>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

#include "CDatos.h"
#include "SqlDialect.h"

namespace {
constexpr int kPaginasEnMemoria = 64;

QString textoError(const QSqlError& e)
{
    const QString t = e.databaseText().trimmed();
    return t.isEmpty() ? e.text().trimmed() : t;
}
} // namespace

namespace FormatoCorto {

namespace {
bool sinLocale()
{
    const QLocale l;
    return l.language() == QLocale::C;
}
} // namespace

QString fecha(const QDate& d)
{
    if (!d.isValid())
        return {};
    if (sinLocale())
        return d.toString(QStringLiteral("dd/MM/yyyy"));
    return QLocale().toString(d, QLocale::ShortFormat);
}

QString hora(const QTime& t)
{
    if (!t.isValid())
        return {};
    if (sinLocale())
        return t.toString(QStringLiteral("HH:mm:ss"));
    return QLocale().toString(t, QLocale::ShortFormat);
}

QString numero(const QVariant& v)
{
    if (v.isNull() || !v.isValid())
        return {};
    bool ok = false;
    const double d = v.toDouble(&ok);
    if (!ok)
        return v.toString();
    return QString::number(d, 'g', 15);
}

QString valor(const QVariant& v, int columna)
{
    switch (columna) {
    case ModeloReporte::FECHA: return fecha(CDatos::aFecha(v));
    case ModeloReporte::HORA: return hora(CDatos::aHora(v));
    case ModeloReporte::TICKET:
    case ModeloReporte::TOTAL:
    case ModeloReporte::PESO:
    case ModeloReporte::BACH:
    case ModeloReporte::PRESET:
    case ModeloReporte::OPCION1: return numero(v);
    default: return v.isNull() ? QString() : v.toString();
    }
}

} // namespace FormatoCorto

const QStringList& ModeloReporte::nombresColumnas()
{
    static const QStringList n = {
        QStringLiteral("TICKET"), QStringLiteral("AUX1"), QStringLiteral("AUX2"), QStringLiteral("AUX3"),
        QStringLiteral("AUX4"), QStringLiteral("AUX5"), QStringLiteral("AUX6"), QStringLiteral("TOTAL"),
        QStringLiteral("PESO"), QStringLiteral("BACH"), QStringLiteral("PRESET"), QStringLiteral("FECHA"),
        QStringLiteral("HORA"), QStringLiteral("INFO"), QStringLiteral("OPERADOR"), QStringLiteral("OPCION1")};
    return n;
}

int ModeloReporte::columna(const QString& nombre)
{
    return nombresColumnas().indexOf(nombre.trimmed().toUpper());
}

ModeloReporte::ModeloReporte(QObject* parent) : QAbstractTableModel(parent) {}

QString ModeloReporte::sql(const QString& orden, int limite, int desplazamiento) const
{
    const QString s = QStringLiteral("SELECT %1 FROM %2%3 ORDER BY %4 LIMIT %5 OFFSET %6")
                          .arg(nombresColumnas().join(QStringLiteral(", ")), m_tabla, m_filtro, orden)
                          .arg(limite)
                          .arg(desplazamiento);
    return SqlDialect::adaptar(s, m_motor, CDatos::formatoFecha());
}

bool ModeloReporte::selecciona(const QSqlDatabase& db, ConnectionString::Engine motor, const QString& tabla,
                               const QString& filtro, const QString& orden, const QString& ordenInverso,
                               QString* error)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    const QString cuenta = SqlDialect::adaptar(QStringLiteral("SELECT COUNT(*) FROM %1%2").arg(tabla, filtro),
                                               motor, CDatos::formatoFecha());
    if (!q.exec(cuenta) || !q.next()) {
        m_error = textoError(q.lastError());
        if (error)
            *error = m_error;
        return false;
    }
    const int filas = static_cast<int>(q.value(0).toLongLong());
    // Check that the ordering is accepted before taking the selection.
    QSqlQuery prueba(db);
    prueba.setForwardOnly(true);
    const QString anterior[4] = {m_tabla, m_filtro, m_orden, m_ordenInverso};
    const auto motorAnterior = m_motor;
    m_tabla = tabla;
    m_filtro = filtro;
    m_motor = motor;
    if (!prueba.exec(sql(orden, 1, 0))) {
        m_tabla = anterior[0];
        m_filtro = anterior[1];
        m_motor = motorAnterior;
        m_error = textoError(prueba.lastError());
        if (error)
            *error = m_error;
        return false;
    }
    beginResetModel();
    m_db = db;
    m_orden = orden;
    m_ordenInverso = ordenInverso;
    m_filas = filas;
    m_paginas.clear();
    m_usadas.clear();
    m_error.clear();
    endResetModel();
    return true;
}

bool ModeloReporte::refresca(QString* error)
{
    return selecciona(m_db, m_motor, m_tabla, m_filtro, m_orden, m_ordenInverso, error);
}

void ModeloReporte::olvida()
{
    m_paginas.clear();
    m_usadas.clear();
    if (m_filas > 0)
        Q_EMIT dataChanged(index(0, 0), index(m_filas - 1, NumColumnas - 1));
}

int ModeloReporte::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_filas;
}

int ModeloReporte::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : NumColumnas;
}

const QVector<QVariantList>* ModeloReporte::pagina(int numero) const
{
    auto it = m_paginas.constFind(numero);
    if (it != m_paginas.constEnd()) {
        m_usadas.removeOne(numero);
        m_usadas.append(numero);
        return &it.value();
    }
    const int inicio = numero * kPagina;
    if (inicio >= m_filas || !m_db.isOpen())
        return nullptr;
    const int cantidad = std::min(kPagina, m_filas - inicio);
    // Read from the nearer end of the ordering.
    const bool desdeElFinal = inicio > m_filas / 2;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    const QString s = desdeElFinal ? sql(m_ordenInverso, cantidad, m_filas - inicio - cantidad)
                                   : sql(m_orden, cantidad, inicio);
    if (!q.exec(s)) {
        m_error = textoError(q.lastError());
        return nullptr;
    }
    QVector<QVariantList> filas;
    filas.reserve(cantidad);
    while (q.next()) {
        QVariantList f;
        f.reserve(NumColumnas);
        for (int c = 0; c < NumColumnas; ++c)
            f.append(q.value(c));
        filas.append(std::move(f));
    }
    if (desdeElFinal)
        std::reverse(filas.begin(), filas.end());
    if (m_usadas.size() >= kPaginasEnMemoria)
        m_paginas.remove(m_usadas.takeFirst());
    m_usadas.append(numero);
    return &m_paginas.insert(numero, std::move(filas)).value();
}

QVariant ModeloReporte::valor(int fila, int columna) const
{
    if (fila < 0 || fila >= m_filas || columna < 0 || columna >= NumColumnas)
        return {};
    const QVector<QVariantList>* p = pagina(fila / kPagina);
    const int i = fila % kPagina;
    if (!p || i >= p->size())
        return {};
    return p->at(i).at(columna);
}

QString ModeloReporte::texto(int fila, int columna) const
{
    return FormatoCorto::valor(valor(fila, columna), columna);
}

QVariant ModeloReporte::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return texto(index.row(), index.column());
    if (role == Qt::EditRole)
        return valor(index.row(), index.column());
    if (role == Qt::TextAlignmentRole) {
        switch (index.column()) {
        case TICKET: case TOTAL: case PESO: case BACH: case PRESET:
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        default: return {};
        }
    }
    return {};
}

QVariant ModeloReporte::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return nombresColumnas().value(section);
    return section + 1;
}

#include "ModeloReporte.h"

#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

#include "CDatos.h"
#include "FechaHora.h"
#include "Filtro.h"
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
    case ModeloReporte::FECHA: return FechaHora::fecha(CDatos::aFecha(v));
    case ModeloReporte::HORA: return FechaHora::hora(CDatos::aHora(v));
    case ModeloReporte::TICKET:
    case ModeloReporte::TOTAL:
    case ModeloReporte::PESO:
    case ModeloReporte::BACH:
    case ModeloReporte::PRESET:
    case ModeloReporte::OPCION1: return numero(v);
    case ModeloReporte::LINEA: return linea(v, {});
    default: return v.isNull() ? QString() : v.toString();
    }
}

QString linea(const QVariant& v, const QVector<Linea>& lineas)
{
    if (!v.isValid())
        return {};
    const int n = v.isNull() ? 1 : v.toInt();
    for (const Linea& l : lineas) {
        if (l.numero == n)
            return Filtros::textoLinea(n, l.nombre);
    }
    return QString::number(n);
}

} // namespace FormatoCorto

const QStringList& ModeloReporte::nombresColumnas()
{
    static const QStringList n = {
        QStringLiteral("TICKET"), QStringLiteral("AUX1"), QStringLiteral("AUX2"), QStringLiteral("AUX3"),
        QStringLiteral("AUX4"), QStringLiteral("AUX5"), QStringLiteral("AUX6"), QStringLiteral("TOTAL"),
        QStringLiteral("PESO"), QStringLiteral("BACH"), QStringLiteral("PRESET"), QStringLiteral("FECHA"),
        QStringLiteral("HORA"), QStringLiteral("INFO"), QStringLiteral("OPERADOR"), QStringLiteral("OPCION1"),
        QStringLiteral("LINEA")};
    return n;
}

int ModeloReporte::columna(const QString& nombre)
{
    return nombresColumnas().indexOf(nombre.trimmed().toUpper());
}

ModeloReporte::ModeloReporte(QObject* parent) : QAbstractTableModel(parent) {}

void ModeloReporte::muestraLineas(const QVector<Linea>& lineas)
{
    beginResetModel();
    m_lineas = lineas;
    // Pages read without the column (or with it) are read again.
    descartaClavesSinColumna();
    m_preparadas.clear();
    m_paginas.clear();
    m_usadas.clear();
    endResetModel();
}

QString ModeloReporte::sql(const QString& orden, int limite, int desplazamiento,
                          const QString& condicion) const
{
    QString donde = m_filtro;
    if (!condicion.isEmpty()) {
        const QString f = m_filtro.trimmed();
        if (f.isEmpty())
            donde = QStringLiteral(" WHERE ") + condicion;
        else if (f.startsWith(QStringLiteral("WHERE "), Qt::CaseInsensitive))
            donde = QStringLiteral(" WHERE (") + f.mid(6) + QStringLiteral(") AND ") + condicion;
        else
            return {};
    }
    // Joined, not formatted: the filter holds typed text, and a "%1" in it
    // ("*1" becomes "%1") must reach the engine as it is. The line goes by
    // the column's own name, so sorting by it sorts an empty one as line 1
    // on both engines.
    QString s = QStringLiteral("SELECT ") + nombresColumnas().mid(0, LINEA).join(QStringLiteral(", ")) +
                (conLinea() ? QStringLiteral(", COALESCE(LINEA, 1) AS LINEA") : QString()) +
                QStringLiteral(" FROM ") + m_tabla + donde + QStringLiteral(" ORDER BY ") + orden +
                QStringLiteral(" LIMIT ") + QString::number(limite);
    if (desplazamiento > 0)
        s += QStringLiteral(" OFFSET ") + QString::number(desplazamiento);
    return SqlDialect::adaptar(s, m_motor, CDatos::formatoFecha());
}

QVector<ModeloReporte::Clave> ModeloReporte::claves(const QString& orden)
{
    QVector<Clave> r;
    for (const QString& parte : orden.split(u',')) {
        const QStringList p = parte.simplified().split(u' ');
        const int c = columna(p.value(0));
        const QString dir = p.value(1).toUpper();
        if (c < 0 || p.size() > 2 || (p.size() == 2 && dir != u"ASC" && dir != u"DESC"))
            return {};
        const bool desc = dir == u"DESC";
        if (!r.isEmpty() && r.first().descendente != desc)
            return {};
        r.append({c, desc});
    }
    if (r.isEmpty() || r.last().columna != TICKET)
        return {};
    return r;
}

void ModeloReporte::descartaClavesSinColumna()
{
    for (const Clave& k : std::as_const(m_claves)) {
        if (k.columna >= columnas()) {
            m_claves.clear();
            return;
        }
    }
}

bool ModeloReporte::sinNulos() const
{
    if (m_sinNulos < 0) {
        m_sinNulos = 1;
        for (const Clave& k : m_claves) {
            if (k.columna == TICKET)
                continue;
            QSqlQuery q(m_db);
            q.setForwardOnly(true);
            const QString c = nombresColumnas().at(k.columna);
            if (!q.exec(QStringLiteral("SELECT 1 FROM %1 WHERE %2 IS NULL LIMIT 1").arg(m_tabla, c)) ||
                q.next()) {
                m_sinNulos = 0;
                break;
            }
        }
    }
    return m_sinNulos == 1;
}

bool ModeloReporte::selecciona(const QSqlDatabase& db, ConnectionString::Engine motor, const QString& tabla,
                               const QString& filtro, const QString& orden, const QString& ordenInverso,
                               QString* error)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    const QString cuenta = SqlDialect::adaptar(QStringLiteral("SELECT COUNT(*) FROM ") + tabla + filtro,
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
    // The first page doubles as the check, and is kept.
    if (!prueba.exec(sql(orden, kPagina, 0))) {
        m_tabla = anterior[0];
        m_filtro = anterior[1];
        m_motor = motorAnterior;
        m_error = textoError(prueba.lastError());
        if (error)
            *error = m_error;
        return false;
    }
    // Read before anything else runs on the connection: a server driver
    // that fetches row by row drops the rest of a result then.
    QVector<QVariantList> primera;
    while (primera.size() < std::min(kPagina, filas) && prueba.next()) {
        QVariantList f;
        f.reserve(columnas());
        for (int c = 0; c < columnas(); ++c)
            f.append(prueba.value(c));
        primera.append(std::move(f));
    }
    prueba.finish();
    beginResetModel();
    m_preparadas.clear();
    m_db = db;
    m_orden = orden;
    m_ordenInverso = ordenInverso;
    m_claves = claves(orden);
    if (claves(ordenInverso).size() != m_claves.size())
        m_claves.clear();
    descartaClavesSinColumna();
    m_sinNulos = -1;
    m_filas = filas;
    m_paginas.clear();
    m_usadas.clear();
    m_error.clear();
    if (filas > 0) {
        m_paginas.insert(0, std::move(primera));
        m_usadas.append(0);
    }
    endResetModel();
    return true;
}

bool ModeloReporte::refresca(QString* error)
{
    return selecciona(m_db, m_motor, m_tabla, m_filtro, m_orden, m_ordenInverso, error);
}

void ModeloReporte::olvida()
{
    m_sinNulos = -1;
    m_paginas.clear();
    m_usadas.clear();
    if (m_filas > 0)
        Q_EMIT dataChanged(index(0, 0), index(m_filas - 1, columnas() - 1));
}

int ModeloReporte::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_filas;
}

int ModeloReporte::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : columnas();
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
    // The nearest known place: either end of the ordering, or the edge of a
    // page already read (the page's rows are counted from there with the
    // rows of the pages in between).
    int salto = inicio;
    bool haciaAtras = false;
    const QVariantList* borde = nullptr;
    if (m_filas - inicio - cantidad < salto) {
        salto = m_filas - inicio - cantidad;
        haciaAtras = true;
    }
    if (!m_claves.isEmpty() && salto > 0) {
        int mejor = salto;
        const QVariantList* b = nullptr;
        bool atras = false;
        for (auto it = m_paginas.cbegin(); it != m_paginas.cend(); ++it) {
            const int k = it.key();
            const QVector<QVariantList>& f = it.value();
            if (k < numero && f.size() == kPagina && inicio - (k + 1) * kPagina < mejor) {
                mejor = inicio - (k + 1) * kPagina;
                b = &f.last();
                atras = false;
            } else if (k > numero && !f.isEmpty() && k * kPagina - inicio - cantidad < mejor) {
                mejor = k * kPagina - inicio - cantidad;
                b = &f.first();
                atras = true;
            }
        }
        bool conNulo = false;
        for (const Clave& c : m_claves)
            conNulo = conNulo || (b && b->at(c.columna).isNull());
        if (b && !conNulo && sinNulos()) {
            salto = mejor;
            borde = b;
            haciaAtras = atras;
        }
    }
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    QSqlQuery* consulta = &q;
    const QString& orden = haciaAtras ? m_ordenInverso : m_orden;
    QString s;
    if (borde) {
        QStringList columnas, marcas;
        for (const Clave& c : m_claves) {
            columnas << nombresColumnas().at(c.columna);
            marcas << QStringLiteral("?");
        }
        const bool mayor = haciaAtras == m_claves.first().descendente;
        const QString condicion = QStringLiteral("(%1) %2 (%3)")
                                      .arg(columnas.join(QStringLiteral(", ")),
                                           mayor ? QStringLiteral(">") : QStringLiteral("<"),
                                           marcas.join(QStringLiteral(", ")));
        s = sql(orden, cantidad, salto, condicion);
        // A walk runs the same statement page after page: prepared once.
        auto it = m_preparadas.find(s);
        if (it == m_preparadas.end() && !s.isEmpty()) {
            if (m_preparadas.size() >= 8)
                m_preparadas.clear();
            QSqlQuery p(m_db);
            p.setForwardOnly(true);
            if (p.prepare(s))
                it = m_preparadas.insert(s, std::move(p));
            else
                q.prepare(s); // fails again below, with the reason
        }
        if (it != m_preparadas.end())
            consulta = &it.value();
        for (int i = 0; i < m_claves.size(); ++i) {
            const QVariant& v = borde->at(m_claves.at(i).columna);
            // Bound as text where the driver would round a double.
            if (m_motor == ConnectionString::PostgreSQL && v.metaType().id() == QMetaType::Double)
                consulta->bindValue(i, QString::number(v.toDouble(), 'g', 17));
            else
                consulta->bindValue(i, v);
        }
    } else {
        s = sql(orden, cantidad, salto);
    }
    if (s.isEmpty() || !(borde ? consulta->exec() : q.exec(s))) {
        m_error = s.isEmpty() ? QStringLiteral("El filtro no admite la lectura por páginas.")
                              : textoError(consulta->lastError());
        return nullptr;
    }
    QVector<QVariantList> filas;
    filas.reserve(cantidad);
    while (consulta->next()) {
        QVariantList f;
        f.reserve(columnas());
        for (int c = 0; c < columnas(); ++c)
            f.append(consulta->value(c));
        filas.append(std::move(f));
    }
    consulta->finish();
    if (haciaAtras)
        std::reverse(filas.begin(), filas.end());
    if (m_usadas.size() >= kPaginasEnMemoria)
        m_paginas.remove(m_usadas.takeFirst());
    m_usadas.append(numero);
    return &m_paginas.insert(numero, std::move(filas)).value();
}

QVariant ModeloReporte::valor(int fila, int columna) const
{
    if (fila < 0 || fila >= m_filas || columna < 0 || columna >= columnas())
        return {};
    const QVector<QVariantList>* p = pagina(fila / kPagina);
    const int i = fila % kPagina;
    if (!p || i >= p->size())
        return {};
    return p->at(i).at(columna);
}

QString ModeloReporte::texto(int fila, int columna) const
{
    if (columna == LINEA)
        return FormatoCorto::linea(valor(fila, columna), m_lineas);
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
        return section == LINEA ? QStringLiteral("Línea") : nombresColumnas().value(section);
    return section + 1;
}

#include "LectorAccess.h"

#include <QDateTime>
#include <QFile>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include <mdbtools.h>

namespace {

// Long memos come whole: the library cuts a bound value at its bind size.
constexpr size_t kTamanoValor = 1 << 18;

template <typename T> T leeLE(const unsigned char* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

} // namespace

struct LectorAccess::Datos
{
    MdbHandle* mdb = nullptr;
    MdbTableDef* tabla = nullptr;
    std::vector<std::vector<char>> buffers;
    std::vector<int> largos;
    std::vector<MdbField> campos;

    void cierraTabla()
    {
        if (tabla)
            mdb_free_tabledef(tabla);
        tabla = nullptr;
    }
    ~Datos()
    {
        cierraTabla();
        if (mdb)
            mdb_close(mdb);
    }
};

LectorAccess::LectorAccess() : d(std::make_unique<Datos>()) {}
LectorAccess::~LectorAccess() = default;

bool LectorAccess::abre(const QString& archivo, QString* error)
{
    if (!QFile::exists(archivo)) {
        *error = QStringLiteral("No se encuentra el archivo de datos %1.").arg(archivo);
        return false;
    }
    // Read only: the older program's file is never changed.
    d->mdb = mdb_open(QFile::encodeName(archivo).constData(), MDB_NOFLAGS);
    if (!d->mdb || !mdb_read_catalog(d->mdb, MDB_TABLE)) {
        *error = QStringLiteral("%1 no es un archivo de Access que se pueda leer.").arg(archivo);
        return false;
    }
    mdb_set_bind_size(d->mdb, kTamanoValor);
    return true;
}

QStringList LectorAccess::tablas() const
{
    QStringList out;
    if (!d->mdb)
        return out;
    for (unsigned i = 0; i < d->mdb->num_catalog; ++i) {
        auto* e = static_cast<MdbCatalogEntry*>(g_ptr_array_index(d->mdb->catalog, i));
        if (e->object_type == MDB_TABLE && !mdb_is_system_table(e))
            out << QString::fromUtf8(e->object_name);
    }
    return out;
}

bool LectorAccess::abreTabla(const QString& tabla, QString* error)
{
    d->cierraTabla();
    QString nombre;
    for (const QString& t : tablas()) {
        if (t.compare(tabla, Qt::CaseInsensitive) == 0)
            nombre = t;
    }
    if (nombre.isEmpty()) {
        *error = QStringLiteral("El archivo de datos no tiene la tabla %1.").arg(tabla);
        return false;
    }
    QByteArray n = nombre.toUtf8();
    d->tabla = mdb_read_table_by_name(d->mdb, n.data(), MDB_TABLE);
    if (!d->tabla || !mdb_read_columns(d->tabla) || mdb_rewind_table(d->tabla) != 0) {
        *error = QStringLiteral("No se pudo leer la tabla %1.").arg(tabla);
        d->cierraTabla();
        return false;
    }
    const unsigned n_cols = d->tabla->num_cols;
    d->buffers.assign(n_cols, std::vector<char>(kTamanoValor + 1));
    d->largos.assign(n_cols, 0);
    d->campos.assign(n_cols + 1, MdbField{});
    // Only what is read as text is bound: the fixed values are read as
    // stored, so the library need not print them.
    for (unsigned i = 0; i < n_cols; ++i) {
        const int tipo = static_cast<MdbColumn*>(g_ptr_array_index(d->tabla->columns, i))->col_type;
        if (tipo == MDB_TEXT || tipo == MDB_MEMO || tipo == MDB_NUMERIC || tipo == MDB_OLE || tipo >= MDB_REPID)
            mdb_bind_column(d->tabla, int(i + 1), d->buffers[i].data(), &d->largos[i]);
    }
    return true;
}

QStringList LectorAccess::columnas() const
{
    QStringList out;
    if (!d->tabla)
        return out;
    for (unsigned i = 0; i < d->tabla->num_cols; ++i)
        out << QString::fromUtf8(static_cast<MdbColumn*>(g_ptr_array_index(d->tabla->columns, i))->name);
    return out;
}

qint64 LectorAccess::filasDeclaradas() const
{
    return d->tabla ? qint64(d->tabla->num_rows) : 0;
}

QDateTime LectorAccess::desdeAccess(double dias)
{
    // The day and the time of day apart: -1.25 is 29/12/1899 06:00.
    const double entero = std::trunc(dias);
    const double fraccion = std::fabs(dias - entero);
    qint64 segundos = qint64(std::llround(fraccion * 86400.0));
    qint64 dia = qint64(entero);
    if (segundos >= 86400) {
        segundos -= 86400;
        dia += dias < 0 ? -1 : 1;
    }
    const QDate fecha = QDate(1899, 12, 30).addDays(dia);
    // As stored: no time zone, no daylight-saving gap.
    return QDateTime(fecha, QTime(0, 0).addSecs(int(segundos)), Qt::UTC);
}

double LectorAccess::decimalDeSimple(float f)
{
    char texto[32];
    const auto r = std::to_chars(texto, texto + sizeof texto, f);
    double v = 0;
    std::from_chars(texto, r.ptr, v);
    return v;
}

bool LectorAccess::siguiente(QVariantList* valores)
{
    if (!d->tabla || !mdb_fetch_row(d->tabla))
        return false;
    MdbHandle* mdb = d->mdb;
    // The row just read is still on the current page: its fields give NULL
    // apart from an empty text, and the fixed values as stored.
    int inicio = 0;
    size_t largo = 0;
    const bool cruda = mdb_find_row(mdb, int(d->tabla->cur_row) - 1, &inicio, &largo) == 0 &&
                       mdb_crack_row(d->tabla, inicio, largo, d->campos.data()) > 0;
    valores->clear();
    for (unsigned i = 0; i < d->tabla->num_cols; ++i) {
        const auto* col = static_cast<MdbColumn*>(g_ptr_array_index(d->tabla->columns, i));
        const MdbField& f = d->campos[i];
        const QByteArray texto(d->buffers[i].data(), d->largos[i]);
        const unsigned char* p = mdb->pg_buf + f.start;
        if (col->col_type == MDB_BOOL) {
            // A Yes/No is the bit of the null mask itself.
            valores->append(cruda ? QVariant(!f.is_null) : QVariant(texto == "1"));
            continue;
        }
        const bool nulo = cruda ? bool(f.is_null) : texto.isEmpty();
        if (nulo) {
            valores->append(QVariant());
            continue;
        }
        const bool fijo = cruda && f.siz > 0 && f.start >= 0 && f.start + f.siz <= int(sizeof mdb->pg_buf);
        switch (col->col_type) {
        case MDB_BYTE:
            valores->append(fijo ? qint64(*p) : texto.toLongLong());
            break;
        case MDB_INT:
            valores->append(fijo ? qint64(leeLE<qint16>(p)) : texto.toLongLong());
            break;
        case MDB_LONGINT:
            valores->append(fijo ? qint64(leeLE<qint32>(p)) : texto.toLongLong());
            break;
        case MDB_MONEY:
            valores->append(fijo ? double(leeLE<qint64>(p)) / 10000.0 : texto.toDouble());
            break;
        case MDB_FLOAT:
            valores->append(decimalDeSimple(fijo ? leeLE<float>(p) : texto.toFloat()));
            break;
        case MDB_DOUBLE:
            valores->append(fijo ? leeLE<double>(p) : texto.toDouble());
            break;
        case MDB_DATETIME:
            if (fijo)
                valores->append(desdeAccess(leeLE<double>(p)));
            else
                valores->append(QVariant());
            break;
        case MDB_NUMERIC:
            valores->append(texto.toDouble());
            break;
        case MDB_OLE: {
            size_t n = 0;
            void* ole = mdb_ole_read_full(mdb, const_cast<MdbColumn*>(col), &n);
            valores->append(QByteArray(static_cast<const char*>(ole), qsizetype(n)));
            g_free(ole);
            break;
        }
        default:
            valores->append(QString::fromUtf8(texto));
            break;
        }
    }
    return true;
}

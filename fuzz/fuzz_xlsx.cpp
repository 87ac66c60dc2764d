// The export template: a workbook from any spreadsheet program, which the
// export copies and fills. Fuzzes the zip bytes themselves and, further in,
// one XML part (worksheet, workbook, its relations, styles, shared strings,
// content types) of a valid workbook: the program's own new template or one
// saved by another spreadsheet program.
//
// Properties: an export that says it succeeded left a workbook that opens,
// with every row of the selection; one that failed says why and leaves
// neither the destination nor its temporary copy behind.

#include "FuzzApoyo.h"

#include "CDatos.h"
#include "ConnectionString.h"
#include "Exportacion.h"
#include "Filtro.h"
#include "Schema.h"
#include "XlsxPlantilla.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <zip.h>

namespace {

QString g_conexion;
QByteArray g_base[2]; // the program's new template; one saved by another program

const char* const kPartes[] = {"xl/worksheets/sheet1.xml", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
                               "xl/styles.xml", "xl/sharedStrings.xml", "[Content_Types].xml"};

QString ruta(const QString& nombre)
{
    return FuzzApoyo::carpeta() + u'/' + nombre;
}

QByteArray lee(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool escribe(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A valid workbook with one part replaced by xml (added when it has none).
bool conParte(const QString& path, const QByteArray& base, const char* parte, const QByteArray& xml)
{
    if (!escribe(path, base))
        return false;
    int err = 0;
    zip_t* z = zip_open(QFile::encodeName(path).constData(), 0, &err);
    if (!z)
        return false;
    void* copia = malloc(size_t(std::max<qsizetype>(1, xml.size())));
    memcpy(copia, xml.constData(), size_t(xml.size()));
    zip_source_t* src = zip_source_buffer(z, copia, zip_uint64_t(xml.size()), 1);
    if (!src || zip_file_add(z, parte, src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
        if (src)
            zip_source_free(src);
        else
            free(copia);
        zip_discard(z);
        return false;
    }
    return zip_close(z) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzApoyo::inicia(argc, argv);
    QDir::setCurrent(FuzzApoyo::carpeta());
    const QString base = ruta(QStringLiteral("xlsx.sqlite"));
    g_conexion = ConnectionString::sqlite(base);
    CDatos db;
    QString error;
    if (!db.AbrirBase(g_conexion, true) ||
        !Schema::crear(db, QStringLiteral("Reporte"), QStringLiteral("Operarios"), QStringLiteral("Global"), nullptr,
                       &error))
        FuzzApoyo::falla("no se pudo preparar la base", error + db.ultimoError());
    QSqlQuery q(db.base());
    for (int t = 1; t <= 3; ++t) {
        if (!q.exec(QStringLiteral("INSERT INTO Reporte (TICKET, FECHA, HORA, AUX1, TOTAL, PESO, OPCION1) VALUES "
                                   "(%1, '2026-01-0%1', '10:00:00', 'Maíz \"%1\" <b>&amp;', %1.5, 2, 1)")
                        .arg(t)))
            FuzzApoyo::falla("no se pudo llenar la tabla", q.lastError().text());
    }
    db.CerrarBase();
    const QString nueva = ruta(QStringLiteral("nueva.xlsx"));
    if (!XlsxPlantilla::crear(nueva, &error))
        FuzzApoyo::falla("no se pudo crear la plantilla", error);
    g_base[0] = lee(nueva);
    g_base[1] = lee(QStringLiteral(TOLVEX_FUENTES "/tests/data/plantilla_libreoffice.xlsx"));
    if (g_base[1].isEmpty())
        FuzzApoyo::falla("falta tests/data/plantilla_libreoffice.xlsx");
    return 0;
}

// The input's first byte: even, the rest is the workbook's bytes; odd, the
// second byte chooses the workbook and the part, the rest is that part.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const QString plantilla = ruta(QStringLiteral("REPORTE.xlsx"));
    const QString destino = ruta(QStringLiteral("salida.xlsx"));
    QFile::remove(destino);
    const QByteArray resto(reinterpret_cast<const char*>(data) + 2, qsizetype(size - 2));
    if (data[0] % 2 == 0) {
        if (!escribe(plantilla, QByteArray(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1))))
            return 0;
    } else {
        const int n = int(sizeof kPartes / sizeof *kPartes);
        if (!conParte(plantilla, g_base[data[1] / n % 2], kPartes[data[1] % n], resto))
            return 0;
    }
    Filtros::Seleccion sel;
    const Exportacion::Resultado r =
        Exportacion::exportar(g_conexion, QStringLiteral("Reporte"), sel, plantilla, destino);
    const QStringList restos = QDir(FuzzApoyo::carpeta()).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden);
    FUZZ_EXIGE(restos.isEmpty(), restos.join(u' '));
    if (!r.ok) {
        FUZZ_EXIGE(!r.error.isEmpty() && !r.cancelado, QString());
        FUZZ_EXIGE(!QFile::exists(destino), r.error);
        return 0;
    }
    FUZZ_EXIGE(r.filas == 3, QString::number(r.filas));
    int err = 0;
    zip_t* z = zip_open(QFile::encodeName(destino).constData(), ZIP_CHECKCONS | ZIP_RDONLY, &err);
    FUZZ_EXIGE(z != nullptr, QStringLiteral("la salida no abre: %1").arg(err));
    zip_discard(z);
    return 0;
}

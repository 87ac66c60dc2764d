#include "Exportacion.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <cstdio>
#include <zip.h>

#include "CDatos.h"
#include "ModeloReporte.h"
#include "SqlDialect.h"
#include "XlsxPlantilla.h"

namespace Exportacion {

namespace {

QString textoError(const QSqlError& e)
{
    const QString t = e.databaseText().trimmed();
    return t.isEmpty() ? e.text().trimmed() : t;
}

QByteArray leeEntrada(zip_t* z, const QString& nombre, QString* error)
{
    const QByteArray n = nombre.toUtf8();
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat(z, n.constData(), 0, &st) != 0) {
        *error = QStringLiteral("La plantilla no contiene %1.").arg(nombre);
        return {};
    }
    zip_file_t* f = zip_fopen(z, n.constData(), 0);
    if (!f) {
        *error = QString::fromUtf8(zip_strerror(z));
        return {};
    }
    QByteArray data(static_cast<qsizetype>(st.size), Qt::Uninitialized);
    const zip_int64_t leidos = zip_fread(f, data.data(), st.size);
    zip_fclose(f);
    if (leidos != static_cast<zip_int64_t>(st.size)) {
        *error = QStringLiteral("No se pudo leer %1 de la plantilla.").arg(nombre);
        return {};
    }
    return data;
}

// Path inside the package of the worksheet named hoja.
QString rutaHoja(zip_t* z, const QString& hoja, QString* error)
{
    const QString libro = QString::fromUtf8(leeEntrada(z, QStringLiteral("xl/workbook.xml"), error));
    const QString rels = QString::fromUtf8(leeEntrada(z, QStringLiteral("xl/_rels/workbook.xml.rels"), error));
    if (libro.isEmpty() || rels.isEmpty())
        return {};
    const QRegularExpression reHoja(QStringLiteral("<sheet\\b[^>]*>"));
    for (auto it = reHoja.globalMatch(libro); it.hasNext();) {
        const QString tag = it.next().captured(0);
        const auto nombre = QRegularExpression(QStringLiteral("\\bname=\"([^\"]*)\"")).match(tag);
        if (!nombre.hasMatch() || nombre.captured(1) != XlsxPlantilla::xmlEscape(hoja))
            continue;
        const auto id = QRegularExpression(QStringLiteral("\\br:id=\"([^\"]*)\"")).match(tag);
        const QRegularExpression reRel(QStringLiteral("<Relationship\\b[^>]*>"));
        for (auto r = reRel.globalMatch(rels); r.hasNext();) {
            const QString rel = r.next().captured(0);
            if (!rel.contains(QStringLiteral("Id=\"%1\"").arg(id.captured(1))))
                continue;
            QString destino = QRegularExpression(QStringLiteral("\\bTarget=\"([^\"]*)\"")).match(rel).captured(1);
            if (destino.startsWith(u'/'))
                return destino.mid(1);
            return QStringLiteral("xl/") + destino;
        }
    }
    *error = QStringLiteral("La plantilla no tiene la hoja %1.").arg(hoja);
    return {};
}

// Splits the worksheet around its rows: what goes before the first data
// row (headings of rows 1 to 7 kept) and what follows the last.
bool partes(const QByteArray& xml, QByteArray* antes, QByteArray* despues, QString* error)
{
    const QString s = QString::fromUtf8(xml);
    qsizetype inicio = s.indexOf(QStringLiteral("<sheetData"));
    if (inicio < 0) {
        *error = QStringLiteral("La hoja de la plantilla no es válida.");
        return false;
    }
    const qsizetype finTag = s.indexOf(u'>', inicio);
    if (finTag < 0) {
        *error = QStringLiteral("La hoja de la plantilla no es válida.");
        return false;
    }
    QString cabeza, filas, cola;
    if (s.at(finTag - 1) == u'/') { // <sheetData/>
        cabeza = s.left(inicio) + QStringLiteral("<sheetData>");
        cola = QStringLiteral("</sheetData>") + s.mid(finTag + 1);
    } else {
        const qsizetype cierre = s.indexOf(QStringLiteral("</sheetData>"), finTag);
        if (cierre < 0) {
            *error = QStringLiteral("La hoja de la plantilla no es válida.");
            return false;
        }
        cabeza = s.left(finTag + 1);
        const QString dentro = s.mid(finTag + 1, cierre - finTag - 1);
        cola = s.mid(cierre);
        static const QRegularExpression reFila(
            QStringLiteral("<row\\b[^>]*?\\br=\"(\\d+)\"[^>]*?(?:/>|>.*?</row>)"),
            QRegularExpression::DotMatchesEverythingOption);
        for (auto it = reFila.globalMatch(dentro); it.hasNext();) {
            const auto m = it.next();
            if (m.captured(1).toInt() < XlsxPlantilla::kPrimeraFila)
                filas += m.captured(0);
        }
    }
    // The used range changes; readers work it out without the element.
    static const QRegularExpression reDimension(QStringLiteral("<dimension\\b[^>]*/>"));
    cabeza.remove(reDimension);
    *antes = (cabeza + filas).toUtf8();
    *despues = cola.toUtf8();
    return true;
}

void celdaNumero(QByteArray& out, int fila, int col, double v, int estilo)
{
    out += "<c r=\"";
    out += celda(fila, col).toLatin1();
    out += "\"";
    if (estilo) {
        out += " s=\"";
        out += QByteArray::number(estilo);
        out += "\"";
    }
    out += "><v>";
    out += QByteArray::number(v, 'g', 15);
    out += "</v></c>";
}

void celdaTexto(QByteArray& out, int fila, int col, const QString& t)
{
    if (t.isEmpty())
        return;
    out += "<c r=\"";
    out += celda(fila, col).toLatin1();
    out += "\" t=\"inlineStr\"><is><t xml:space=\"preserve\">";
    out += XlsxPlantilla::xmlEscape(t).toUtf8();
    out += "</t></is></c>";
}

void celdaValor(QByteArray& out, int fila, int col, const QVariant& v, int columna)
{
    if (!v.isValid() || v.isNull())
        return;
    switch (columna) {
    case ModeloReporte::FECHA: {
        const QDate d = CDatos::aFecha(v);
        if (d.isValid())
            celdaNumero(out, fila, col, static_cast<double>(QDate(1899, 12, 30).daysTo(d)),
                        XlsxPlantilla::kEstiloFecha);
        return;
    }
    case ModeloReporte::HORA: {
        const QTime t = CDatos::aHora(v);
        if (t.isValid())
            celdaNumero(out, fila, col, t.msecsSinceStartOfDay() / 86400000.0, XlsxPlantilla::kEstiloHora);
        return;
    }
    case ModeloReporte::TICKET:
    case ModeloReporte::TOTAL: {
        bool ok = false;
        const double d = v.toDouble(&ok);
        if (ok)
            celdaNumero(out, fila, col, d, 0);
        else
            celdaTexto(out, fila, col, v.toString());
        return;
    }
    default: celdaTexto(out, fila, col, v.toString());
    }
}

class Temporal
{
public:
    explicit Temporal(const QString& path) : m_path(path) {}
    ~Temporal()
    {
        if (!m_conservar)
            QFile::remove(m_path);
    }
    void conservar() { m_conservar = true; }
    const QString& path() const { return m_path; }

private:
    QString m_path;
    bool m_conservar = false;
};

} // namespace

QString celda(int fila, int columna)
{
    QString letras;
    for (int c = columna; c > 0; c = (c - 1) / 26)
        letras.prepend(QChar(u'A' + (c - 1) % 26));
    return letras + QString::number(fila);
}

Resultado exportar(const QString& conexion, const QString& tabla, const Filtros::Seleccion& seleccion,
                   const QString& plantilla, const QString& destino, const Progreso& progreso)
{
    Resultado r;
    if (!QFileInfo(plantilla).isFile()) {
        r.error = QStringLiteral("No existe la plantilla %1.").arg(plantilla);
        return r;
    }
    CDatos db;
    if (!db.AbrirBase(conexion)) {
        r.error = db.ultimoError();
        return r;
    }
    const auto motor = db.motor();
    QSqlQuery q(db.base());
    q.setForwardOnly(true);
    if (!q.exec(SqlDialect::adaptar(QStringLiteral("SELECT COUNT(*) FROM %1%2").arg(tabla, seleccion.filtro), motor,
                                    CDatos::formatoFecha())) ||
        !q.next()) {
        r.error = textoError(q.lastError());
        return r;
    }
    const qint64 total = q.value(0).toLongLong();
    const QString columnas = QStringLiteral("TICKET, FECHA, HORA, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL");
    const int origen[10] = {ModeloReporte::TICKET, ModeloReporte::FECHA, ModeloReporte::HORA,
                            ModeloReporte::AUX1,   ModeloReporte::AUX2,  ModeloReporte::AUX3,
                            ModeloReporte::AUX4,   ModeloReporte::AUX5,  ModeloReporte::AUX6,
                            ModeloReporte::TOTAL};
    const QString sql = QStringLiteral("SELECT %1 FROM %2%3 ORDER BY %4")
                            .arg(columnas, tabla, seleccion.filtro, seleccion.ordenCompleto());
    if (!q.exec(SqlDialect::adaptar(sql, motor, CDatos::formatoFecha()))) {
        r.error = textoError(q.lastError());
        return r;
    }
    if (progreso && !progreso(0, total)) {
        r.cancelado = true;
        return r;
    }

    // The template's copy, under a temporary name in the destination folder.
    const QFileInfo di(destino);
    Temporal copia(di.absolutePath() + QStringLiteral("/.") + di.fileName() + QStringLiteral(".part"));
    QFile::remove(copia.path());
    if (!QFile::copy(plantilla, copia.path())) {
        r.error = QStringLiteral("No se pudo copiar la plantilla a %1.").arg(destino);
        return r;
    }
    QFile::setPermissions(copia.path(), QFile::permissions(copia.path()) | QFile::WriteOwner);
    int zerr = 0;
    zip_t* z = zip_open(QFile::encodeName(copia.path()).constData(), 0, &zerr);
    if (!z) {
        r.error = QStringLiteral("La plantilla %1 no es un libro válido.").arg(plantilla);
        return r;
    }
    // The finished copy takes the chosen name in one step.
    const auto publica = [&]() {
        if (std::rename(QFile::encodeName(copia.path()).constData(), QFile::encodeName(destino).constData()) != 0) {
            r.error = QStringLiteral("No se pudo escribir %1.").arg(destino);
            return r;
        }
        copia.conservar();
        r.ok = true;
        return r;
    };
    const auto falla = [&](const QString& e) {
        zip_discard(z);
        r.error = e;
        return r;
    };
    QString error;
    const QString hoja = rutaHoja(z, XlsxPlantilla::kHoja, &error);
    if (hoja.isEmpty())
        return falla(error);
    const QByteArray original = leeEntrada(z, hoja, &error);
    QByteArray antes, despues;
    if (original.isEmpty() || !partes(original, &antes, &despues, &error))
        return falla(error);

    // The new worksheet goes to a file of its own, written row by row.
    QTemporaryFile xml(di.absolutePath() + QStringLiteral("/.hojaXXXXXX.xml"));
    if (!xml.open())
        return falla(QStringLiteral("No se pudo escribir en %1.").arg(di.absolutePath()));
    xml.write(antes);
    int fila = XlsxPlantilla::kPrimeraFila;
    QByteArray buffer;
    while (q.next()) {
        buffer += "<row r=\"";
        buffer += QByteArray::number(fila);
        buffer += "\">";
        for (int c = 0; c < 10; ++c)
            celdaValor(buffer, fila, c + 1, q.value(c), origen[c]);
        buffer += "</row>";
        r.suma += q.value(9).toDouble();
        ++r.filas;
        ++fila;
        if (buffer.size() > (1 << 20)) {
            xml.write(buffer);
            buffer.clear();
        }
        if (progreso && !progreso(r.filas, total)) {
            r.cancelado = true;
            return falla(QString());
        }
    }
    if (q.lastError().isValid())
        return falla(textoError(q.lastError()));
    if (r.filas == 0) {
        // Nothing selected: the file stays a plain copy of the template.
        zip_discard(z);
        return publica();
    }
    if (seleccion.totales) {
        buffer += "<row r=\"";
        buffer += QByteArray::number(fila);
        buffer += "\">";
        celdaTexto(buffer, fila, 9, QStringLiteral("Total:"));
        celdaNumero(buffer, fila, 10, r.suma, 0);
        buffer += "</row>";
    }
    buffer += despues;
    if (xml.write(buffer) != buffer.size() || !xml.flush())
        return falla(QStringLiteral("No se pudo escribir en %1.").arg(di.absolutePath()));

    zip_source_t* src = zip_source_file(z, QFile::encodeName(xml.fileName()).constData(), 0, -1);
    if (!src)
        return falla(QString::fromUtf8(zip_strerror(z)));
    if (zip_file_add(z, hoja.toUtf8().constData(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
        zip_source_free(src);
        return falla(QString::fromUtf8(zip_strerror(z)));
    }
    if (zip_close(z) < 0) {
        const QString e = QString::fromUtf8(zip_strerror(z));
        zip_discard(z);
        r.error = e;
        return r;
    }
    return publica();
}

} // namespace Exportacion

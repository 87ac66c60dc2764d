#include "Exportacion.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QXmlStreamReader>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <zip.h>

#include "ArchivoAtomico.h"
#include "CDatos.h"
#include "FechaHora.h"
#include "ModeloReporte.h"
#include "SqlDialect.h"
#include "XlsxPlantilla.h"

namespace Exportacion {

namespace {

// Columns written: ticket to total, and the line in K with several lines.
constexpr int kColumnas = 10;
constexpr int kColumnaTotal = 10;
constexpr int kColumnaLinea = 11;
constexpr int kMaxColumnas = 11;
constexpr int kFilaTitulos = XlsxPlantilla::kPrimeraFila - 1;
// Rows of a worksheet.
constexpr int kMaxFilas = 1048576;

// A database failure with the engine's reason.
QString textoError(const QString& motivo)
{
    return QStringLiteral("No se pudo leer la base de datos: ") + motivo;
}

QString textoError(const QSqlError& e)
{
    const QString t = e.databaseText().trimmed();
    return textoError(t.isEmpty() ? e.text().trimmed() : t);
}

QString hojaInvalida()
{
    return QStringLiteral("La hoja de la plantilla no es válida.");
}

// A libzip failure in the program's words, with libzip's reason.
QString fallaZip(zip_t* z, const QString& que)
{
    return QStringLiteral("%1 (%2).").arg(que, QString::fromUtf8(zip_strerror(z)));
}

QByteArray leeEntrada(zip_t* z, const QString& nombre, QString* error, bool* existe = nullptr)
{
    const QByteArray n = nombre.toUtf8();
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat(z, n.constData(), 0, &st) != 0) {
        if (existe)
            *existe = false;
        *error = QStringLiteral("La plantilla no contiene %1.").arg(nombre);
        return {};
    }
    if (existe)
        *existe = true;
    zip_file_t* f = zip_fopen(z, n.constData(), 0);
    if (!f) {
        *error = fallaZip(z, QStringLiteral("No se pudo leer %1 de la plantilla").arg(nombre));
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

bool bienFormado(const QByteArray& xml)
{
    QXmlStreamReader r(xml);
    while (!r.atEnd())
        r.readNext();
    return !r.hasError();
}

QString desescapa(QString s)
{
    if (!s.contains(u'&'))
        return s;
    s.replace(QStringLiteral("&quot;"), QStringLiteral("\""));
    s.replace(QStringLiteral("&apos;"), QStringLiteral("'"));
    s.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    s.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    static const QRegularExpression reNum(QStringLiteral("&#(x?)([0-9a-fA-F]+);"));
    QString out;
    qsizetype desde = 0;
    for (auto it = reNum.globalMatch(s); it.hasNext();) {
        const auto m = it.next();
        out += s.mid(desde, m.capturedStart() - desde);
        out += QChar(m.captured(2).toUInt(nullptr, m.captured(1).isEmpty() ? 10 : 16));
        desde = m.capturedEnd();
    }
    out += s.mid(desde);
    out.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return out;
}

// Value of attribute `nombre` in a start tag; null when absent.
QString atributo(const QString& tag, const QString& nombre)
{
    const QRegularExpression re(QStringLiteral("\\s%1\\s*=\\s*([\"'])(.*?)\\1").arg(QRegularExpression::escape(nombre)),
                                QRegularExpression::DotMatchesEverythingOption);
    const auto m = re.match(tag);
    return m.hasMatch() ? desescapa(m.captured(2)) : QString();
}

// The start tag `tag` with attribute `nombre` set to `valor` (added when absent).
QString conAtributo(const QString& tag, const QString& nombre, const QString& valor)
{
    const QRegularExpression re(QStringLiteral("(\\s%1\\s*=\\s*)([\"'])(.*?)\\2").arg(QRegularExpression::escape(nombre)),
                                QRegularExpression::DotMatchesEverythingOption);
    const auto m = re.match(tag);
    QString t = tag;
    if (m.hasMatch())
        return t.replace(m.capturedStart(), m.capturedLength(), m.captured(1) + u'"' + valor + u'"');
    qsizetype fin = t.lastIndexOf(u'>');
    if (fin > 0 && t.at(fin - 1) == u'/')
        --fin;
    return t.insert(fin, QStringLiteral(" %1=\"%2\"").arg(nombre, valor));
}

QString sinAtributo(const QString& tag, const QString& nombre)
{
    const QRegularExpression re(QStringLiteral("\\s%1\\s*=\\s*([\"'])(.*?)\\1").arg(QRegularExpression::escape(nombre)),
                                QRegularExpression::DotMatchesEverythingOption);
    QString t = tag;
    return t.remove(re);
}

bool verdadero(const QString& v)
{
    return v == u'1' || v.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0;
}

// "AB12" -> column 28, row 12; false when it is not a cell reference (a
// column beyond XFD, the last a workbook has, among them).
bool parteRef(const QString& ref, int* col, int* fila)
{
    constexpr int kUltimaColumna = 16384;
    int c = 0, i = 0;
    while (i < ref.size() && ref.at(i) == u'$')
        ++i;
    for (; i < ref.size() && ref.at(i).isLetter(); ++i) {
        const char16_t letra = ref.at(i).toUpper().unicode();
        if (letra < u'A' || letra > u'Z')
            return false;
        c = c * 26 + (letra - u'A' + 1);
        if (c > kUltimaColumna)
            return false;
    }
    while (i < ref.size() && ref.at(i) == u'$')
        ++i;
    bool ok = false;
    const int f = ref.mid(i).toInt(&ok);
    if (!ok || c <= 0 || f <= 0)
        return false;
    *col = c;
    *fila = f;
    return true;
}

// Moves every row number >= desde in a range list ("A30:C31 E40") down by d.
QString desplazaRangos(const QString& rangos, int desde, int d)
{
    static const QRegularExpression reRef(QStringLiteral("(\\$?[A-Za-z]{1,3}\\$?)(\\d+)"));
    QString out;
    qsizetype pos = 0;
    for (auto it = reRef.globalMatch(rangos); it.hasNext();) {
        const auto m = it.next();
        out += rangos.mid(pos, m.capturedStart() - pos);
        const int f = m.captured(2).toInt();
        out += m.captured(1) + QString::number(f >= desde ? f + d : f);
        pos = m.capturedEnd();
    }
    return out + rangos.mid(pos);
}

// Style table of the copy: formats and cell styles for dates and times are
// derived from the style a cell would have in the template, and appended.
class Estilos
{
public:
    bool carga(const QString& xml, QString* error)
    {
        m_xml = xml;
        static const QRegularExpression reRaiz(QStringLiteral("<(\\w+:)?styleSheet\\b[^>]*>"));
        const auto raiz = reRaiz.match(m_xml);
        if (!raiz.hasMatch()) {
            *error = QStringLiteral("La tabla de estilos de la plantilla no es válida.");
            return false;
        }
        m_p = raiz.captured(1);
        const QRegularExpression reFmt(QStringLiteral("<%1numFmt\\b[^>]*>").arg(m_p));
        for (auto it = reFmt.globalMatch(m_xml); it.hasNext();) {
            const QString tag = it.next().captured(0);
            const int id = atributo(tag, QStringLiteral("numFmtId")).toInt();
            m_formatos.insert(id, atributo(tag, QStringLiteral("formatCode")));
            m_maxFmt = std::max(m_maxFmt, id);
        }
        const QRegularExpression reXfs(QStringLiteral("<%1cellXfs\\b[^>]*>(.*?)</%1cellXfs>").arg(m_p),
                                       QRegularExpression::DotMatchesEverythingOption);
        const auto xfs = reXfs.match(m_xml);
        if (!xfs.hasMatch()) {
            *error = QStringLiteral("La plantilla no tiene estilos de celda.");
            return false;
        }
        const QRegularExpression reXf(QStringLiteral("<%1xf\\b[^>]*?(?:/>|>.*?</%1xf>)").arg(m_p),
                                      QRegularExpression::DotMatchesEverythingOption);
        for (auto it = reXf.globalMatch(xfs.captured(1)); it.hasNext();)
            m_xfs << it.next().captured(0);
        if (m_xfs.isEmpty()) {
            *error = QStringLiteral("La plantilla no tiene estilos de celda.");
            return false;
        }
        m_base = m_xfs.size();
        return true;
    }

    // Style index for a date (or time) cell whose template style is `base`.
    int para(int base, bool fecha)
    {
        if (base < 0 || base >= m_base)
            base = 0;
        auto& cache = fecha ? m_cacheFecha : m_cacheHora;
        const auto it = cache.constFind(base);
        if (it != cache.constEnd())
            return *it;
        const QString& xf = m_xfs.at(base);
        const int tag = xf.indexOf(u'>');
        const QString inicio = xf.left(tag + 1);
        const int fmt = atributo(inicio, QStringLiteral("numFmtId")).toInt();
        const Clase c = clase(fmt);
        int indice = base;
        if (!(fecha ? c.fecha : c.hora)) {
            const int id = fecha ? idFecha() : idHora();
            QString nuevo = conAtributo(inicio, QStringLiteral("numFmtId"), QString::number(id));
            nuevo = conAtributo(nuevo, QStringLiteral("applyNumberFormat"), QStringLiteral("1"));
            indice = m_xfs.size();
            m_xfs << nuevo + xf.mid(tag + 1);
        }
        cache.insert(base, indice);
        return indice;
    }

    bool cambiado() const { return m_xfs.size() != m_base; }

    QByteArray xml() const
    {
        QString s = m_xml;
        // Cell styles first: the formats come before them in the file.
        const QRegularExpression reXfs(QStringLiteral("(<%1cellXfs\\b[^>]*>)(.*?)(</%1cellXfs>)").arg(m_p),
                                       QRegularExpression::DotMatchesEverythingOption);
        const auto m = reXfs.match(s);
        QString nuevos;
        for (qsizetype i = m_base; i < m_xfs.size(); ++i)
            nuevos += m_xfs.at(i);
        s.replace(m.capturedStart(), m.capturedLength(),
                  conAtributo(m.captured(1), QStringLiteral("count"), QString::number(m_xfs.size())) + m.captured(2) +
                      nuevos + m.captured(3));
        if (m_nuevosFmt.isEmpty())
            return s.toUtf8();
        QString fmts;
        for (const auto& [id, codigo] : m_nuevosFmt)
            fmts += QStringLiteral("<%1numFmt numFmtId=\"%2\" formatCode=\"%3\"/>").arg(m_p).arg(id).arg(codigo);
        const QRegularExpression reFmts(QStringLiteral("<%1numFmts\\b[^>]*?(/>|>(.*?)</%1numFmts>)").arg(m_p),
                                        QRegularExpression::DotMatchesEverythingOption);
        const auto f = reFmts.match(s);
        const int total = m_formatos.size() + m_nuevosFmt.size();
        if (f.hasMatch()) {
            s.replace(f.capturedStart(), f.capturedLength(),
                      QStringLiteral("<%1numFmts count=\"%2\">%3%4</%1numFmts>")
                          .arg(m_p)
                          .arg(total)
                          .arg(f.captured(2), fmts));
        } else {
            static const QRegularExpression reRaiz(QStringLiteral("<(\\w+:)?styleSheet\\b[^>]*>"));
            const auto r = reRaiz.match(s);
            s.insert(r.capturedEnd(), QStringLiteral("<%1numFmts count=\"%2\">%3</%1numFmts>").arg(m_p).arg(total).arg(fmts));
        }
        return s.toUtf8();
    }

private:
    struct Clase
    {
        bool fecha = false;
        bool hora = false;
    };

    Clase clase(int id) const
    {
        if ((id >= 14 && id <= 17) || (id >= 27 && id <= 31) || (id >= 34 && id <= 36) || (id >= 50 && id <= 58))
            return {true, false};
        if ((id >= 18 && id <= 21) || (id >= 32 && id <= 33) || (id >= 45 && id <= 47))
            return {false, true};
        if (id == 22)
            return {true, true};
        const auto it = m_formatos.constFind(id);
        if (id < 164 && it == m_formatos.constEnd())
            return {};
        // Letters of the code outside quotes, escapes and colour or
        // condition brackets; elapsed-time brackets count as time.
        const QString codigo = it == m_formatos.constEnd() ? QString() : *it;
        Clase c;
        for (qsizetype i = 0; i < codigo.size(); ++i) {
            const QChar ch = codigo.at(i);
            if (ch == u'"') {
                const qsizetype fin = codigo.indexOf(u'"', i + 1);
                i = fin < 0 ? codigo.size() : fin;
            } else if (ch == u'\\' || ch == u'_' || ch == u'*') {
                ++i;
            } else if (ch == u'[') {
                const qsizetype fin = codigo.indexOf(u']', i + 1);
                const QString dentro = codigo.mid(i + 1, fin < 0 ? -1 : fin - i - 1).toLower();
                if (!dentro.isEmpty() && dentro.count(u'h') + dentro.count(u'm') + dentro.count(u's') == dentro.size())
                    c.hora = true;
                i = fin < 0 ? codigo.size() : fin;
            } else {
                const QChar l = ch.toLower();
                if (l == u'y' || l == u'd')
                    c.fecha = true;
                else if (l == u'h' || l == u's')
                    c.hora = true;
            }
        }
        return c;
    }

    int nuevoFormato(const QString& codigo)
    {
        for (auto it = m_formatos.constBegin(); it != m_formatos.constEnd(); ++it)
            if (it.value() == codigo)
                return it.key();
        const int id = std::max(m_maxFmt, 163) + 1;
        m_maxFmt = id;
        m_nuevosFmt.append({id, codigo});
        return id;
    }
    int idFecha()
    {
        // The plant's date pattern in the spreadsheet's letters.
        if (m_idFecha < 0)
            m_idFecha = nuevoFormato(FechaHora::patronFecha().replace(u'M', u'm'));
        return m_idFecha;
    }
    int idHora()
    {
        if (m_idHora < 0)
            m_idHora = nuevoFormato(QStringLiteral("hh:mm:ss"));
        return m_idHora;
    }

    QString m_xml;
    QString m_p;
    QMap<int, QString> m_formatos;
    int m_maxFmt = 0;
    QStringList m_xfs;
    qsizetype m_base = 0;
    QList<QPair<int, QString>> m_nuevosFmt;
    QHash<int, int> m_cacheFecha, m_cacheHora;
    int m_idFecha = -1, m_idHora = -1;
};

// A row of the template's worksheet at or below the first data row.
struct FilaPlantilla
{
    struct Celda
    {
        int col = 0;
        int estilo = 0;
        QString xml;
    };
    int r = 0;
    QString xml;         // the whole element, with an explicit r
    QString inicio;      // start tag without r and spans, without "/>" or ">"
    int estilo = -1;     // the row's own format, when it has one
    QList<Celda> celdas; // each with an explicit r
    bool conValor = false; // a value in one of the columns the data writes
};

// The template's worksheet split around the rows the export fills.
struct Hoja
{
    QString p;               // namespace prefix with its colon, or empty
    QString cabeza;          // up to and including the sheetData start tag
    QString filasPrevias;    // rows above the first data row, as they are
    QList<FilaPlantilla> filas; // rows from the first data row on, in order
    QString cola;            // from the sheetData end tag on
    QHash<int, int> estiloColumna;
    int primeraConValor = 0; // first row >= 8 with a value where data goes; 0 if none
    int columnas = kColumnas; // the columns the data writes

    bool carga(const QString& s, QString* error)
    {
        static const QRegularExpression reRaiz(QStringLiteral("<(\\w+:)?worksheet\\b"));
        const auto raiz = reRaiz.match(s);
        if (!raiz.hasMatch()) {
            *error = hojaInvalida();
            return false;
        }
        p = raiz.captured(1);
        const QRegularExpression reDatos(QStringLiteral("<%1sheetData\\b[^>]*?(/?)>").arg(p));
        const auto datos = reDatos.match(s);
        if (!datos.hasMatch()) {
            *error = hojaInvalida();
            return false;
        }
        QString dentro;
        if (!datos.captured(1).isEmpty()) {
            cabeza = s.left(datos.capturedStart()) + QStringLiteral("<%1sheetData>").arg(p);
            cola = QStringLiteral("</%1sheetData>").arg(p) + s.mid(datos.capturedEnd());
        } else {
            const qsizetype cierre = s.indexOf(QStringLiteral("</%1sheetData>").arg(p), datos.capturedEnd());
            if (cierre < 0) {
                *error = hojaInvalida();
                return false;
            }
            cabeza = s.left(datos.capturedEnd());
            dentro = s.mid(datos.capturedEnd(), cierre - datos.capturedEnd());
            cola = s.mid(cierre);
        }
        // The used range changes; readers work it out without the element.
        const QRegularExpression reDimension(QStringLiteral("<%1dimension\\b[^>]*/>").arg(p));
        cabeza.remove(reDimension);

        const QRegularExpression reCol(QStringLiteral("<%1col\\b[^>]*>").arg(p));
        for (auto it = reCol.globalMatch(cabeza); it.hasNext();) {
            const QString tag = it.next().captured(0);
            const QString estilo = atributo(tag, QStringLiteral("style"));
            if (estilo.isNull())
                continue;
            const int desde = std::max(1, atributo(tag, QStringLiteral("min")).toInt());
            const int hasta = std::min(columnas, atributo(tag, QStringLiteral("max")).toInt());
            for (int c = desde; c <= hasta; ++c)
                estiloColumna.insert(c, estilo.toInt());
        }

        const QRegularExpression reFila(QStringLiteral("<%1row\\b([^>]*?)(?:/>|>(.*?)</%1row>)").arg(p),
                                        QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpression reCelda(QStringLiteral("<%1c\\b([^>]*?)(?:/>|>(.*?)</%1c>)").arg(p),
                                         QRegularExpression::DotMatchesEverythingOption);
        // A formula, or a value with more than blanks in it: a cell a plant
        // only formatted (some writers give it an empty value) holds none.
        const QRegularExpression reValor(
            QStringLiteral("<%1f[\\s>/]|<%1v>[^<]*\\S[^<]*</%1v>|<%1t(?:\\s[^>]*)?>[^<]*\\S[^<]*</%1t>").arg(p));
        int anterior = 0;
        bool conTitulos = false;
        for (auto it = reFila.globalMatch(dentro); it.hasNext();) {
            const auto m = it.next();
            QString atributos = m.captured(1);
            const QString rTexto = atributo(atributos, QStringLiteral("r"));
            const int r = rTexto.isNull() ? anterior + 1 : rTexto.toInt();
            if (r <= anterior || r > kMaxFilas) {
                *error = hojaInvalida();
                return false;
            }
            anterior = r;
            if (r < XlsxPlantilla::kPrimeraFila) {
                QString fila = rTexto.isNull() ? conAtributo(m.captured(0), QStringLiteral("r"), QString::number(r))
                                               : m.captured(0);
                if (columnas == kColumnaLinea && r == kFilaTitulos) {
                    fila = filaDeTitulos(fila);
                    conTitulos = true;
                }
                if (fila.isEmpty()) {
                    *error = hojaInvalida();
                    return false;
                }
                filasPrevias += fila;
                continue;
            }
            FilaPlantilla f;
            f.r = r;
            atributos = sinAtributo(sinAtributo(atributos, QStringLiteral("r")), QStringLiteral("spans"));
            f.inicio = QStringLiteral("<%1row").arg(p) + atributos;
            if (f.inicio.endsWith(u'/'))
                f.inicio.chop(1);
            if (verdadero(atributo(atributos, QStringLiteral("customFormat"))))
                f.estilo = atributo(atributos, QStringLiteral("s")).toInt();
            int col = 0;
            const QString celdas = m.captured(2);
            for (auto c = reCelda.globalMatch(celdas); c.hasNext();) {
                const auto mc = c.next();
                FilaPlantilla::Celda cel;
                const QString ref = atributo(mc.captured(1), QStringLiteral("r"));
                int filaRef = 0;
                if (ref.isNull())
                    cel.col = col + 1;
                else if (!parteRef(ref, &cel.col, &filaRef) || filaRef != r) {
                    *error = hojaInvalida();
                    return false;
                }
                col = cel.col;
                cel.estilo = atributo(mc.captured(1), QStringLiteral("s")).toInt();
                cel.xml = ref.isNull() ? QStringLiteral("<%1c r=\"%2\"").arg(p, celda(r, cel.col)) +
                                             mc.captured(0).mid(p.size() + 2)
                                       : mc.captured(0);
                if (cel.col <= columnas && reValor.match(mc.captured(2)).hasMatch())
                    f.conValor = true;
                f.celdas << cel;
            }
            if (f.conValor && primeraConValor == 0)
                primeraConValor = r;
            f.xml = f.inicio + QStringLiteral(" r=\"%1\">").arg(r);
            for (const auto& c : f.celdas)
                f.xml += c.xml;
            f.xml += QStringLiteral("</%1row>").arg(p);
            filas << f;
        }
        // Row 7 of its own, last of the rows above the data.
        if (columnas == kColumnaLinea && !conTitulos)
            filasPrevias += filaDeTitulos(QString());
        return true;
    }

    // Row 7 with the line's heading in K7, in the style of the heading
    // beside it (J7); a K7 of the template's own stays as it is. An empty
    // fila is a row 7 the template lacks; empty when the row cannot be read.
    QString filaDeTitulos(const QString& fila) const
    {
        if (fila.isEmpty())
            return QStringLiteral("<%1row r=\"%2\">").arg(p).arg(kFilaTitulos) + titulo(0) +
                   QStringLiteral("</%1row>").arg(p);
        static const QRegularExpression reInicio(QStringLiteral("^<(?:\\w+:)?row\\b[^>]*?(/?)>"));
        const auto inicio = reInicio.match(fila);
        if (!inicio.hasMatch())
            return {};
        QString tag = sinAtributo(inicio.captured(0), QStringLiteral("spans"));
        if (!inicio.captured(1).isEmpty()) {
            tag.chop(2);
            return tag + u'>' + titulo(0) + QStringLiteral("</%1row>").arg(p);
        }
        const QRegularExpression reCelda(QStringLiteral("<%1c\\b([^>]*?)(?:/>|>.*?</%1c>)").arg(p),
                                         QRegularExpression::DotMatchesEverythingOption);
        int col = 0, estilo = 0;
        qsizetype donde = fila.lastIndexOf(QStringLiteral("</%1row>").arg(p));
        if (donde < 0)
            return {};
        for (auto it = reCelda.globalMatch(fila, inicio.capturedEnd()); it.hasNext();) {
            const auto mc = it.next();
            const QString r = atributo(mc.captured(1), QStringLiteral("r"));
            int filaRef = 0;
            if (r.isNull())
                ++col;
            else if (!parteRef(r, &col, &filaRef))
                return {};
            if (col == kColumnaLinea)
                return tag + fila.mid(inicio.capturedEnd());
            if (col == kColumnaTotal)
                estilo = atributo(mc.captured(1), QStringLiteral("s")).toInt();
            if (col > kColumnaLinea) {
                donde = mc.capturedStart();
                break;
            }
        }
        return tag + fila.mid(inicio.capturedEnd(), donde - inicio.capturedEnd()) + titulo(estilo) +
               fila.mid(donde);
    }

    QString titulo(int estilo) const
    {
        return QStringLiteral("<%1c r=\"%2\" t=\"inlineStr\"%3><%1is><%1t>Línea</%1t></%1is></%1c>")
            .arg(p, celda(kFilaTitulos, kColumnaLinea),
                 estilo > 0 ? QStringLiteral(" s=\"%1\"").arg(estilo) : QString());
    }

    // Row element of a template row moved down by d rows.
    QString desplazada(const FilaPlantilla& f, int d) const
    {
        QString out = f.inicio + QStringLiteral(" r=\"%1\">").arg(f.r + d);
        static const QRegularExpression reR(QStringLiteral("(\\sr\\s*=\\s*\")([A-Za-z]+)(\\d+)(\")"));
        static const QRegularExpression reRef(QStringLiteral("(\\sref\\s*=\\s*\")([^\"]*)(\")"));
        for (const auto& c : f.celdas) {
            QString x = c.xml;
            const auto m = reR.match(x);
            x.replace(m.capturedStart(), m.capturedLength(),
                      m.captured(1) + m.captured(2) + QString::number(m.captured(3).toInt() + d) + m.captured(4));
            // A shared formula names the range it covers.
            const auto f2 = reRef.match(x, m.capturedStart() + 1);
            if (f2.hasMatch())
                x.replace(f2.capturedStart(), f2.capturedLength(),
                          f2.captured(1) + desplazaRangos(f2.captured(2), f.r, d) + f2.captured(3));
            out += x;
        }
        return out + QStringLiteral("</%1row>").arg(p);
    }

    // The tail with the ranges that name moved rows moved as well.
    QString colaDesplazada(int desde, int d) const
    {
        static const QRegularExpression reRango(QStringLiteral("(\\s(?:ref|sqref)\\s*=\\s*\")([^\"]*)(\")"));
        static const QRegularExpression reSalto(QStringLiteral("(<(?:\\w+:)?brk\\b[^>]*?\\sid\\s*=\\s*\")(\\d+)(\")"));
        QString out;
        qsizetype pos = 0;
        for (auto it = reRango.globalMatch(cola); it.hasNext();) {
            const auto m = it.next();
            out += cola.mid(pos, m.capturedStart() - pos) + m.captured(1) + desplazaRangos(m.captured(2), desde, d) +
                   m.captured(3);
            pos = m.capturedEnd();
        }
        out += cola.mid(pos);
        QString fin;
        pos = 0;
        for (auto it = reSalto.globalMatch(out); it.hasNext();) {
            const auto m = it.next();
            // A page break after row n has id n.
            const int n = m.captured(2).toInt();
            fin += out.mid(pos, m.capturedStart() - pos) + m.captured(1) + QString::number(n >= desde ? n + d : n) +
                   m.captured(3);
            pos = m.capturedEnd();
        }
        return fin + out.mid(pos);
    }
};

// Cells of one data row, written as bytes.
class Escritor
{
public:
    Escritor(QByteArray& out, const QString& prefijo) : m_out(out)
    {
        const QByteArray p = prefijo.toUtf8();
        m_c = "<" + p + "c r=\"";
        m_v = "><" + p + "v>";
        m_finV = "</" + p + "v></" + p + "c>";
        m_texto = " t=\"inlineStr\"><" + p + "is><" + p + "t>";
        m_textoEspacios = " t=\"inlineStr\"><" + p + "is><" + p + "t xml:space=\"preserve\">";
        m_finTexto = "</" + p + "t></" + p + "is></" + p + "c>";
        for (int c = 1; c <= kMaxColumnas; ++c)
            m_letras[c] = celda(1, c).chopped(1).toLatin1();
    }

    void empiezaCelda(int col, const QByteArray& fila, int estilo)
    {
        m_out += m_c;
        m_out += m_letras[col];
        m_out += fila;
        m_out += '"';
        if (estilo > 0) {
            m_out += " s=\"";
            m_out += QByteArray::number(estilo);
            m_out += '"';
        }
    }

    void numero(int col, const QByteArray& fila, double v, int estilo)
    {
        empiezaCelda(col, fila, estilo);
        m_out += m_v;
        if (std::abs(v) < 1e15 && v == std::floor(v))
            m_out += QByteArray::number(static_cast<qint64>(v));
        else
            m_out += QByteArray::number(v, 'g', 15);
        m_out += m_finV;
    }

    void texto(int col, const QByteArray& fila, const QString& t, int estilo)
    {
        empiezaCelda(col, fila, estilo);
        const QByteArray u = t.toUtf8();
        const auto espacio = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
        // Readers drop leading and trailing blanks unless told to keep them.
        m_out += espacio(u.front()) || espacio(u.back()) ? m_textoEspacios : m_texto;
        for (const char ch : u) {
            switch (ch) {
            case '&': m_out += "&amp;"; break;
            case '<': m_out += "&lt;"; break;
            case '>': m_out += "&gt;"; break;
            default:
                // Control characters are not allowed in XML 1.0.
                if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n' && ch != '\r')
                    continue;
                m_out += ch;
            }
        }
        m_out += m_finTexto;
    }

    void vacia(int col, const QByteArray& fila, int estilo)
    {
        empiezaCelda(col, fila, estilo);
        m_out += "/>";
    }

private:
    QByteArray& m_out;
    QByteArray m_letras[kMaxColumnas + 1];
    QByteArray m_c, m_v, m_finV, m_texto, m_textoEspacios, m_finTexto;
};

int digitos(const QChar* s, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        const char16_t c = s[i].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        v = v * 10 + (c - u'0');
    }
    return v;
}

// Days since 1899-12-30, the spreadsheet's date serial; -1 if not a date.
qint64 serialFecha(const QVariant& v)
{
    if (v.metaType().id() == QMetaType::QString) {
        const QString& s = *static_cast<const QString*>(v.constData());
        if (s.size() == 10 && s.at(4) == u'-' && s.at(7) == u'-') {
            const int a = digitos(s.constData(), 4), m = digitos(s.constData() + 5, 2), d = digitos(s.constData() + 8, 2);
            if (a >= 0 && m >= 0 && d >= 0 && QDate::isValid(a, m, d))
                return QDate(a, m, d).toJulianDay() - QDate(1899, 12, 30).toJulianDay();
        }
    }
    const QDate d = CDatos::aFecha(v);
    return d.isValid() ? d.toJulianDay() - QDate(1899, 12, 30).toJulianDay() : -1;
}

// Fraction of a day; negative if not a time.
double serialHora(const QVariant& v)
{
    if (v.metaType().id() == QMetaType::QString) {
        const QString& s = *static_cast<const QString*>(v.constData());
        if (s.size() == 8 && s.at(2) == u':' && s.at(5) == u':') {
            const int h = digitos(s.constData(), 2), m = digitos(s.constData() + 3, 2), sg = digitos(s.constData() + 6, 2);
            if (h >= 0 && h < 24 && m >= 0 && m < 60 && sg >= 0 && sg < 60)
                return (h * 3600 + m * 60 + sg) / 86400.0;
        }
    }
    const QTime t = CDatos::aHora(v);
    return t.isValid() ? t.msecsSinceStartOfDay() / 86400000.0 : -1;
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

bool reemplazaEntrada(zip_t* z, const QString& nombre, const QByteArray& datos, QString* error)
{
    // A buffer source that owns a copy of the data.
    void* copia = std::malloc(static_cast<size_t>(std::max<qsizetype>(datos.size(), 1)));
    if (!copia) {
        *error = QStringLiteral("Memoria insuficiente.");
        return false;
    }
    std::memcpy(copia, datos.constData(), static_cast<size_t>(datos.size()));
    zip_source_t* src = zip_source_buffer(z, copia, static_cast<zip_uint64_t>(datos.size()), 1);
    if (!src) {
        std::free(copia);
        *error = fallaZip(z, QStringLiteral("No se pudo escribir %1 en el libro").arg(nombre));
        return false;
    }
    if (zip_file_add(z, nombre.toUtf8().constData(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
        zip_source_free(src);
        *error = fallaZip(z, QStringLiteral("No se pudo escribir %1 en el libro").arg(nombre));
        return false;
    }
    return true;
}

// Package paths of the worksheet the data goes to and of the style table.
// The sheet is the one named REPORTE (in any case); without one, the plant's
// own report sheet is taken to be its first visible worksheet.
bool rutas(zip_t* z, QString* rutaHoja, QString* rutaEstilos, QString* error)
{
    const QString libro = QString::fromUtf8(leeEntrada(z, QStringLiteral("xl/workbook.xml"), error));
    const QString rels = QString::fromUtf8(leeEntrada(z, QStringLiteral("xl/_rels/workbook.xml.rels"), error));
    if (libro.isEmpty() || rels.isEmpty())
        return false;
    const auto destino = [](const QString& rel) {
        const QString d = atributo(rel, QStringLiteral("Target"));
        return d.startsWith(u'/') ? d.mid(1) : QStringLiteral("xl/") + d;
    };
    static const QRegularExpression reRel(QStringLiteral("<(?:\\w+:)?Relationship\\b[^>]*>"));
    QHash<QString, QString> hojas; // relationship id -> worksheet path
    for (auto r = reRel.globalMatch(rels); r.hasNext();) {
        const QString rel = r.next().captured(0);
        const QString tipo = atributo(rel, QStringLiteral("Type"));
        if (tipo.endsWith(QStringLiteral("/styles")))
            *rutaEstilos = destino(rel);
        else if (tipo.endsWith(QStringLiteral("/worksheet")))
            hojas.insert(atributo(rel, QStringLiteral("Id")), destino(rel));
    }
    static const QRegularExpression reHoja(QStringLiteral("<(?:\\w+:)?sheet\\b[^>]*>"));
    static const QRegularExpression reId(QStringLiteral("\\s\\w+:id\\s*=\\s*\"([^\"]*)\""));
    QString primera;
    for (auto it = reHoja.globalMatch(libro); it.hasNext();) {
        const QString tag = it.next().captured(0);
        const QString ruta = hojas.value(reId.match(tag).captured(1));
        if (ruta.isEmpty())
            continue; // a chart sheet or a dangling entry
        if (atributo(tag, QStringLiteral("name")).compare(XlsxPlantilla::kHoja, Qt::CaseInsensitive) == 0) {
            *rutaHoja = ruta;
            return true;
        }
        const QString estado = atributo(tag, QStringLiteral("state"));
        if (primera.isEmpty() && (estado.isEmpty() || estado == u"visible"))
            primera = ruta;
    }
    if (primera.isEmpty()) {
        *error = QStringLiteral("La plantilla no tiene ninguna hoja visible donde escribir los datos.");
        return false;
    }
    *rutaHoja = primera;
    return true;
}

// A template without a style table gets one, named in its relationships
// and content types.
bool agregaEstilos(zip_t* z, QString* error)
{
    QString rels = QString::fromUtf8(leeEntrada(z, QStringLiteral("xl/_rels/workbook.xml.rels"), error));
    QString tipos = QString::fromUtf8(leeEntrada(z, QStringLiteral("[Content_Types].xml"), error));
    const qsizetype finRels = rels.lastIndexOf(QStringLiteral("</"));
    const qsizetype finTipos = tipos.lastIndexOf(QStringLiteral("</"));
    if (finRels < 0 || finTipos < 0) {
        *error = QStringLiteral("La plantilla no es un libro válido.");
        return false;
    }
    int n = 1;
    while (rels.contains(QStringLiteral("\"rIdTolvex%1\"").arg(n)))
        ++n;
    rels.insert(finRels, QStringLiteral("<Relationship Id=\"rIdTolvex%1\" "
                                        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
                                        "Target=\"styles.xml\"/>")
                             .arg(n));
    tipos.insert(finTipos, QStringLiteral("<Override PartName=\"/xl/styles.xml\" ContentType=\"application/"
                                          "vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"));
    return reemplazaEntrada(z, QStringLiteral("xl/_rels/workbook.xml.rels"), rels.toUtf8(), error) &&
           reemplazaEntrada(z, QStringLiteral("[Content_Types].xml"), tipos.toUtf8(), error);
}

} // namespace

QString celda(int fila, int columna)
{
    QString letras;
    for (int c = columna; c > 0; c = (c - 1) / 26)
        letras.prepend(QChar(u'A' + (c - 1) % 26));
    return letras + QString::number(fila);
}

Resultado exportar(const QString& conexion, const QString& tabla, const Filtros::Seleccion& seleccion,
                   const QString& plantilla, const QString& destino, const Progreso& progreso,
                   const QVector<Linea>& lineas)
{
    Resultado r;
    if (!QFileInfo(plantilla).isFile()) {
        r.error = QStringLiteral("No existe la plantilla %1.").arg(plantilla);
        return r;
    }
    CDatos db;
    if (!db.AbrirBase(conexion)) {
        r.error = textoError(db.ultimoError());
        return r;
    }
    const auto motor = db.motor();
    QSqlQuery q(db.base());
    q.setForwardOnly(true);
    if (!q.exec(SqlDialect::adaptar(QStringLiteral("SELECT COUNT(*) FROM ") + tabla + seleccion.filtro, motor,
                                    CDatos::formatoFecha())) ||
        !q.next()) {
        r.error = textoError(q.lastError());
        return r;
    }
    const qint64 total = q.value(0).toLongLong();
    const int nColumnas = lineas.isEmpty() ? kColumnas : kColumnaLinea;
    // An empty line is line 1, sorted as one too.
    const QString columnas = QStringLiteral("TICKET, FECHA, HORA, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL") +
                             (lineas.isEmpty() ? QString() : QStringLiteral(", COALESCE(LINEA, 1) AS LINEA"));
    const QString sql = QStringLiteral("SELECT ") + columnas + QStringLiteral(" FROM ") + tabla + seleccion.filtro +
                        QStringLiteral(" ORDER BY ") + seleccion.ordenCompleto();
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
    zip_t* z = zip_open(QFile::encodeName(copia.path()).constData(), ZIP_CHECKCONS, &zerr);
    if (!z) {
        r.error = QStringLiteral("La plantilla %1 no es un libro válido.").arg(plantilla);
        return r;
    }
    // The finished copy takes the chosen name in one step.
    const auto publica = [&]() {
        if (!ArchivoAtomico::publica(copia.path(), destino, &r.error))
            return r;
        copia.conservar();
        r.ok = true;
        return r;
    };
    const auto falla = [&](const QString& e) {
        zip_discard(z);
        r.error = e;
        return r;
    };
    QString error, rutaHoja, rutaEstilos;
    if (!rutas(z, &rutaHoja, &rutaEstilos, &error))
        return falla(error);
    Hoja hoja;
    hoja.columnas = nColumnas;
    // A part of the template that is not well-formed XML would make the
    // copy unreadable: refused before anything is written.
    const QByteArray original = leeEntrada(z, rutaHoja, &error);
    if (original.isEmpty() || !bienFormado(original) || !hoja.carga(QString::fromUtf8(original), &error))
        return falla(error.isEmpty() ? hojaInvalida() : error);
    Estilos estilos;
    bool estilosNuevos = rutaEstilos.isEmpty();
    if (!estilosNuevos) {
        bool existe = false;
        const QByteArray xml = leeEntrada(z, rutaEstilos, &error, &existe);
        estilosNuevos = !existe;
        if (existe && !bienFormado(xml))
            return falla(QStringLiteral("La tabla de estilos de la plantilla no es válida."));
        if (existe && !estilos.carga(QString::fromUtf8(xml), &error))
            return falla(error);
    }
    if (estilosNuevos) {
        rutaEstilos = QStringLiteral("xl/styles.xml");
        estilos.carga(XlsxPlantilla::estilosBasicos(), &error);
    }

    // The new worksheet goes to a file of its own, written row by row.
    QTemporaryFile xml(di.absolutePath() + QStringLiteral("/.hojaXXXXXX.xml"));
    const QString errorEscritura = QStringLiteral("No se pudo escribir en %1.").arg(di.absolutePath());
    if (!xml.open())
        return falla(errorEscritura);
    QByteArray buffer = hoja.cabeza.toUtf8() + hoja.filasPrevias.toUtf8();
    const auto vuelca = [&]() {
        const bool ok = xml.write(buffer) == buffer.size();
        buffer.clear();
        return ok;
    };

    // A template row at or below row 8 keeps its place while no data
    // reaches its values; from the first such row on, the rows move below
    // the data, one blank row between.
    const int primeraConValor = hoja.primeraConValor;
    QHash<int, int> filaPlantilla;
    for (int i = 0; i < hoja.filas.size(); ++i)
        if (primeraConValor == 0 || hoja.filas.at(i).r < primeraConValor)
            filaPlantilla.insert(hoja.filas.at(i).r, i);
    // Styles of a cell: its own in the template, its row's, its column's.
    // Rows the template does not have take the formats the plant gave the
    // first data row's cells, or else their columns'.
    int estiloNuevo[kMaxColumnas + 1] = {};
    for (int c = 1; c <= nColumnas; ++c)
        estiloNuevo[c] = hoja.estiloColumna.value(c, 0);
    if (!hoja.filas.isEmpty() && hoja.filas.constFirst().r == XlsxPlantilla::kPrimeraFila &&
        filaPlantilla.contains(XlsxPlantilla::kPrimeraFila)) {
        const FilaPlantilla& primera = hoja.filas.constFirst();
        if (primera.estilo >= 0)
            std::fill(estiloNuevo + 1, estiloNuevo + nColumnas + 1, primera.estilo);
        for (const auto& c : primera.celdas)
            if (c.col <= nColumnas)
                estiloNuevo[c.col] = c.estilo;
    }
    const int tipo[kMaxColumnas + 1] = {-1,
                                     ModeloReporte::TICKET,
                                     ModeloReporte::FECHA,
                                     ModeloReporte::HORA,
                                     ModeloReporte::AUX1,
                                     ModeloReporte::AUX2,
                                     ModeloReporte::AUX3,
                                     ModeloReporte::AUX4,
                                     ModeloReporte::AUX5,
                                     ModeloReporte::AUX6,
                                     ModeloReporte::TOTAL,
                                     ModeloReporte::LINEA};
    const int estiloFecha = estilos.para(estiloNuevo[2], true);
    const int estiloHora = estilos.para(estiloNuevo[3], false);

    Escritor esc(buffer, hoja.p);
    const auto valor = [&](int c, const QByteArray& fila, const QVariant& v, int estilo, bool vaciaConEstilo) {
        const bool nulo = !v.isValid() || v.isNull();
        switch (tipo[c]) {
        case ModeloReporte::FECHA: {
            const qint64 d = nulo ? -1 : serialFecha(v);
            if (d >= 0)
                return esc.numero(c, fila, double(d), estilo);
            if (!nulo && !v.toString().isEmpty())
                return esc.texto(c, fila, v.toString(), estilo);
            break;
        }
        case ModeloReporte::HORA: {
            const double h = nulo ? -1 : serialHora(v);
            if (h >= 0)
                return esc.numero(c, fila, h, estilo);
            if (!nulo && !v.toString().isEmpty())
                return esc.texto(c, fila, v.toString(), estilo);
            break;
        }
        case ModeloReporte::LINEA: {
            // A number, or the name the plant gave the line.
            const QString t = FormatoCorto::linea(v, lineas);
            bool esNumero = false;
            const int n = t.toInt(&esNumero);
            if (esNumero)
                return esc.numero(c, fila, n, estilo);
            if (!t.isEmpty())
                return esc.texto(c, fila, t, estilo);
            break;
        }
        case ModeloReporte::TICKET:
        case ModeloReporte::TOTAL: {
            bool ok = false;
            const double d = nulo ? 0 : v.toDouble(&ok);
            if (ok && std::isfinite(d))
                return esc.numero(c, fila, d, estilo);
            if (!nulo && !v.toString().isEmpty())
                return esc.texto(c, fila, v.toString(), estilo);
            break;
        }
        default:
            if (!nulo) {
                const QString t = v.toString();
                if (!t.isEmpty())
                    return esc.texto(c, fila, t, estilo);
            }
        }
        if (vaciaConEstilo)
            esc.vacia(c, fila, estilo);
    };
    // A data row that meets a template row keeps that row's format and its
    // cells beyond the data columns.
    const auto filaMezclada = [&](const FilaPlantilla& f, const QByteArray& numero, const QVariant* valores) {
        buffer += f.inicio.toUtf8();
        buffer += " r=\"" + numero + "\">";
        QHash<int, int> propio;
        for (const auto& c : f.celdas)
            propio.insert(c.col, c.estilo);
        for (int c = 1; c <= nColumnas; ++c) {
            const auto it = propio.constFind(c);
            int estilo = it != propio.constEnd() ? *it : f.estilo >= 0 ? f.estilo : hoja.estiloColumna.value(c, 0);
            if (tipo[c] == ModeloReporte::FECHA || tipo[c] == ModeloReporte::HORA)
                estilo = estilos.para(estilo, tipo[c] == ModeloReporte::FECHA);
            valor(c, numero, valores ? valores[c] : QVariant(), estilo, it != propio.constEnd());
        }
        for (const auto& c : f.celdas)
            if (c.col > nColumnas)
                buffer += c.xml.toUtf8();
        buffer += "</" + hoja.p.toUtf8() + "row>";
    };

    int fila = XlsxPlantilla::kPrimeraFila;
    QVariant valores[kMaxColumnas + 1];
    const int estilos10[kMaxColumnas + 1] = {0,          estiloNuevo[1], estiloFecha,    estiloHora,
                                             estiloNuevo[4], estiloNuevo[5], estiloNuevo[6], estiloNuevo[7],
                                             estiloNuevo[8], estiloNuevo[9], estiloNuevo[10], estiloNuevo[11]};
    const QByteArray finFila = "</" + hoja.p.toUtf8() + "row>";
    const QByteArray inicioFila = "<" + hoja.p.toUtf8() + "row r=\"";
    const QString demasiadas = QStringLiteral("La selección no cabe en una hoja (%1 filas como máximo desde la fila %2).")
                                   .arg(kMaxFilas - XlsxPlantilla::kPrimeraFila + 1)
                                   .arg(XlsxPlantilla::kPrimeraFila);
    while (q.next()) {
        if (fila > kMaxFilas)
            return falla(demasiadas);
        const QByteArray numero = QByteArray::number(fila);
        for (int c = 1; c <= nColumnas; ++c)
            valores[c] = q.value(c - 1);
        const auto it = filaPlantilla.constFind(fila);
        if (it != filaPlantilla.constEnd()) {
            filaMezclada(hoja.filas.at(*it), numero, valores);
        } else {
            buffer += inicioFila;
            buffer += numero;
            buffer += "\">";
            for (int c = 1; c <= nColumnas; ++c)
                valor(c, numero, valores[c], estilos10[c], false);
            buffer += finFila;
        }
        r.suma += valores[kColumnaTotal].toDouble();
        ++r.filas;
        ++fila;
        if (buffer.size() > (1 << 20) && !vuelca())
            return falla(errorEscritura);
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
        const QByteArray numero = QByteArray::number(fila);
        QVariant suma[kMaxColumnas + 1];
        suma[9] = QStringLiteral("Total:");
        suma[10] = r.suma;
        const auto it = filaPlantilla.constFind(fila);
        if (it != filaPlantilla.constEnd()) {
            filaMezclada(hoja.filas.at(*it), numero, suma);
        } else {
            buffer += inicioFila + numero + "\">";
            valor(9, numero, suma[9], estiloNuevo[9], false);
            valor(10, numero, suma[10], estiloNuevo[10], false);
            buffer += finFila;
        }
        ++fila;
    }
    const int ultima = fila - 1;
    const int desplazamiento =
        primeraConValor > 0 && ultima >= primeraConValor ? ultima + 2 - primeraConValor : 0;
    if (ultima > kMaxFilas || (desplazamiento > 0 && hoja.filas.constLast().r + desplazamiento > kMaxFilas))
        return falla(demasiadas);
    for (const FilaPlantilla& f : hoja.filas) {
        if (f.r <= ultima && filaPlantilla.contains(f.r))
            continue;
        buffer += (desplazamiento > 0 && f.r >= primeraConValor ? hoja.desplazada(f, desplazamiento) : f.xml).toUtf8();
    }
    buffer += (desplazamiento > 0 ? hoja.colaDesplazada(primeraConValor, desplazamiento) : hoja.cola).toUtf8();
    if (!vuelca() || !xml.flush())
        return falla(errorEscritura);

    if (estilosNuevos && !agregaEstilos(z, &error))
        return falla(error);
    if (estilos.cambiado() || estilosNuevos) {
        const QByteArray e = estilos.xml();
        if (!bienFormado(e))
            return falla(QStringLiteral("La tabla de estilos de la plantilla no es válida."));
        if (!reemplazaEntrada(z, rutaEstilos, e, &error))
            return falla(error);
    }
    zip_source_t* src = zip_source_file(z, QFile::encodeName(xml.fileName()).constData(), 0, -1);
    const auto errorZip = [&]() { return fallaZip(z, QStringLiteral("No se pudo escribir %1").arg(destino)); };
    if (!src)
        return falla(errorZip());
    // Replaced in place, the entry would keep the strongest level whatever
    // is asked; as a new entry it takes the level set below.
    const zip_int64_t anterior = zip_name_locate(z, rutaHoja.toUtf8().constData(), 0);
    if (anterior >= 0 && zip_delete(z, static_cast<zip_uint64_t>(anterior)) < 0) {
        zip_source_free(src);
        return falla(errorZip());
    }
    const zip_int64_t indice = zip_file_add(z, rutaHoja.toUtf8().constData(), src, ZIP_FL_ENC_UTF_8);
    if (indice < 0) {
        zip_source_free(src);
        return falla(errorZip());
    }
    // The fastest deflate level: the sheet is a little larger, written in a
    // fraction of the time of the strongest.
    zip_set_file_compression(z, static_cast<zip_uint64_t>(indice), ZIP_CM_DEFLATE, 1);
    if (zip_close(z) < 0) {
        const QString e = errorZip();
        zip_discard(z);
        r.error = e;
        return r;
    }
    // What was written must read back as a package with the sheet in it.
    zip_t* comprobado = zip_open(QFile::encodeName(copia.path()).constData(), ZIP_CHECKCONS | ZIP_RDONLY, &zerr);
    const bool legible = comprobado && zip_name_locate(comprobado, rutaHoja.toUtf8().constData(), 0) >= 0;
    if (comprobado)
        zip_discard(comprobado);
    if (!legible) {
        r.error = QStringLiteral("No se pudo escribir %1.").arg(destino);
        return r;
    }
    return publica();
}

} // namespace Exportacion

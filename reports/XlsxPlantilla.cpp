#include "XlsxPlantilla.h"

#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <zip.h>

namespace XlsxPlantilla {

namespace {

const char* kContentTypes =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/><Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/><Override PartName="/xl/styles.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/></Types>)";

const char* kRootRels =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>)";

const char* kWorkbook =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets><sheet name="REPORTE" sheetId="1" r:id="rId1"/></sheets></workbook>)";

const char* kWorkbookRels =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/><Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles" Target="styles.xml"/></Relationships>)";

const char* kStyles =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><numFmts count="3"><numFmt numFmtId="164" formatCode="dd/mm/yyyy"/><numFmt numFmtId="165" formatCode="hh:mm:ss"/><numFmt numFmtId="166" formatCode="0.###"/></numFmts><fonts count="2"><font><sz val="11"/><name val="Calibri"/></font><font><b/><sz val="11"/><name val="Calibri"/></font></fonts><fills count="2"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill></fills><borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders><cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs><cellXfs count="5"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/><xf numFmtId="0" fontId="1" fillId="0" borderId="0" xfId="0" applyFont="1"/><xf numFmtId="164" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/><xf numFmtId="165" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/><xf numFmtId="166" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"/></cellXfs></styleSheet>)";

QString cell(const QString& ref, const QString& text, int style)
{
    return QStringLiteral(
               R"(<c r="%1" t="inlineStr" s="%2"><is><t xml:space="preserve">%3</t></is></c>)")
        .arg(ref)
        .arg(style)
        .arg(xmlEscape(text));
}

QByteArray sheetXml()
{
    QString rows;
    rows += QStringLiteral(R"(<row r="1">)") +
            cell(QStringLiteral("A1"), QStringLiteral("Reporte de Pesadas"), kEstiloTitulo) +
            QStringLiteral("</row>");
    rows += QStringLiteral(R"(<row r="3">)") +
            cell(QStringLiteral("A3"), QStringLiteral("Tolvex - Sistema de pesaje por tandas"), 0) +
            QStringLiteral("</row>");
    const QStringList headings = {QStringLiteral("Ticket"), QStringLiteral("Fecha"),
                                  QStringLiteral("Hora"),   QStringLiteral("Dato 0"),
                                  QStringLiteral("Dato 1"), QStringLiteral("Dato 2"),
                                  QStringLiteral("Dato 3"), QStringLiteral("Dato 4"),
                                  QStringLiteral("Dato 5"), QStringLiteral("Total")};
    rows += QStringLiteral(R"(<row r="7">)");
    for (int i = 0; i < headings.size(); ++i)
        rows += cell(QChar(u'A' + i) + QStringLiteral("7"), headings.at(i), kEstiloTitulo);
    rows += QStringLiteral("</row>");
    const QString xml = QStringLiteral(R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetPr><pageSetUpPr fitToPage="1"/></sheetPr><cols><col min="1" max="3" width="12" customWidth="1"/><col min="4" max="9" width="18" customWidth="1"/><col min="10" max="10" width="14" customWidth="1"/></cols><sheetData>)") +
                        rows +
                        QStringLiteral(R"(</sheetData><pageMargins left="0.5" right="0.5" top="0.75" bottom="0.75" header="0.3" footer="0.3"/><pageSetup orientation="landscape" fitToWidth="1" fitToHeight="0"/></worksheet>)");
    return xml.toUtf8();
}

bool addEntry(zip_t* z, const char* name, const QByteArray& data, QString* error)
{
    // libzip keeps the buffer until zip_close(); copy it into malloc'd memory it frees.
    void* copy = std::malloc(static_cast<size_t>(data.size()));
    if (!copy)
        return false;
    std::memcpy(copy, data.constData(), static_cast<size_t>(data.size()));
    zip_source_t* src = zip_source_buffer(z, copy, static_cast<zip_uint64_t>(data.size()), 1);
    if (!src) {
        std::free(copy);
        if (error)
            *error = QString::fromUtf8(zip_strerror(z));
        return false;
    }
    if (zip_file_add(z, name, src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
        zip_source_free(src);
        if (error)
            *error = QString::fromUtf8(zip_strerror(z));
        return false;
    }
    return true;
}

} // namespace

QString estilosBasicos()
{
    return QString::fromUtf8(kStyles);
}

QString xmlEscape(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QStringLiteral("&amp;");
            break;
        case '<':
            out += QStringLiteral("&lt;");
            break;
        case '>':
            out += QStringLiteral("&gt;");
            break;
        case '"':
            out += QStringLiteral("&quot;");
            break;
        default:
            // Control characters are not allowed in XML 1.0.
            if (c.unicode() < 0x20 && c != u'\t' && c != u'\n' && c != u'\r')
                continue;
            out += c;
        }
    }
    return out;
}

bool crear(const QString& path, QString* error)
{
    const QString temp = path + QStringLiteral(".tmp");
    QFile::remove(temp);
    int err = 0;
    zip_t* z = zip_open(QFile::encodeName(temp).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!z) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, err);
        if (error)
            *error = QString::fromUtf8(zip_error_strerror(&ze));
        zip_error_fini(&ze);
        return false;
    }
    const bool ok = addEntry(z, "[Content_Types].xml", kContentTypes, error) &&
                    addEntry(z, "_rels/.rels", kRootRels, error) &&
                    addEntry(z, "xl/workbook.xml", kWorkbook, error) &&
                    addEntry(z, "xl/_rels/workbook.xml.rels", kWorkbookRels, error) &&
                    addEntry(z, "xl/styles.xml", kStyles, error) &&
                    addEntry(z, kHojaXml, sheetXml(), error);
    if (!ok) {
        zip_discard(z);
        QFile::remove(temp);
        return false;
    }
    if (zip_close(z) < 0) {
        if (error)
            *error = QString::fromUtf8(zip_strerror(z));
        zip_discard(z);
        QFile::remove(temp);
        return false;
    }
    if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) !=
        0) {
        if (error)
            *error = QStringLiteral("No se pudo escribir %1.").arg(path);
        QFile::remove(temp);
        return false;
    }
    return true;
}

} // namespace XlsxPlantilla

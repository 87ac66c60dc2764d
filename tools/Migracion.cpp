#include "Migracion.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QVariant>
#include <optional>

#include "ArchivoAtomico.h"
#include "CDatos.h"
#include "Config.h"
#include "Cp1252.h"
#include "IniFile.h"
#include "Instalacion.h"
#include "LectorAccess.h"
#include "Contexto.h"
#include "Puesto.h"
#include "Schema.h"
#include "Secreto.h"
#include "XlsxPlantilla.h"

namespace {

QString claveIni(const QString& seccion, const QString& clave)
{
    return seccion.toCaseFolded() + QChar(0) + clave.toCaseFolded();
}

const QStringList kBaseDeDatos = {QStringLiteral("DataCSOperarios"), QStringLiteral("DataTbOperarios"),
                                  QStringLiteral("DataCSReporte"),   QStringLiteral("DataTbReporte"),
                                  QStringLiteral("DataCSGlobal"),    QStringLiteral("DataTbGlobal")};

bool pareceConexion(const QString& t)
{
    static const QRegularExpression re(QStringLiteral("^[\\x20-\\x7E\\x{A0}-\\x{FF}]+$"));
    const QString l = t.toLower();
    return re.match(t).hasMatch() && (l.contains(u"data source=") || l.contains(u"provider=") ||
                                      l.contains(u"driver=") || l.contains(u"dbq="));
}

bool pareceTabla(const QString& t)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]{0,63}$"));
    return re.match(t).hasMatch();
}

// The file a connection string of the older program names: a Windows path
// that does not exist here means the file of that name beside the settings.
QString archivoDe(const QString& conexion, const QString& desde)
{
    QString fuente;
    for (const QString& parte : conexion.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype eq = parte.indexOf(u'=');
        const QString k = parte.left(eq).trimmed().toLower();
        if (eq > 0 && (k == u"data source" || k == u"dbq"))
            fuente = parte.mid(eq + 1).trimmed();
    }
    if (fuente.isEmpty())
        return QString();
    if (!fuente.contains(u'\\') && QFileInfo(fuente).isAbsolute() && QFileInfo::exists(fuente))
        return fuente;
    const QString nombre = fuente.mid(qMax(fuente.lastIndexOf(u'\\'), fuente.lastIndexOf(u'/')) + 1);
    const QString junto = IniFile::find(desde, nombre);
    return junto.isEmpty() ? QDir(desde).filePath(nombre) : junto;
}

// The keys of the settings file that Tolvex reads, carried as they are.
const QStringList kAjustes = {
    QStringLiteral("Fecha_Frm"), QStringLiteral("Fecha_Chr"),   QStringLiteral("Fecha_Msk"),
    QStringLiteral("Fec_Defecto"), QStringLiteral("ID_1"),      QStringLiteral("Decimales_1"),
    QStringLiteral("Comunicacion_1"), QStringLiteral("Comm_1"), QStringLiteral("Baudios_1"),
    QStringLiteral("Host_1"),    QStringLiteral("Port_1"),      QStringLiteral("Tiempo"),
    QStringLiteral("Dato0"),     QStringLiteral("Dato1"),       QStringLiteral("Dato2"),
    QStringLiteral("Dato3"),     QStringLiteral("Dato4"),       QStringLiteral("Dato5"),
    QStringLiteral("Usuario"),   QStringLiteral("Organización")};

// An older text file kept as it is: copied when missing here, its new end
// appended when the copy here is still its beginning.
void llevaArchivo(const QString& desde, const QString& nombre, const QString& dir, Migracion& m)
{
    const QString origen = IniFile::find(desde, nombre);
    if (origen.isEmpty())
        return;
    QFile o(origen);
    if (!o.open(QIODevice::ReadOnly)) {
        m.avisos << QStringLiteral("No se pudo leer %1: %2").arg(origen, o.errorString());
        return;
    }
    const QByteArray viejo = o.readAll();
    const QString destino = QDir(dir).filePath(nombre);
    QFile d(destino);
    if (!d.exists()) {
        QString e;
        if (ArchivoAtomico::crea(destino, viejo, &e))
            m.creados << nombre;
        else
            m.avisos << QStringLiteral("No se pudo copiar %1: %2").arg(nombre, e);
        return;
    }
    if (!d.open(QIODevice::ReadWrite)) {
        m.avisos << QStringLiteral("No se pudo abrir %1: %2").arg(destino, d.errorString());
        return;
    }
    const QByteArray aqui = d.readAll();
    if (viejo.size() > aqui.size() && viejo.startsWith(aqui)) {
        d.seek(aqui.size());
        if (d.write(viejo.mid(aqui.size())) != viejo.size() - aqui.size() || !d.flush())
            m.avisos << QStringLiteral("No se pudo completar %1: %2").arg(destino, d.errorString());
        else
            m.creados << QStringLiteral("%1 (%2 bytes nuevos)").arg(nombre).arg(viejo.size() - aqui.size());
    } else if (viejo == aqui) {
        m.existentes << nombre;
    } else {
        m.existentes << nombre;
        m.avisos << QStringLiteral("%1 ya tiene entradas de Tolvex; el de %2 no se volvió a copiar.").arg(nombre, desde);
    }
}

QString buscaOffice()
{
    for (const QString& p : {QStringLiteral("soffice"), QStringLiteral("libreoffice")}) {
        const QString e = QStandardPaths::findExecutable(p);
        if (!e.isEmpty())
            return e;
    }
    return QString();
}

// The older template: converted to the one Tolvex exports into when
// LibreOffice is here, otherwise kept beside it with how to convert it.
// Never a reason to fail.
void llevaPlantilla(const QString& desde, const QString& dir, Migracion& m)
{
    const QString xls = IniFile::find(desde, QStringLiteral("REPORTE.xls"));
    const QString xlsx = QDir(dir).filePath(XlsxPlantilla::kArchivo);
    if (xls.isEmpty() || QFile::exists(xlsx))
        return;
    const QString office = buscaOffice();
    if (!office.isEmpty()) {
        QTemporaryDir tmp;
        QProcess p;
        p.setProgram(office);
        p.setArguments({QStringLiteral("-env:UserInstallation=file://") + tmp.filePath(QStringLiteral("perfil")),
                        QStringLiteral("--headless"), QStringLiteral("--convert-to"), QStringLiteral("xlsx"),
                        QStringLiteral("--outdir"), tmp.path(), xls});
        p.start();
        const bool fin = p.waitForFinished(180000);
        if (!fin)
            p.kill();
        const QString hecho = tmp.filePath(QFileInfo(xls).completeBaseName() + QStringLiteral(".xlsx"));
        if (fin && p.exitCode() == 0 && QFile::exists(hecho) && QFile::copy(hecho, xlsx)) {
            m.creados << QStringLiteral("%1 (convertida de %2)").arg(XlsxPlantilla::kArchivo, QFileInfo(xls).fileName());
            return;
        }
        m.avisos << QStringLiteral("LibreOffice no pudo convertir %1.").arg(xls);
    }
    const QString copia = QDir(dir).filePath(QFileInfo(xls).fileName());
    if (!QFile::exists(copia) && !QFile::copy(xls, copia)) {
        m.avisos << QStringLiteral("No se pudo copiar %1.").arg(xls);
        return;
    }
    m.avisos << QStringLiteral("La plantilla %1 se guardó sin convertir%2; Tolvex exporta con %3. Para usarla, "
                               "conviértala con LibreOffice: soffice --headless --convert-to xlsx --outdir "
                               "\"%4\" \"%5\" (y borre el %3 que preparó tolvex-setup antes de hacerlo).")
                    .arg(QFileInfo(xls).fileName(),
                         office.isEmpty() ? QStringLiteral(" porque LibreOffice no está instalado") : QString(),
                         XlsxPlantilla::kArchivo, QDir(dir).absolutePath(), copia);
}

struct Columnas
{
    QHash<QString, int> indice;
    int de(const QString& n) const { return indice.value(n.toUpper(), -1); }
};

Columnas columnasDe(const QStringList& nombres)
{
    Columnas c;
    for (int i = 0; i < nombres.size(); ++i)
        c.indice.insert(nombres.at(i).toUpper(), i);
    return c;
}

QVariant valor(const QVariantList& fila, int i)
{
    return i >= 0 && i < fila.size() ? fila.at(i) : QVariant();
}

// The counter never below next: read and moved in the caller's transaction.
bool subeTicket(CDatos& db, const QString& tabla, qint64 siguiente, qint64* queda, QString* error)
{
    if (!db.AbreRegistro(QStringLiteral("SELECT VALOR FROM %1 WHERE VARIABLE = ?").arg(tabla),
                         {QStringLiteral("Ticket")})) {
        *error = db.ultimoError();
        return false;
    }
    const bool hay = db.Existe_Registro();
    const qint64 actual = hay ? qint64(db.Campo(QStringLiteral("VALOR")).toString().trimmed().toDouble()) : 0;
    db.CierraRegistro();
    *queda = qMax(actual, siguiente);
    if (hay && actual >= siguiente)
        return true;
    const bool ok = hay ? db.Ejecuta(QStringLiteral("UPDATE %1 SET VALOR = ? WHERE VARIABLE = ?").arg(tabla),
                                     {QString::number(*queda), QStringLiteral("Ticket")})
                        : db.Ejecuta(QStringLiteral("INSERT INTO %1 (VARIABLE, VALOR, DESCRIPCION) VALUES (?, ?, ?)").arg(tabla),
                                     {QStringLiteral("Ticket"), QString::number(*queda), QStringLiteral("-")});
    if (!ok)
        *error = db.ultimoError();
    return ok;
}

// The names of the operators table.
bool nombresOperarios(const Contexto& x, QStringList* nombres, QString* error)
{
    CDatos db;
    if (!db.AbrirBase(x.DataCSOperarios) ||
        !db.AbreRegistro(QStringLiteral("SELECT OPERADOR FROM ") + x.DataTbOperarios)) {
        *error = db.ultimoError();
        return false;
    }
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
        nombres->append(db.Campo(QStringLiteral("OPERADOR")).toString());
    return true;
}

// One operator with its level and password, stored hashed as the
// operators' maintenance stores a new one, in one statement.
bool agregaOperario(const Contexto& x, const QString& nombre, const QString& clave, const QString& nivel,
                    QString* motivo)
{
    if (nombre.trimmed().isEmpty()) {
        *motivo = QStringLiteral("operario sin nombre");
        return false;
    }
    const QString cifrada = Secreto::cifra(clave, Secreto::Forma::Operario);
    CDatos db;
    if (cifrada.isEmpty() || !db.AbrirBase(x.DataCSOperarios) || !Secreto::preparaTabla(db, x.DataTbOperarios, motivo) ||
        !db.AbreRegistro(QStringLiteral("SELECT * FROM %1 WHERE OPERADOR = ?").arg(x.DataTbOperarios), {nombre}) ||
        !db.AgregaRegistros({{QStringLiteral("OPERADOR"), nombre},
                             {QStringLiteral("PASSWORD"), cifrada},
                             {QStringLiteral("JERARQUIA"), nivel}})) {
        if (motivo->isEmpty())
            *motivo = cifrada.isEmpty() ? QStringLiteral("no se pudo calcular la contraseña cifrada") : db.ultimoError();
        return false;
    }
    Secreto::asienta(db);
    return true;
}

} // namespace

bool IniAnterior::carga(const QString& archivo, QString* error)
{
    QFile f(archivo);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("No se pudo leer %1: %2").arg(archivo, f.errorString());
        return false;
    }
    m_valores.clear();
    QString seccion;
    const QByteArray todo = f.readAll();
    qsizetype desdeAqui = 0;
    while (desdeAqui <= todo.size()) {
        qsizetype fin = todo.indexOf("\r\n", desdeAqui);
        if (fin < 0)
            fin = todo.size();
        const QByteArray linea = todo.mid(desdeAqui, fin - desdeAqui);
        desdeAqui = fin + 2;
        const QByteArray t = linea.trimmed();
        if (t.startsWith('[')) {
            const qsizetype cierra = t.indexOf(']');
            seccion = cierra > 0 ? Cp1252::decode(t.mid(1, cierra - 1)).trimmed() : QString();
            continue;
        }
        const qsizetype eq = linea.indexOf('=');
        if (seccion.isEmpty() || eq <= 0)
            continue;
        const QString k = Cp1252::decode(linea.left(eq)).trimmed();
        QByteArray v = linea.mid(eq + 1);
        if (!v.isEmpty())
            v.chop(1); // the "." every value is written with
        const QString ik = claveIni(seccion, k);
        if (!k.isEmpty() && !m_valores.contains(ik))
            m_valores.insert(ik, v);
    }
    return true;
}

bool IniAnterior::hay(const QString& seccion, const QString& clave) const
{
    return m_valores.contains(claveIni(seccion, clave));
}

QByteArray IniAnterior::crudo(const QString& seccion, const QString& clave) const
{
    return m_valores.value(claveIni(seccion, clave));
}

QString IniAnterior::descifra(const QByteArray& bytes, int byte)
{
    if (byte < 0)
        return Cp1252::decode(bytes);
    QByteArray b = bytes;
    for (char& c : b)
        c = char(quint8(c) ^ quint8(byte));
    return Cp1252::decode(b);
}

QString IniAnterior::descifraTexto(const QString& texto, int byte)
{
    return descifra(Cp1252::encode(texto), byte);
}

QString IniAnterior::texto(const QString& seccion, const QString& clave, int byte) const
{
    return descifra(crudo(seccion, clave), byte);
}

QList<int> IniAnterior::bytesPosibles() const
{
    QList<int> out;
    bool alguno = false;
    for (const QString& k : kBaseDeDatos)
        alguno = alguno || !crudo(QStringLiteral("BaseDeDatos"), k).isEmpty();
    if (!alguno)
        return out;
    for (int b = 0; b < 256; ++b) {
        bool bien = true;
        for (const QString& k : kBaseDeDatos) {
            if (!hay(QStringLiteral("BaseDeDatos"), k))
                continue;
            const QString t = texto(QStringLiteral("BaseDeDatos"), k, b);
            bien = k.startsWith(u"DataCS") ? pareceConexion(t) : pareceTabla(t);
            if (!bien)
                break;
        }
        if (bien)
            out << b;
    }
    return out;
}

QString Migracion::identidad(const QVariant& ticket, const QVariant& fecha, const QVariant& hora,
                             const QVariant& peso, const QVariant& total, const QVariant& operador)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    auto anade = [&](const auto& v) { h.addData(QByteArrayView(reinterpret_cast<const char*>(&v), sizeof v)); };
    const QDateTime f = fecha.toDateTime(), t = hora.toDateTime();
    anade(ticket.toLongLong());
    anade(fecha.isNull() ? qint64(-1) : f.date().toJulianDay());
    anade(fecha.isNull() ? -1 : f.time().msecsSinceStartOfDay());
    anade(hora.isNull() ? qint64(-1) : t.date().toJulianDay());
    anade(hora.isNull() ? -1 : t.time().msecsSinceStartOfDay());
    anade(peso.isNull() ? qQNaN() : peso.toDouble());
    anade(total.isNull() ? qQNaN() : total.toDouble());
    h.addData(operador.toString().toUtf8());
    return kPrefijo + QString::fromLatin1(h.result().toHex().left(32 - kPrefijo.size()));
}

QString Migracion::avisoAnterior(const QString& dir)
{
    const QString archivo = IniFile::find(dir, Config::kArchivo);
    IniAnterior ini;
    QString e;
    if (archivo.isEmpty() || !ini.carga(archivo, &e))
        return QString();
    const QList<int> bytes = ini.bytesPosibles();
    if (bytes.size() != 1)
        return QString();
    for (const QString& k : kBaseDeDatos) {
        const QString t = ini.texto(QStringLiteral("BaseDeDatos"), k, bytes.constFirst()).toLower();
        if (k.startsWith(u"DataCS") && (t.contains(u"microsoft.jet") || t.contains(u"microsoft.ace") ||
                                        t.contains(u".mdb") || t.contains(u".accdb")))
            return QStringLiteral("Este directorio es todavía del programa anterior: su Tolvex.ini nombra una base de "
                                  "datos de Access. Para pasar sus ajustes, operarios y registros a Tolvex ejecute\n"
                                  "  tolvex-setup NUEVO_DIRECTORIO --desde \"%1\"\n"
                                  "y abra Tolvex en NUEVO_DIRECTORIO. El directorio anterior no se modifica.")
                .arg(QDir::toNativeSeparators(QDir(dir).absolutePath()));
    }
    return QString();
}

bool Migracion::ejecutar()
{
    const QString origen = QDir(desde).absolutePath();
    if (!QFileInfo(origen).isDir()) {
        error = QStringLiteral("No existe el directorio %1.").arg(desde);
        return false;
    }
    if (QFileInfo(origen).canonicalFilePath() == QFileInfo(directorio).canonicalFilePath()) {
        error = QStringLiteral("El directorio de Tolvex debe ser otro que el del programa anterior, que no se toca.");
        return false;
    }
    const QString iniViejo = IniFile::find(origen, Config::kArchivo);
    if (iniViejo.isEmpty()) {
        error = QStringLiteral("%1 no tiene Tolvex.ini: no es un directorio del programa anterior.").arg(origen);
        return false;
    }
    IniAnterior ini;
    if (!ini.carga(iniViejo, &error))
        return false;
    const QList<int> bytes = ini.bytesPosibles();
    if (bytes.isEmpty()) {
        error = QStringLiteral("No se pudo descifrar la sección BaseDeDatos de %1: con ningún byte se leen "
                               "sus valores como cadenas de conexión y nombres de tabla.")
                    .arg(iniViejo);
        return false;
    }
    if (bytes.size() > 1) {
        QStringList l;
        for (int b : bytes)
            l << QStringLiteral("0x%1").arg(b, 2, 16, QLatin1Char('0')).toUpper().replace(u'X', u'x');
        error = QStringLiteral("La sección BaseDeDatos de %1 se lee con más de un byte (%2): no se sabe cuál "
                               "usó la instalación.")
                    .arg(iniViejo, l.join(QStringLiteral(", ")));
        return false;
    }
    byte = bytes.constFirst();
    const QString bd = QStringLiteral("BaseDeDatos");
    const QString tbReporte = ini.texto(bd, QStringLiteral("DataTbReporte"), byte);
    const QString tbOperarios = ini.texto(bd, QStringLiteral("DataTbOperarios"), byte);
    const QString tbGlobal = ini.texto(bd, QStringLiteral("DataTbGlobal"), byte);
    const QString mdbReporte = archivoDe(ini.texto(bd, QStringLiteral("DataCSReporte"), byte), origen);
    const QString mdbOperarios = archivoDe(ini.texto(bd, QStringLiteral("DataCSOperarios"), byte), origen);
    const QString mdbGlobal = archivoDe(ini.texto(bd, QStringLiteral("DataCSGlobal"), byte), origen);
    if (tbReporte.isEmpty() || mdbReporte.isEmpty()) {
        error = QStringLiteral("%1 no nombra la tabla de registros o su base de datos.").arg(iniViejo);
        return false;
    }

    // Everything readable is read before this directory is touched.
    LectorAccess lector;
    if (!lector.abre(mdbReporte, &error) || !lector.abreTabla(tbReporte, &error))
        return false;

    QDir().mkpath(directorio);
    const QString dir = QDir(directorio).absolutePath();
    const bool iniNuevo = IniFile::find(dir, Config::kArchivo).isEmpty();
    llevaPlantilla(origen, dir, *this);
    {
        Instalacion inst;
        inst.directorio = dir;
        inst.postgres = postgres;
        inst.programa = programa;
        const bool ok = inst.ejecutar();
        creados << inst.creados;
        existentes << inst.existentes;
        if (!ok) {
            error = inst.error;
            return false;
        }
    }
    EnDirectorio aqui(dir);
    if (!aqui.ok(&error))
        return false;
    Contexto x;
    x.DataCSOperarios = Config::LeeConfig(bd, QStringLiteral("DataCSOperarios"), QString(), true);
    x.DataTbOperarios = Config::LeeConfig(bd, QStringLiteral("DataTbOperarios"), QString(), true);
    x.DataCSReporte = Config::LeeConfig(bd, QStringLiteral("DataCSReporte"), QString(), true);
    x.DataTbReporte = Config::LeeConfig(bd, QStringLiteral("DataTbReporte"), QString(), true);
    x.DataCSGlobal = Config::LeeConfig(bd, QStringLiteral("DataCSGlobal"), QString(), true);
    x.DataTbGlobal = Config::LeeConfig(bd, QStringLiteral("DataTbGlobal"), QString(), true);
    CDatos::setDirectorioBase(dir);

    // Settings: carried into a settings file this run made; a file that was
    // here already keeps what was set in Tolvex since.
    if (iniNuevo) {
        const QString g = QStringLiteral("Global");
        for (const QString& k : kAjustes) {
            if (!ini.hay(QStringLiteral("global"), k))
                continue;
            if (!Config::GuardaConfig(g, k, ini.texto(QStringLiteral("global"), k), false, false, &error))
                return false;
        }
        bool maestras = false;
        for (const QString& k : {Secreto::kPass1, Secreto::kPass2}) {
            if (!ini.hay(g, k))
                continue;
            if (!Secreto::guardaMaestra(k, ini.texto(g, k, byte), &error))
                return false;
            maestras = true;
        }
        creados << QStringLiteral("ajustes de %1").arg(QFileInfo(iniViejo).fileName());
        // With the master passwords here, the first-run definition has nothing to ask.
        if (maestras && QFile::remove(QDir(dir).filePath(QStringLiteral("Tolvex.inf"))))
            creados.removeAll(QStringLiteral("Tolvex.inf"));
    } else {
        existentes << QStringLiteral("ajustes de %1").arg(Config::kArchivo);
    }
    const QString puesto = Puesto::de(dir);

    CDatos db;
    if (!db.AbrirBase(x.DataCSReporte)) {
        error = db.ultimoError();
        return false;
    }

    // A large move into SQLite (a small page cache keeps the memory flat in
    // the row count): the browser's indexes are made again once
    // at the end (the screens also make the missing ones), the identity's
    // unique index stays.
    QStringList indices;
    if (db.motor() == ConnectionString::SQLite) {
        db.Ejecuta(QStringLiteral("PRAGMA cache_size = -4096"));
        if (lector.filasDeclaradas() > kLote * 5 &&
            db.AbreRegistro(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ? "
                                           "COLLATE NOCASE AND name LIKE 'IX_%'"),
                            {x.DataTbReporte})) {
            for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro())
                indices << db.Campo(QStringLiteral("name")).toString();
            db.CierraRegistro();
            for (const QString& i : std::as_const(indices))
                db.Ejecuta(QStringLiteral("DROP INDEX IF EXISTS %1").arg(i));
        }
    }

    // Reports.
    Tabla tr;
    tr.nombre = tbReporte;
    const Columnas c = columnasDe(lector.columnas());
    if (c.de(QStringLiteral("TICKET")) < 0) {
        error = QStringLiteral("La tabla %1 no tiene la columna TICKET.").arg(tbReporte);
        return false;
    }
    const QStringList destino = {QStringLiteral("TICKET"), QStringLiteral("AUX1"), QStringLiteral("AUX2"),
                                 QStringLiteral("AUX3"), QStringLiteral("AUX4"), QStringLiteral("AUX5"),
                                 QStringLiteral("AUX6"), QStringLiteral("TOTAL"), QStringLiteral("PESO"),
                                 QStringLiteral("BACH"), QStringLiteral("PRESET"), QStringLiteral("FECHA"),
                                 QStringLiteral("HORA"), QStringLiteral("INFO"), QStringLiteral("OPERADOR"),
                                 QStringLiteral("OPCION1")};
    QList<int> desdeColumna;
    for (const QString& n : destino)
        desdeColumna << c.de(n);
    const QString marcas = QStringList(destino.size() + 3, QStringLiteral("?")).join(u',');
    const QString inserta = QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5) VALUES (%6) ON CONFLICT DO NOTHING")
                                .arg(x.DataTbReporte, destino.join(QStringLiteral(", ")), Schema::kPuesto,
                                     Schema::kLinea, Schema::kIdLote, marcas);
    const QString porTicket = QStringLiteral("SELECT IDLOTE FROM %1 WHERE TICKET = ?").arg(x.DataTbReporte);
    const QString marcaTotal =
        QStringLiteral("UPDATE %1 SET OPCION1 = ?, INFO = ? WHERE IDLOTE = ?").arg(x.DataTbReporte);
    const bool mismaBase = x.DataCSGlobal.trimmed() == x.DataCSReporte.trimmed();

    qint64 maxTicket = 0;
    // The older counter: numbers it gave out are never given again.
    {
        LectorAccess g;
        QString e;
        if (!tbGlobal.isEmpty() && g.abre(mdbGlobal.isEmpty() ? mdbReporte : mdbGlobal, &e) &&
            g.abreTabla(tbGlobal, &e)) {
            const Columnas cg = columnasDe(g.columnas());
            QVariantList f;
            while (g.siguiente(&f)) {
                if (valor(f, cg.de(QStringLiteral("VARIABLE"))).toString().compare(u"Ticket", Qt::CaseInsensitive) == 0)
                    maxTicket = qMax(maxTicket, qint64(valor(f, cg.de(QStringLiteral("VALOR"))).toString().trimmed().toDouble()) - 1);
            }
        } else if (!tbGlobal.isEmpty()) {
            avisos << QStringLiteral("No se pudo leer el contador Ticket del programa anterior: %1").arg(e);
        }
    }

    auto confirma = [&]() {
        QString e;
        if (mismaBase && !subeTicket(db, x.DataTbGlobal, maxTicket + 1, &ticket, &e)) {
            error = e;
            return false;
        }
        if (!db.Confirma()) {
            error = db.ultimoError();
            return false;
        }
        return true;
    };
    // Prepared once and bound row by row, past the statement adaptation
    // (this statement has nothing to adapt).
    QSqlQuery ins(db.base());
    if (!ins.prepare(inserta)) {
        error = ins.lastError().text();
        return false;
    }
    const bool sqlite = db.motor() == ConnectionString::SQLite;
    QVariantList fila;
    int enLote = 0;
    if (!db.IniciaTransaccion()) {
        error = db.ultimoError();
        return false;
    }
    while (lector.siguiente(&fila)) {
        ++tr.leidas;
        QVariantList v;
        for (int i : desdeColumna)
            v << valor(fila, i);
        auto rechaza = [&](const QString& motivo) {
            ++tr.rechazadas;
            rechazos << Rechazo{tbReporte, tr.leidas, v.at(0).toString(), motivo};
        };
        bool ok = false;
        const qint64 t = v.at(0).toLongLong(&ok);
        const QDateTime fecha = v.at(11).toDateTime();
        if (fecha.isValid()) {
            Dia& d = diasAnterior[fecha.date()];
            ++d.filas;
            d.peso += v.at(8).toDouble();
            d.total += v.at(7).toDouble();
        }
        if (v.at(0).isNull() || !ok || t < 1) {
            rechaza(QStringLiteral("sin ticket"));
            continue;
        }
        maxTicket = qMax(maxTicket, t);
        if (!fecha.isValid() || fecha.date().year() < 1900 || fecha.date().year() > 9999) {
            rechaza(QStringLiteral("fecha que no se puede leer"));
            continue;
        }
        const QString id = identidad(v.at(0), v.at(11), v.at(12), v.at(8), v.at(7), v.at(14));
        QVariantList valores = v;
        valores[0] = t;
        valores[11] = sqlite ? QVariant(fecha.date().toString(Qt::ISODate)) : QVariant(fecha.date());
        valores[12] = v.at(12).isNull() ? QVariant() : QVariant(v.at(12).toDateTime().time().toString(u"HH:mm:ss"));
        valores[15] = v.at(15).toBool() ? 1 : 0;
        valores << puesto << 1 << id;
        for (int i = 0; i < valores.size(); ++i)
            ins.bindValue(i, valores.at(i));
        if (!ins.exec()) {
            error = QStringLiteral("No se pudo escribir el ticket %1: %2").arg(t).arg(ins.lastError().text());
            db.Deshace();
            return false;
        }
        const int filas = ins.numRowsAffected();
        ins.finish();
        if (filas == 1) {
            ++tr.escritas;
        } else {
            QString otra;
            if (!db.AbreRegistro(porTicket, {t})) {
                error = db.ultimoError();
                db.Deshace();
                return false;
            }
            const bool hay = db.Existe_Registro();
            otra = hay ? db.Campo(Schema::kIdLote).toString() : QString();
            db.CierraRegistro();
            if (otra == id) {
                // Already here from an earlier run; the older program may
                // have marked it as a total since.
                ++tr.yaEstaban;
                if (!db.Ejecuta(marcaTotal, {valores.at(15), valores.at(13), id})) {
                    error = db.ultimoError();
                    db.Deshace();
                    return false;
                }
            } else if (otra.startsWith(kPrefijo)) {
                rechaza(QStringLiteral("ticket repetido: otra fila del programa anterior ya tiene el ticket %1").arg(t));
            } else {
                rechaza(QStringLiteral("el ticket %1 ya lo tiene una fila de Tolvex").arg(t));
            }
        }
        if (++enLote >= kLote) {
            if (!confirma() || !db.IniciaTransaccion()) {
                if (error.isEmpty())
                    error = db.ultimoError();
                db.Deshace();
                return false;
            }
            enLote = 0;
        }
    }
    if (!confirma()) {
        db.Deshace();
        return false;
    }
    if (!mismaBase) {
        CDatos g;
        QString e;
        if (!g.AbrirBase(x.DataCSGlobal) || !g.IniciaTransaccion() ||
            !subeTicket(g, x.DataTbGlobal, maxTicket + 1, &ticket, &e) || !g.Confirma()) {
            error = e.isEmpty() ? g.ultimoError() : e;
            return false;
        }
    }
    tablas << tr;
    if (!indices.isEmpty())
        Schema::aseguraIndicesReporte(db.base(), x.DataTbReporte);

    // Both sides per day: what the older table holds and what Tolvex now has
    // of it.
    if (!db.AbreRegistro(QStringLiteral("SELECT FECHA, COUNT(*) AS N, SUM(PESO) AS P, SUM(TOTAL) AS T FROM %1 "
                                        "WHERE PUESTO = ? AND IDLOTE LIKE '%2%' GROUP BY FECHA")
                             .arg(x.DataTbReporte, kPrefijo),
                         {puesto})) {
        error = db.ultimoError();
        return false;
    }
    for (bool hay = db.PrimerRegistro(); hay; hay = db.SiguienteRegistro()) {
        Dia& d = diasTolvex[CDatos::aFecha(db.Campo(QStringLiteral("FECHA")))];
        d.filas = db.Campo(QStringLiteral("N")).toLongLong();
        d.peso = db.Campo(QStringLiteral("P")).toDouble();
        d.total = db.Campo(QStringLiteral("T")).toDouble();
    }
    db.CierraRegistro();

    // Operators, their levels and passwords as the sign-in keeps them.
    if (!tbOperarios.isEmpty()) {
        LectorAccess lo;
        Tabla to;
        to.nombre = tbOperarios;
        QString e;
        if (!lo.abre(mdbOperarios.isEmpty() ? mdbReporte : mdbOperarios, &e) || !lo.abreTabla(tbOperarios, &e)) {
            error = e;
            return false;
        }
        const Columnas co = columnasDe(lo.columnas());
        QStringList nombres;
        if (!nombresOperarios(x, &nombres, &e)) {
            error = e;
            return false;
        }
        while (lo.siguiente(&fila)) {
            ++to.leidas;
            const QString nombre = valor(fila, co.de(QStringLiteral("OPERADOR"))).toString();
            const QString clave = IniAnterior::descifraTexto(valor(fila, co.de(QStringLiteral("PASSWORD"))).toString(), byte);
            const QString nivel = valor(fila, co.de(QStringLiteral("JERARQUIA"))).toString();
            auto rechaza = [&](const QString& motivo) {
                ++to.rechazadas;
                rechazos << Rechazo{tbOperarios, to.leidas, QString(), QStringLiteral("%1: %2").arg(nombre, motivo)};
            };
            if (nombres.contains(nombre)) {
                ++to.yaEstaban;
                continue;
            }
            QString motivo;
            if (!agregaOperario(x, nombre, clave, nivel, &motivo)) {
                rechaza(motivo);
                continue;
            }
            nombres << nombre;
            ++to.escritas;
        }
        tablas << to;
    }

    llevaArchivo(origen, QStringLiteral("Transac.dat"), dir, *this);
    llevaArchivo(origen, QStringLiteral("Datos.log"), dir, *this);
    return true;
}

// The settings file: the profile reader (Windows-1252 or UTF-8 with its
// mark, CRLF or LF, any garbage), the settings read from it as numbers, and
// the link's settings.
//
// Properties: a file read, written back and read again gives the same
// lines and values; a key set is read back as set and leaves every other
// key as it was; a value stored through the settings store is read back
// unchanged; the link's settings taken from any file lie within range.

#include "FuzzApoyo.h"

#include "Config.h"
#include "ConfigEnlace.h"
#include "Cp1252.h"
#include "IniFile.h"

#include <QFile>

namespace {

using FuzzApoyo::Lector;

QString ruta(const QString& nombre)
{
    return FuzzApoyo::carpeta() + u'/' + nombre;
}

bool escribe(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Every section and key pair the lines hold, as written.
QList<QPair<QString, QString>> claves(const QStringList& lineas)
{
    QList<QPair<QString, QString>> out;
    QString seccion;
    for (const QString& l : lineas) {
        const QString t = l.trimmed();
        if (t.startsWith(u'[')) {
            const qsizetype c = t.indexOf(u']');
            seccion = c < 0 ? QString() : t.mid(1, c - 1).trimmed();
            continue;
        }
        const qsizetype eq = l.indexOf(u'=');
        if (!seccion.isEmpty() && eq > 0 && !l.left(eq).trimmed().isEmpty() && !t.startsWith(u';'))
            out.append({seccion, l.left(eq).trimmed()});
    }
    return out;
}

// A value that a line can hold: no line break, printable in Windows-1252.
QString valorDe(const QByteArray& bytes)
{
    QString v = Cp1252::decode(bytes);
    for (QChar& c : v) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || (c.unicode() >= 0x80 && c.unicode() <= 0x9F))
            c = u'_';
    }
    return v;
}

void idaYVuelta(const QByteArray& archivo, const QByteArray& extra)
{
    const QString a = ruta(QStringLiteral("a.ini")), b = ruta(QStringLiteral("b.ini"));
    if (!escribe(a, archivo))
        return;
    IniFile ini;
    FUZZ_EXIGE(ini.load(a), a);
    const auto pares = claves(ini.lines());
    QStringList valores;
    for (const auto& [s, k] : pares) {
        bool hallada = false;
        valores << ini.value(s, k, &hallada);
        FUZZ_EXIGE(hallada, s + u'/' + k);
    }
    FUZZ_EXIGE(ini.save(b), b);
    IniFile otra;
    FUZZ_EXIGE(otra.load(b), b);
    FUZZ_EXIGE(otra.lines() == ini.lines(), ini.lines().join(u'|') + QStringLiteral("\n≠\n") + otra.lines().join(u'|'));
    for (qsizetype i = 0; i < pares.size(); ++i)
        FUZZ_EXIGE(otra.value(pares[i].first, pares[i].second) == valores[i], pares[i].second);

    // One key set, in a section of the file or a new one.
    Lector in(reinterpret_cast<const uint8_t*>(extra.constData()), size_t(extra.size()));
    const quint8 cual = in.byte();
    const QString seccion = pares.isEmpty() || cual % 3 == 0 ? QStringLiteral("Fuzz") : pares[cual % pares.size()].first;
    const QString clave = pares.isEmpty() || cual % 3 != 1 ? QStringLiteral("Clave_fuzz")
                                                          : pares[(cual / 3) % pares.size()].second;
    const QString valor = valorDe(in.resto());
    otra.setValue(seccion, clave, valor);
    FUZZ_EXIGE(otra.value(seccion, clave) == valor, seccion + u'/' + clave);
    FUZZ_EXIGE(otra.save(b), b);
    FUZZ_EXIGE(otra.load(b), b);
    FUZZ_EXIGE(otra.value(seccion, clave) == valor, seccion + u'/' + clave + u'=' + valor);
    for (qsizetype i = 0; i < pares.size(); ++i) {
        if (pares[i].first.compare(seccion, Qt::CaseInsensitive) == 0 &&
            pares[i].second.compare(clave, Qt::CaseInsensitive) == 0)
            continue;
        bool hallada = false;
        const QString v = otra.value(pares[i].first, pares[i].second, &hallada);
        FUZZ_EXIGE(hallada && v == valores[i], pares[i].first + u'/' + pares[i].second);
    }
}

// The settings file of the working directory, as the station reads it.
void enlace(const QByteArray& archivo, const QByteArray& extra)
{
    if (!escribe(ruta(Config::kArchivo), archivo))
        return;
    QString error, detalle;
    const auto c = ConfigEnlace::lee(&error, &detalle);
    if (c) {
        FUZZ_EXIGE(!c->esTcp() || c->puerto >= 1, QString::number(c->puerto));
        FUZZ_EXIGE(c->esTcp() || (c->baudios >= 1200 && c->baudios <= 153600 && c->baudios % 1200 == 0),
                   QString::number(c->baudios));
        FUZZ_EXIGE(c->esTcp() || c->dispositivo.startsWith(u'/'), c->dispositivo);
        FUZZ_EXIGE(c->decimales >= 0 && c->decimales <= 9, QString::number(c->decimales));
    } else {
        FUZZ_EXIGE(error == ConfigEnlace::mensajeError() && !detalle.isEmpty(), error);
    }
    if (const auto d = ConfigEnlace::leeDecimales())
        FUZZ_EXIGE(*d >= 0 && *d <= 9, QString::number(*d));

    // A value stored is read back as it was, plain or scrambled.
    const bool cifrado = !extra.isEmpty() && (extra.at(0) & 1);
    const QString valor = valorDe(extra.mid(1)).left(200);
    if (valor.isEmpty())
        return;
    QString e;
    FUZZ_EXIGE(Config::GuardaConfig(QStringLiteral("Global"), QStringLiteral("Fuzz_1"), valor, cifrado, false, &e), e);
    const QString leido = Config::LeeConfig(QStringLiteral("Global"), QStringLiteral("Fuzz_1"), QString(), cifrado);
    FUZZ_EXIGE(leido == valor, valor + QStringLiteral("\n≠\n") + leido);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzApoyo::inicia(argc, argv);
    QDir::setCurrent(FuzzApoyo::carpeta());
    return 0;
}

// The input: the file, then after the first "\n\x01\n" (if any) the bytes
// that choose the key and value set.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray entrada(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype corte = entrada.indexOf("\n\x01\n");
    const QByteArray archivo = corte < 0 ? entrada : entrada.left(corte);
    const QByteArray extra = corte < 0 ? QByteArray() : entrada.mid(corte + 3);
    idaYVuelta(archivo, extra);
    enlace(archivo, extra);
    return 0;
}

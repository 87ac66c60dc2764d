#pragma once

// What the web monitor's load tools share: signing in with a master
// password and the percentiles of what they measured.
#include <QByteArray>
#include <QTcpSocket>
#include <QUrl>
#include <QVector>
#include <algorithm>

namespace ClienteWeb {

// The session cookie ("tolvex_sesion=...") of a sign-in with no name and
// clave, or empty.
inline QByteArray ingresa(const QUrl& base, const QString& clave)
{
    QTcpSocket s;
    s.connectToHost(base.host(), quint16(base.port(80)));
    if (!s.waitForConnected(5000))
        return {};
    const QByteArray cuerpo = "nombre=&clave=" + QUrl::toPercentEncoding(clave);
    s.write("POST /ingreso HTTP/1.1\r\nHost: " + base.authority().toUtf8() +
            "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
            QByteArray::number(cuerpo.size()) + "\r\n\r\n" + cuerpo);
    QByteArray r;
    while (!r.contains("\r\n\r\n") && s.waitForReadyRead(5000))
        r += s.readAll();
    const qsizetype i = r.indexOf("tolvex_sesion=");
    return i < 0 ? QByteArray() : r.mid(i, r.indexOf(';', i) - i);
}

inline double percentil(QVector<double> v, double p)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::clamp<qsizetype>(qsizetype(p * double(v.size())), 0, v.size() - 1)];
}

} // namespace ClienteWeb

// tolvex-bench-web: N live pages of the web monitor at once. Signs in with
// a master password, opens N WebSockets on the live station and, for every
// state pushed, takes the delay from the end of the poll (the state's
// "instante") to its arrival here. Prints
//   clients N updates U missing M latency_ms p50 A p99 B max C
// where U is the number of distinct states seen and M the (client, state)
// pairs that never arrived. Runs beside tolvex-soak --cpu S --web PORT, which
// measures the station's poll period and CPU meanwhile.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>
#include <algorithm>
#include <cstdio>

#include "ClienteWeb.h"

using ClienteWeb::ingresa;
using ClienteWeb::percentil;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Carga del monitor web: N páginas en vivo a la vez."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("url"), QStringLiteral("Dirección del monitor."), QStringLiteral("URL")},
        {QStringLiteral("clave"), QStringLiteral("Contraseña maestra."), QStringLiteral("CLAVE")},
        {QStringLiteral("clientes"), QStringLiteral("Páginas (50)."), QStringLiteral("N"), QStringLiteral("50")},
        {QStringLiteral("segundos"), QStringLiteral("Duración (60)."), QStringLiteral("S"), QStringLiteral("60")},
    });
    p.process(app);
    const QUrl base(p.value(QStringLiteral("url")));
    const int n = p.value(QStringLiteral("clientes")).toInt();
    const int segundos = p.value(QStringLiteral("segundos")).toInt();
    const QByteArray cookie = ingresa(base, p.value(QStringLiteral("clave")));
    if (cookie.isEmpty() || n < 1 || segundos < 1) {
        std::fprintf(stderr, "tolvex-bench-web: no se pudo ingresar en %s\n", qPrintable(base.toString()));
        return 2;
    }

    QVector<double> latencias;
    QVector<QSet<QString>> recibidos(n);
    QSet<QString> todos;
    bool midiendo = false;
    QList<QWebSocket*> paginas;
    int abiertas = 0;
    for (int i = 0; i < n; ++i) {
        auto* ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, &app);
        QObject::connect(ws, &QWebSocket::connected, &app, [&abiertas] { ++abiertas; });
        QObject::connect(ws, &QWebSocket::textMessageReceived, &app, [&, i](const QString& m) {
            const qint64 ahora = QDateTime::currentMSecsSinceEpoch();
            const QJsonObject e = QJsonDocument::fromJson(m.toUtf8()).object().value(QStringLiteral("estado")).toObject();
            const QString instante = e.value(QStringLiteral("instante")).toString();
            if (!midiendo || instante.isEmpty() || !e.value(QStringLiteral("vigente")).toBool() ||
                recibidos[i].contains(instante))
                return;
            recibidos[i].insert(instante);
            todos.insert(instante);
            latencias.append(
                double(ahora - QDateTime::fromString(instante, Qt::ISODateWithMs).toMSecsSinceEpoch()));
        });
        QUrl u = base;
        u.setScheme(base.scheme() == u"https" ? QStringLiteral("wss") : QStringLiteral("ws"));
        u.setPath(QStringLiteral("/ws/estado"));
        QNetworkRequest req(u);
        req.setRawHeader("Cookie", cookie);
        ws->open(req);
        paginas << ws;
    }
    QElapsedTimer t;
    t.start();
    while (abiertas < n && t.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (abiertas < n) {
        std::fprintf(stderr, "tolvex-bench-web: sólo se abrieron %d de %d páginas\n", abiertas, n);
        return 1;
    }
    midiendo = true;
    QTimer::singleShot(segundos * 1000, &app, &QCoreApplication::quit);
    app.exec();
    midiendo = false;

    // A state that arrived at some page is missing where it did not arrive,
    // except the newest ones, which may still have been on their way.
    QStringList orden(todos.begin(), todos.end());
    std::sort(orden.begin(), orden.end());
    const qsizetype cuenta = std::max<qsizetype>(0, orden.size() - 2);
    qint64 faltan = 0;
    for (qsizetype k = 0; k < cuenta; ++k)
        for (int i = 0; i < n; ++i)
            faltan += recibidos[i].contains(orden[k]) ? 0 : 1;
    std::printf("clients %d updates %lld missing %lld latency_ms p50 %.1f p99 %.1f max %.1f samples %lld\n", n,
                static_cast<long long>(cuenta), static_cast<long long>(faltan), percentil(latencias, 0.5),
                percentil(latencias, 0.99), percentil(latencias, 1.0), static_cast<long long>(latencias.size()));
    return faltan == 0 ? 0 : 1;
}

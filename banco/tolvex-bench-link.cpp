// tolvex-bench-link: time of one whole-state read through the link against
// the simulator, next to the same five exchanges done by the smallest raw
// socket loop, over TCP loopback; and the link over a pseudo-terminal.
// usage: tolvex-bench-link [READS]
#include "ConfigEnlace.h"
#include "Indicador.h"
#include "IndicadorSimulado.h"
#include "ServidorRtu.h"
#include "Trama.h"
#include "TransporteSerie.h"
#include "TransporteTcp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct Cifras
{
    double mediana = 0, p99 = 0;
};

Cifras cifras(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto p = [&](double q) { return v[std::min(v.size() - 1, size_t(std::ceil(q * double(v.size()))) - 1)]; };
    return {p(0.5), p(0.99)};
}

struct Pedido
{
    QByteArray trama;
    int largo;
};

// The five requests of a whole-state read.
std::vector<Pedido> pedidos()
{
    return {{Trama::pedidoLectura(1, 0, 2), Trama::largoLectura(2)},
            {Trama::pedidoLectura(1, 14204, 6), Trama::largoLectura(6)},
            {Trama::pedidoLectura(1, 14379, 8), Trama::largoLectura(8)},
            {Trama::pedidoLectura(1, 14387, 3), Trama::largoLectura(3)},
            {Trama::pedidoLectura(1, 14396, 8), Trama::largoLectura(8)}};
}

std::vector<double> lazoCrudo(quint16 puerto, int n)
{
    std::vector<double> t;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(puerto);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int uno = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return t;
    const auto ps = pedidos();
    char buf[64];
    for (int i = 0; i < n; ++i) {
        QElapsedTimer c;
        c.start();
        for (const auto& p : ps) {
            if (::send(fd, p.trama.constData(), size_t(p.trama.size()), 0) != p.trama.size())
                return t;
            int got = 0;
            while (got < p.largo) {
                const ssize_t r = ::recv(fd, buf + got, size_t(p.largo - got), 0);
                if (r <= 0)
                    return t;
                got += int(r);
            }
        }
        t.push_back(double(c.nsecsElapsed()) / 1e6);
    }
    ::close(fd);
    return t;
}

std::vector<double> lazoEnlace(Transporte& tr, int n, int* fallos)
{
    std::vector<double> t;
    Indicador ind(tr, 1, 0);
    for (int i = 0; i < n; ++i) {
        LecturaPeso l;
        QElapsedTimer c;
        c.start();
        ind.LeePeso(l);
        if (l.valida())
            t.push_back(double(c.nsecsElapsed()) / 1e6);
        else
            ++*fallos;
    }
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;
    QTextStream out(stdout);

    IndicadorSimulado sim;
    QThread hilo;
    auto* srv = new ServidorRtu(sim, 1);
    srv->moveToThread(&hilo);
    hilo.start();
    bool ok = false;
    QMetaObject::invokeMethod(srv, [&] { ok = srv->escuchaTcp(0); }, Qt::BlockingQueuedConnection);
    if (!ok)
        return 1;
    auto* srvPty = new ServidorRtu(sim, 1);
    srvPty->moveToThread(&hilo);
    QMetaObject::invokeMethod(srvPty, [&] { ok = srvPty->abrePty(); }, Qt::BlockingQueuedConnection);

    TransporteTcp tcp(QStringLiteral("127.0.0.1"), srv->puerto());
    tcp.abrir(nullptr);
    tcp.reconectar();
    int fallos = 0;
    lazoEnlace(tcp, n / 10, &fallos); // warm-up
    lazoCrudo(srv->puerto(), n / 10);
    // Interleaved rounds so both loops see the same machine load.
    std::vector<double> enlace, crudo;
    for (int r = 0; r < 10; ++r) {
        auto a = lazoEnlace(tcp, n / 10, &fallos);
        auto b = lazoCrudo(srv->puerto(), n / 10);
        enlace.insert(enlace.end(), a.begin(), a.end());
        crudo.insert(crudo.end(), b.begin(), b.end());
    }
    const Cifras ce = cifras(enlace), cc = cifras(crudo);
    out << QStringLiteral("TCP loopback, %1 whole-state reads (5 exchanges each), %2 failed\n").arg(enlace.size()).arg(fallos);
    out << QStringLiteral("  link:      median %1 ms  p99 %2 ms\n").arg(ce.mediana, 0, 'f', 3).arg(ce.p99, 0, 'f', 3);
    out << QStringLiteral("  raw loop:  median %1 ms  p99 %2 ms\n").arg(cc.mediana, 0, 'f', 3).arg(cc.p99, 0, 'f', 3);
    out << QStringLiteral("  ratio:     median %1  p99 %2\n").arg(ce.mediana / cc.mediana, 0, 'f', 2).arg(ce.p99 / cc.p99, 0, 'f', 2);

    if (ok) {
        for (int baud : {9600, 19200}) {
            TransporteSerie serie(srvPty->dispositivo(), baud);
            if (!serie.abrir(nullptr))
                continue;
            int f = 0;
            const Cifras cs = cifras(lazoEnlace(serie, n / 4, &f));
            // 5 requests of 8 bytes, replies of 9+17+21+11+21 bytes, 10 bits a byte.
            const double hilo_ms = (5 * 8 + 9 + 17 + 21 + 11 + 21) * 10.0 * 1000.0 / baud;
            out << QStringLiteral("pty at %1 baud (the pty does not pace bytes): median %2 ms  p99 %3 ms; "
                                  "wire floor %4 ms\n")
                       .arg(baud).arg(cs.mediana, 0, 'f', 3).arg(cs.p99, 0, 'f', 3).arg(hilo_ms, 0, 'f', 2);
            serie.cerrar();
        }
    }
    tcp.cerrar();
    QMetaObject::invokeMethod(srv, [&] { delete srv; delete srvPty; }, Qt::BlockingQueuedConnection);
    hilo.quit();
    hilo.wait();
    return 0;
}

// The record browser, its filters, the grid and the guide's examples.
#include <QCheckBox>
#include <QtTest>

#include "Capturas.h"
#include "Config.h"
#include "NavegadorPrueba.h"
#include "Registrador.h"
#include "frmDataGrid.h"

namespace {

class CapturasReportes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { MessageBox::setScripted(true); }
    void init()
    {
        MessageBox::limpiar();
        Programa::NivelActual.clear();
    }
    void navegador();
    void manual();
};

// The browser with a filter and a sort, two filter dialogs and the grid.
void CapturasReportes::navegador()
{
    const QString destino = Capturas::destino();
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato0"), QStringLiteral("Cliente:")));
    QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato1"), QStringLiteral("Camión:")));
    QVERIFY(insertaFilas(300));
    Programa::NivelActual = QStringLiteral("Instalador");
    frmPLANILLA b;
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b));
    QTest::keyClick(&b, Qt::Key_E, Qt::ControlModifier);
    textoEnDialogo(QStringLiteral("ab*"));
    dobleClic(b, QStringLiteral("Lbl_Dato_7"));
    b.mover(3);
    QVERIFY(b.grab().save(destino + QStringLiteral("/reports-browser.png")));

    frmFiltro f(Filtros::Fecha, &b);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QVERIFY(f.grab().save(destino + QStringLiteral("/reports-filter-date.png")));
    f.close();
    frmFiltro t(Filtros::Texto, &b);
    t.show();
    t.findChild<QLineEdit*>(QStringLiteral("TxtDato"))->setText(QStringLiteral("ab*"));
    QVERIFY(QTest::qWaitForWindowExposed(&t));
    QVERIFY(t.grab().save(destino + QStringLiteral("/reports-filter-text.png")));
    t.close();

    alAbrirse<frmDataGrid>([&](frmDataGrid* g) {
        QTest::qWait(50);
        g->grab().save(destino + QStringLiteral("/reports-grid.png"));
        g->accept();
    });
    b.findChild<QPushButton*>(QStringLiteral("cmdGrid"))->click();
    QVERIFY(QFile::exists(destino + QStringLiteral("/reports-grid.png")));
}

// The guide's pictures: three dispatches of five batches weighed today.
void CapturasReportes::manual()
{
    const QString destino = Capturas::destino();
    InstalacionDePrueba inst;
    QVERIFY(inst.ok());
    const QStringList nombres = {"Patente:", "Cliente:", "Producto:", "Destino:", "Remito:", "Observ.:"};
    for (int i = 0; i < 6; ++i)
        QVERIFY(Config::GuardaConfig(QStringLiteral("global"), QStringLiteral("Dato%1").arg(i), nombres[i]));
    const QStringList productos = {"Maiz", "Trigo", "Mani"};
    {
        CDatos db;
        QVERIFY(db.AbrirBase(Programa::DataCSReporte));
        const QDate hoy = QDate::currentDate();
        double total = 0;
        for (int i = 1; i <= 15; ++i) {
            const double peso = 1000 + i % 3;
            total += peso;
            const QTime hora = QTime(8, 0).addSecs(i * 47);
            const bool cierra = i % 5 == 0;
            // The note as the record writer keeps it.
            const QString nota = cierra ? EscrituraRegistro::marcaTotal(hoy, hora.addSecs(9)) : QString();
            QVERIFY(db.Ejecuta(QStringLiteral("INSERT INTO %1 (TICKET, AUX1, AUX2, AUX3, AUX4, AUX5, AUX6, TOTAL, "
                                              "PESO, BACH, PRESET, FECHA, HORA, INFO, OPERADOR, OPCION1) VALUES "
                                              "(?, 'AB 123 CD', 'Cereales del Sur', ?, 'Puerto', ?, '', ?, ?, "
                                              "1000, 5000, ?, ?, ?, 'Ana Gomez', ?)")
                                   .arg(Programa::DataTbReporte),
                               {i, productos[(i - 1) / 5], QStringLiteral("R-%1").arg(40 + (i - 1) / 5, 4, 10,
                                                                                     QLatin1Char('0')),
                                total, peso, hoy, hora, nota, cierra ? 1 : 0}));
        }
    }
    frmPLANILLA b;
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b));
    QCOMPARE(b.cantidad(), 15);
    b.mover(14);
    QVERIFY(b.grab().save(destino + QStringLiteral("/manual-reportes.png")));

    // The three filter dialogs, filled in as the guide's examples.
    const QList<std::tuple<int, const char*, QStringList>> dialogos = {
        {Filtros::Texto, "/manual-filtro-texto.png", {"TxtDato", "Ma*"}},
        {Filtros::Numero, "/manual-filtro-ticket.png", {"TxtNumero_0", "5", "TxtNumero_1", "9"}},
        {Filtros::Fecha, "/manual-filtro-fecha.png", {}}};
    for (const auto& [tipo, archivo, campos] : dialogos) {
        frmFiltro f(tipo, &b);
        for (int i = 0; i + 1 < campos.size(); i += 2) {
            auto* e = f.findChild<QLineEdit*>(campos[i]);
            QVERIFY2(e, qPrintable(campos[i]));
            e->setText(campos[i + 1]);
        }
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QVERIFY(f.grab().save(destino + QLatin1String(archivo)));
        f.close();
    }
    alAbrirse<frmDataGrid>([&](frmDataGrid* g) {
        QTest::qWait(50);
        g->grab().save(destino + QStringLiteral("/manual-cuadricula.png"));
        g->accept();
    });
    QFile::remove(destino + QStringLiteral("/manual-cuadricula.png"));
    b.findChild<QPushButton*>(QStringLiteral("cmdGrid"))->click();
    QVERIFY(QFile::exists(destino + QStringLiteral("/manual-cuadricula.png")));

    textoEnDialogo(QStringLiteral("Ma*"));
    dobleClic(b, QStringLiteral("Lbl_Dato_9"));
    rangoEnDialogo(QStringLiteral("5"), QStringLiteral("9"));
    dobleClic(b, QStringLiteral("Lbl_Dato_0"), Qt::ShiftModifier);
    QCOMPARE(b.seleccion().descFiltro, QStringLiteral(" (Producto = Ma*) y (Ticket entre 5 y 9)"));
    QCOMPARE(b.cantidad(), 1); // the first dispatch was maize, the third peanuts
    QVERIFY(b.grab().save(destino + QStringLiteral("/manual-filtro-combinado.png")));

    cancelaDialogo();
    dobleClic(b, QStringLiteral("Lbl_Dato_0"));
    b.findChild<QCheckBox*>(QStringLiteral("Chk_Total"))->setChecked(true);
    QCOMPARE(b.cantidad(), 3);
    QVERIFY(b.grab().save(destino + QStringLiteral("/manual-totales.png")));
}

} // namespace

std::unique_ptr<QObject> Capturas::reportes()
{
    return std::make_unique<CapturasReportes>();
}

#include "reportes.moc"

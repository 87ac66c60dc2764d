#include "frmComandos.h"

#include <QDateEdit>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "CDatos.h"
#include "Config.h"
#include "FechaHora.h"
#include "MessageBox.h"
#include "ModeloReporte.h"
#include "Schema.h"

namespace {
// Dates and times shown in the short formats, whatever the engine delivers;
// commands and values as the station shows them.
class ModeloComandos : public QSqlQueryModel
{
public:
    explicit ModeloComandos(QObject* parent)
        : QSqlQueryModel(parent),
          m_decimales(std::clamp(
              Config::LeeConfig(QStringLiteral("global"), QStringLiteral("Decimales_1"), QStringLiteral("0")).toInt(), 0,
              4))
    {
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == Qt::DisplayRole && index.column() == 0)
            return FechaHora::fecha(CDatos::aFecha(QSqlQueryModel::data(index, role)));
        if (role == Qt::DisplayRole && index.column() == 1)
            return FechaHora::hora(CDatos::aHora(QSqlQueryModel::data(index, role)));
        if (role == Qt::DisplayRole && index.column() == 3)
            return frmComandos::nombreComando(QSqlQueryModel::data(index, role).toString());
        if (role == Qt::DisplayRole && index.column() == 4)
            return frmComandos::valoresLegibles(QSqlQueryModel::data(index, role).toString(), m_decimales);
        return QSqlQueryModel::data(index, role);
    }

private:
    int m_decimales;
};

QDateEdit* selector(const QString& nombre, const QDate& d, QWidget* parent)
{
    auto* e = new QDateEdit(d, parent);
    e->setObjectName(nombre);
    e->setCalendarPopup(true);
    e->setDisplayFormat(FechaHora::patronFecha());
    return e;
}
} // namespace

QString frmComandos::nombreComando(const QString& codigo)
{
    // The titles of the station's confirmations.
    static const QHash<QString, QString> nombres = {
        {QStringLiteral("V Arranque / Parada"), QStringLiteral("Arranque / Parada")},
        {QStringLiteral("Z Cero"), QStringLiteral("Toma de Cero")},
        {QStringLiteral("X Cancel"), QStringLiteral("Cancel")},
        {QStringLiteral("W Test Weigth"), QStringLiteral("Test Weigth")},
        {QStringLiteral("C Cancelar error"), QStringLiteral("Cancelar error")},
        {QStringLiteral("Programar"), QStringLiteral("Programación")},
        {QStringLiteral("Reset"), QStringLiteral("Reset")},
    };
    const auto it = nombres.constFind(codigo.trimmed());
    if (it != nombres.constEnd())
        return *it;
    // Another command letter: its name without the letter.
    static const QRegularExpression reLetra(QStringLiteral("^[A-Z] (.+)$"));
    const auto m = reLetra.match(codigo.trimmed());
    return m.hasMatch() ? m.captured(1) : codigo;
}

QString frmComandos::valoresLegibles(const QString& valores, int decimales)
{
    static const QList<QPair<QString, QString>> campos = {
        {QStringLiteral("Despacho"), QStringLiteral("Despacho (Preset)")},
        {QStringLiteral("CGrueso"), QStringLiteral("Corte Grueso")},
        {QStringLiteral("CFino"), QStringLiteral("Corte Fino (Batch)")},
        {QStringLiteral("TotalF"), QStringLiteral("Fin del despacho")},
    };
    QStringList partes;
    for (const QString& par : valores.split(u' ', Qt::SkipEmptyParts)) {
        const qsizetype igual = par.indexOf(u'=');
        bool ok = false;
        const qint64 entero = igual > 0 ? par.mid(igual + 1).toLongLong(&ok) : 0;
        QString nombre;
        for (const auto& c : campos)
            if (igual > 0 && c.first == par.left(igual))
                nombre = c.second;
        if (nombre.isEmpty() || !ok)
            return valores; // not a programming: as it was recorded
        partes << QStringLiteral("%1: %2 kg").arg(nombre, QString::number(entero / std::pow(10.0, decimales), 'f', decimales));
    }
    return partes.join(QStringLiteral(", "));
}

frmComandos::frmComandos(const QString& conexion, QWidget* parent) : QDialog(parent), m_conexion(conexion)
{
    setObjectName(QStringLiteral("frmComandos"));
    setWindowTitle(QStringLiteral("Comandos de los operarios"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    auto* filtro = new QHBoxLayout;
    const QDate hoy = QDate::currentDate();
    m_desde = selector(QStringLiteral("Fecha1"), hoy.addDays(-7), this);
    m_hasta = selector(QStringLiteral("Fecha2"), hoy, this);
    filtro->addWidget(new QLabel(QStringLiteral("Desde:"), this));
    filtro->addWidget(m_desde);
    filtro->addWidget(new QLabel(QStringLiteral("Hasta:"), this));
    filtro->addWidget(m_hasta);
    auto* buscar = new QPushButton(QStringLiteral("&Consultar"), this);
    buscar->setObjectName(QStringLiteral("cmdConsultar"));
    buscar->setDefault(true);
    filtro->addWidget(buscar);
    filtro->addStretch();
    layout->addLayout(filtro);
    m_modelo = new ModeloComandos(this);
    m_tabla = new QTableView(this);
    m_tabla->setObjectName(QStringLiteral("DBGridComandos"));
    m_tabla->setModel(m_modelo);
    m_tabla->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tabla->setSelectionBehavior(QAbstractItemView::SelectRows);
    layout->addWidget(m_tabla, 1);
    connect(buscar, &QPushButton::clicked, this, [this] { consulta(m_desde->date(), m_hasta->date()); });
    resize(900, 480);
    consulta(m_desde->date(), m_hasta->date());
}

frmComandos::~frmComandos()
{
    m_modelo->clear();
    if (!m_nombreConexion.isEmpty())
        QSqlDatabase::removeDatabase(m_nombreConexion);
}

bool frmComandos::consulta(const QDate& desde, const QDate& hasta)
{
    if (desde > hasta) {
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("Error en el rango de fechas"));
        return false;
    }
    // The model keeps its query: the connection stays open with the window.
    static int contador = 0;
    if (m_nombreConexion.isEmpty()) {
        CDatos datos;
        if (!datos.AbrirBase(m_conexion)) {
            MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                                QStringLiteral("La referencia de datos es incorrecta."));
            return false;
        }
        m_nombreConexion = QStringLiteral("tolvex_comandos_%1").arg(++contador);
        QSqlDatabase::cloneDatabase(datos.base(), m_nombreConexion).open();
    }
    QSqlDatabase db = QSqlDatabase::database(m_nombreConexion, false);
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT FECHA, HORA, OPERADOR, COMANDO, VALORES, RESULTADO FROM %1 "
                             "WHERE FECHA BETWEEN ? AND ? ORDER BY FECHA DESC, HORA DESC, ID DESC")
                  .arg(Schema::kTablaComandos));
    const bool sqlite = db.driverName() == QStringLiteral("QSQLITE");
    q.addBindValue(sqlite ? QVariant(desde.toString(Qt::ISODate)) : QVariant(desde));
    q.addBindValue(sqlite ? QVariant(hasta.toString(Qt::ISODate)) : QVariant(hasta));
    if (!q.exec()) {
        m_modelo->clear();
        MessageBox::mostrar(this, MessageBox::Critico, QStringLiteral("Error"),
                            QStringLiteral("La referencia de datos es incorrecta."));
        return false;
    }
    m_modelo->setQuery(std::move(q));
    const QStringList titulos = {QStringLiteral("Fecha"), QStringLiteral("Hora"), QStringLiteral("Operador"),
                                 QStringLiteral("Comando"), QStringLiteral("Valores"), QStringLiteral("Resultado")};
    for (int i = 0; i < titulos.size(); ++i)
        m_modelo->setHeaderData(i, Qt::Horizontal, titulos.at(i));
    // The values of a programming are the longest text: that column takes
    // the room left.
    m_tabla->resizeColumnsToContents();
    m_tabla->horizontalHeader()->setSectionResizeMode(4, QHeaderView::Stretch);
    return true;
}

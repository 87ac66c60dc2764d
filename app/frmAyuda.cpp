#include "frmAyuda.h"

#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "MessageBox.h"

namespace {

// Pictures no wider than the page: a screenshot of a whole window would
// otherwise need a horizontal scroll bar to be read.
class VisorManual : public QTextBrowser
{
public:
    using QTextBrowser::QTextBrowser;

    QVariant loadResource(int tipo, const QUrl& nombre) override
    {
        QVariant v = QTextBrowser::loadResource(tipo, nombre);
        if (tipo != QTextDocument::ImageResource)
            return v;
        QImage img;
        if (!img.loadFromData(v.toByteArray()))
            return v;
        const int ancho = std::max(200, viewport()->width() - 40);
        return img.width() > ancho ? img.scaledToWidth(ancho, Qt::SmoothTransformation) : img;
    }
};

} // namespace

frmAyuda::frmAyuda(const QString& manual, QWidget* parent) : QDialog(parent), m_manual(manual)
{
    setObjectName(QStringLiteral("frmAyuda"));
    setWindowTitle(QStringLiteral("Ayuda de Tolvex"));
    txtManual = new VisorManual(this);
    txtManual->setObjectName(QStringLiteral("txtManual"));
    txtManual->setOpenExternalLinks(true);
    txtManual->setSource(QUrl::fromLocalFile(manual));
    lblRuta = new QLabel(QStringLiteral("El manual está en %1").arg(QDir::toNativeSeparators(manual)), this);
    lblRuta->setObjectName(QStringLiteral("lblRuta"));
    lblRuta->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblRuta->setWordWrap(true);
    cmdNavegador = new QPushButton(QStringLiteral("Abrir en el navegador"), this);
    cmdNavegador->setObjectName(QStringLiteral("cmdNavegador"));
    cmdNavegador->setAutoDefault(false);
    cmdCerrar = new QPushButton(QStringLiteral("Cerrar"), this);
    cmdCerrar->setObjectName(QStringLiteral("cmdCerrar"));

    auto* abajo = new QHBoxLayout;
    abajo->addWidget(lblRuta, 1);
    abajo->addWidget(cmdNavegador);
    abajo->addWidget(cmdCerrar);
    auto* todo = new QVBoxLayout(this);
    todo->addWidget(txtManual, 1);
    todo->addLayout(abajo);

    connect(cmdNavegador, &QPushButton::clicked, this, &frmAyuda::abreEnNavegador);
    connect(cmdCerrar, &QPushButton::clicked, this, &QDialog::close);
    resize(900, 640);
}

void frmAyuda::abreEnNavegador()
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(m_manual)))
        MessageBox::mostrar(this, MessageBox::Informacion, windowTitle(),
                            QStringLiteral("No se pudo abrir el navegador del escritorio. El manual está en %1")
                                .arg(QDir::toNativeSeparators(m_manual)));
}

#include "frmPreparar.h"

#include "IdEsclavo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QVBoxLayout>

#include "Instalacion.h"
#include "MessageBox.h"

frmPreparar::frmPreparar(const QString& directorio, QWidget* parent)
    : QDialog(parent), m_directorio(QDir::cleanPath(directorio))
{
    setObjectName(QStringLiteral("frmPreparar"));
    setWindowTitle(QStringLiteral("Preparar Tolvex"));
    lblTexto = new QLabel(
        QStringLiteral("No hay un directorio de programa de Tolvex en %1.\n\n"
                       "Tolvex guarda allí su configuración, la base de datos, el diario y la "
                       "plantilla de exportación. Para prepararlo, indique cómo se conecta el "
                       "indicador de pesaje (se puede cambiar después en Opciones).")
            .arg(QDir::toNativeSeparators(m_directorio)),
        this);
    lblTexto->setObjectName(QStringLiteral("lblTexto"));
    lblTexto->setWordWrap(true);

    optTCP = new QRadioButton(QStringLiteral("Red (TCP):"), this);
    optTCP->setObjectName(QStringLiteral("optTCP"));
    optSerie = new QRadioButton(QStringLiteral("Puerto serie:"), this);
    optSerie->setObjectName(QStringLiteral("optSerie"));
    txtTCP = new QLineEdit(QStringLiteral("192.168.0.10:502"), this);
    txtTCP->setObjectName(QStringLiteral("txtTCP"));
    txtSerie = new QLineEdit(QStringLiteral("/dev/ttyUSB0"), this);
    txtSerie->setObjectName(QStringLiteral("txtSerie"));
    spnId = new QSpinBox(this);
    spnId->setObjectName(QStringLiteral("spnId"));
    spnId->setRange(IdEsclavo::kMinimo, IdEsclavo::kMaximo);
    optTCP->setChecked(true);
    txtSerie->setEnabled(false);
    connect(optTCP, &QRadioButton::toggled, txtTCP, &QWidget::setEnabled);
    connect(optSerie, &QRadioButton::toggled, txtSerie, &QWidget::setEnabled);

    auto* form = new QFormLayout;
    form->addRow(optTCP, txtTCP);
    form->addRow(optSerie, txtSerie);
    form->addRow(QStringLiteral("Dirección del indicador (ID):"), spnId);

    cmdPreparar = new QPushButton(QStringLiteral("Preparar"), this);
    cmdPreparar->setObjectName(QStringLiteral("cmdPreparar"));
    cmdPreparar->setDefault(true);
    cmdSalir = new QPushButton(QStringLiteral("Salir"), this);
    cmdSalir->setObjectName(QStringLiteral("cmdSalir"));
    cmdSalir->setAutoDefault(false);
    auto* botones = new QHBoxLayout;
    botones->addStretch();
    botones->addWidget(cmdPreparar);
    botones->addWidget(cmdSalir);

    auto* todo = new QVBoxLayout(this);
    todo->addWidget(lblTexto);
    todo->addLayout(form);
    todo->addLayout(botones);
    setMinimumWidth(480);

    connect(cmdPreparar, &QPushButton::clicked, this, &frmPreparar::preparar);
    connect(cmdSalir, &QPushButton::clicked, this, &QDialog::reject);
}

QString frmPreparar::mensajeSinDirectorio(const QString& directorio)
{
    return QStringLiteral("Tolvex no se inició: falta su directorio de programa %1.\n\n"
                          "Para prepararlo, vuelva a abrir Tolvex desde el menú, o ejecute:\n"
                          "tolvex-setup %1 --tcp HOST:PUERTO --id N\n"
                          "(o --serial PUERTO en lugar de --tcp).")
        .arg(QDir::toNativeSeparators(QDir::cleanPath(directorio)));
}

void frmPreparar::preparar()
{
    Instalacion ins;
    ins.directorio = m_directorio;
    ins.programa = QCoreApplication::applicationFilePath();
    ins.id = spnId->value();
    if (optTCP->isChecked()) {
        static const QRegularExpression hostPuerto(QStringLiteral("^[^\\s:]+:(\\d{1,5})$"));
        const auto m = hostPuerto.match(txtTCP->text().trimmed());
        if (!m.hasMatch() || m.captured(1).toInt() < 1 || m.captured(1).toInt() > 65535) {
            MessageBox::mostrar(
                this, MessageBox::Exclamacion, windowTitle(),
                QStringLiteral("Escriba la dirección del indicador como HOST:PUERTO, "
                               "por ejemplo 192.168.0.10:502."));
            return;
        }
        ins.tcp = txtTCP->text().trimmed();
    } else {
        if (txtSerie->text().trimmed().isEmpty()) {
            MessageBox::mostrar(this, MessageBox::Exclamacion, windowTitle(),
                                QStringLiteral("Escriba el puerto serie del indicador, por ejemplo "
                                               "/dev/ttyUSB0."));
            return;
        }
        ins.serie = txtSerie->text().trimmed();
    }
    if (!ins.ejecutar()) {
        MessageBox::mostrar(this, MessageBox::Critico, windowTitle(),
                            QStringLiteral("No se pudo preparar %1: %2")
                                .arg(QDir::toNativeSeparators(m_directorio), ins.error));
        return;
    }
    accept();
}

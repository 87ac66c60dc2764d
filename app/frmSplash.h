#pragma once

#include <QWidget>

class QLabel;

// Shown while the main window loads.
class frmSplash : public QWidget
{
    Q_OBJECT
public:
    explicit frmSplash(QWidget* parent = nullptr);

    QLabel* lblVersion;
    QLabel* lblProductName;
    QLabel* lblCompanyProduct;
};

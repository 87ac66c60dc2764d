#pragma once

#include <QDateEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "ReportesPrueba.h"
#include "frmFiltro.h"
#include "frmPLANILLA.h"

// Steps on the record browser and its filter dialogs, as an operator does them.
inline void dobleClic(frmPLANILLA& b, const QString& nombre, Qt::KeyboardModifiers m = {})
{
    auto* w = b.findChild<QWidget*>(nombre);
    QVERIFY2(w, qPrintable(nombre));
    QTest::mouseDClick(w, Qt::LeftButton, m);
}

inline void textoEnDialogo(const QString& texto)
{
    alAbrirse<frmFiltro>([texto](frmFiltro* d) {
        d->findChild<QLineEdit*>(u"TxtDato"_s)->setText(texto);
        QTest::mouseClick(d->findChild<QPushButton*>(u"CmdOkDato"_s), Qt::LeftButton);
    });
}

inline void rangoEnDialogo(const QString& desde, const QString& hasta)
{
    alAbrirse<frmFiltro>([desde, hasta](frmFiltro* d) {
        d->findChild<QLineEdit*>(u"TxtNumero_0"_s)->setText(desde);
        d->findChild<QLineEdit*>(u"TxtNumero_1"_s)->setText(hasta);
        QTest::mouseClick(d->findChild<QPushButton*>(u"CmdOkNumero"_s), Qt::LeftButton);
    });
}

inline void fechasEnDialogo(const QDate& d1, const QDate& d2)
{
    alAbrirse<frmFiltro>([d1, d2](frmFiltro* d) {
        d->findChild<QDateEdit*>(u"Fecha1"_s)->setDate(d1);
        d->findChild<QDateEdit*>(u"Fecha2"_s)->setDate(d2);
        QTest::mouseClick(d->findChild<QPushButton*>(u"CmdOkFecha"_s), Qt::LeftButton);
    });
}

inline void cancelaDialogo()
{
    alAbrirse<frmFiltro>([](frmFiltro* d) { d->reject(); });
}

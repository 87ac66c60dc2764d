#pragma once

#include <QDialog>
#include <QHash>
#include <QLabel>
#include <functional>

#include "CDatos.h"
#include "Filtro.h"
#include "Lineas.h"

class QCheckBox;
class QFrame;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QPrinter;
class ModeloReporte;

// A label that reports double-clicks with the keyboard state.
class EtiquetaCampo : public QLabel
{
    Q_OBJECT
public:
    EtiquetaCampo(int indice, QWidget* parent);
    int indice() const { return m_indice; }
Q_SIGNALS:
    void dobleClic(int indice, Qt::KeyboardModifiers modificadores);

protected:
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    int m_indice;
};

// The record browser over the reports table: one record at a time, sorting
// by caption, filters by value, totals only, grid, annotation, deletion up
// to the current record, printing and export. A plant with several weighing
// lines also sees each record's line, and sorts and filters by it.
class frmPLANILLA : public QDialog
{
    Q_OBJECT
public:
    explicit frmPLANILLA(QWidget* parent = nullptr);
    ~frmPLANILLA() override;

    // False when the data could not be opened (the message was shown).
    bool cargado() const { return m_cargado; }

    const Filtros::Seleccion& seleccion() const { return m_sel; }
    QString sentencia() const;
    int posicion() const { return m_pos; }     // 0-based, -1 on an empty set
    int cantidad() const;
    bool shiftPulsado() const { return m_shift; }
    ModeloReporte* modelo() const { return m_modelo; }
    QString textoNavegador() const;

    void mover(int fila);
    void primero() { mover(0); }
    void ultimo() { mover(cantidad() - 1); }

    // Hooks for the file and printer choices (tests and scripted runs).
    using EligeArchivo = std::function<QString(QWidget* parent, const QString& carpeta, const QString& filtro)>;
    static void setEligeArchivo(EligeArchivo f);
    // Gets the program's printer (page setup's) and what paints the listing.
    using EligeImpresora =
        std::function<bool(QWidget* parent, QPrinter* printer, const std::function<void(QPrinter*)>& imprime)>;
    static void setEligeImpresora(EligeImpresora f);

    // Re-queries with a selection; false (with the message) when rejected.
    bool aplicaSeleccion(const Filtros::Seleccion& nueva);

    void ordenar(int indice);
    void filtrar(int indice, bool shift);
    void cambiaTotales(bool marcado);
    void eliminar();
    void grilla();
    void imprimir();
    void exportar();
    void comandos();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* e) override;
    void done(int r) override;

private:
    bool carga();
    bool aplica(const Filtros::Seleccion& nueva);
    void muestraRegistro();
    bool guardaInfo();
    void bloqueaInfo(bool bloquear);
    QString caption(int indice) const;

    CDatos m_datos;
    ModeloReporte* m_modelo = nullptr;
    Filtros::Seleccion m_sel;
    QString m_tabla;
    QVector<Linea> m_lineas; // the plant's lines when it has several
    int m_pos = -1;
    bool m_shift = false;
    bool m_cargado = false;
    QString m_infoOriginal;
    QVariant m_ticketInfo;

    QHash<int, EtiquetaCampo*> m_valores;
    QHash<int, EtiquetaCampo*> m_captions;
    QLineEdit* m_info = nullptr;
    QCheckBox* m_chkTotal = nullptr;
    QPushButton* m_cmdDelete = nullptr;
    QLabel* m_navegador = nullptr;
    QFrame* m_cuadro = nullptr;
    QProgressBar* m_barra = nullptr;
    QLabel* m_aviso = nullptr;
};

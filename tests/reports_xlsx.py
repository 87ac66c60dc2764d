#!/usr/bin/python3
"""Reads and writes workbooks with openpyxl, a writer other than ours.

  reports_xlsx.py FILE [SHEET]     cells of sheet REPORTE (or SHEET) as JSON
  reports_xlsx.py --plantilla FILE writes a plant's own template
  reports_xlsx.py --planta KIND FILE         another plant's template (see planta)
  reports_xlsx.py --rompe PART FILE COPY     copy with that part cut short
  reports_xlsx.py --variante NAME FILE COPY  the template as another writer puts it
  reports_xlsx.py --columna LETTERS FILE COPY  a value at row 30 of column LETTERS
  reports_xlsx.py --fila7 KIND FILE COPY     row 7 of the headings changed (see fila7)
  reports_xlsx.py --orden FILE               cells of row 7 in the order the sheet has them
"""
import datetime
import json
import os
import sys

import openpyxl
from openpyxl.styles import Alignment, Border, Font, PatternFill, Side
from openpyxl.styles.numbers import is_date_format


def kind(v):
    if isinstance(v, bool):
        return "b", v
    if isinstance(v, (int, float)):
        return "n", v
    if isinstance(v, datetime.datetime):
        return "d", v.date().isoformat() if v.time() == datetime.time(0) else v.isoformat()
    if isinstance(v, datetime.time):
        return "t", v.isoformat()
    return "s", str(v)


def dump(path, sheet="REPORTE"):
    wb = openpyxl.load_workbook(path)
    ws = wb[sheet]
    cells = {}
    empty = {}  # formats of cells with no value
    for row in ws.iter_rows():
        for c in row:
            if c.value is not None:
                k, v = kind(c.value)
                cells[c.coordinate] = [k, v, c.number_format, bool(c.font and c.font.b),
                                       c.fill.fgColor.rgb if c.fill and c.fill.fill_type == "solid" else ""]
            elif c.number_format != "General":
                empty[c.coordinate] = c.number_format
    widths = {k: d.width for k, d in ws.column_dimensions.items() if d.width}
    print(json.dumps({"sheets": wb.sheetnames, "cells": cells, "empty": empty,
                      "merged": sorted(str(r) for r in ws.merged_cells.ranges),
                      "widths": widths,
                      "dateFormats": {c: is_date_format(v[2]) for c, v in cells.items()}}))


def plantilla(path):
    """A template as a plant makes it: its own fonts and fills, headings on
    rows 1 to 7, column formats, notes beside the data and a signature
    footer far below it."""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "REPORTE"
    wb.create_sheet("Notas")["A1"] = "otra hoja"
    ws["A1"] = "Molinos del Sur S.A."
    ws["A1"].font = Font(name="Arial", size=16, bold=True, color="FF1F4E79")
    ws["A2"] = "Planta 2 - Balanza de tolva"
    ws.merge_cells("A1:F1")
    ws["H2"] = datetime.date(2025, 1, 31)
    ws["H2"].number_format = "yyyy-mm-dd"
    heads = ["N° ticket", "Día", "Hora", "Cliente", "Camión", "Remito", "Producto", "Origen", "Destino", "Kg"]
    fill = PatternFill("solid", fgColor="FFDDEBF7")
    thin = Side(style="thin")
    for i, h in enumerate(heads, start=1):
        c = ws.cell(row=7, column=i, value=h)
        c.font = Font(bold=True)
        c.fill = fill
        c.border = Border(bottom=thin)
        c.alignment = Alignment(horizontal="center")
    ws["L8"] = "Observaciones: balanza verificada"
    ws["A30"] = "Firma del responsable: ____________"
    ws["A30"].font = Font(italic=True)
    ws.merge_cells("A30:D30")
    ws["H30"] = "=SUM(J8:J29)"
    ws["A31"] = "Documento interno"
    for col, width in (("A", 11), ("B", 13), ("D", 24), ("J", 15)):
        ws.column_dimensions[col].width = width
    # Column formats: kilograms with thousands and two decimals, the day
    # spelled as the plant likes it.
    ws.column_dimensions["J"].number_format = "#,##0.00"
    ws.column_dimensions["B"].number_format = "d-mmm-yy"
    for r in range(8, 12):
        ws.cell(row=r, column=10).number_format = "#,##0.00"
        ws.cell(row=r, column=2).number_format = "d-mmm-yy"
    wb.save(path)


def planta(tipo, path):
    """Another plant's template, made the usual way: its report sheet named
    "Pesadas", formats given to the data rows' cells one by one (B8:B29
    d-mmm-yyyy, C8:C29 hh:mm, J8:J29 #,##0) and a signature at row 31.
      pesadas         that sheet alone
      varias          "Pesadas" first, then a sheet of notes
      reporte-segunda a cover sheet first, then the data sheet named "Reporte"
      oculta-primero  a hidden help sheet first, then "Pesadas"
      valor-vacio     as pesadas, the formatted cells with an empty value, as
                      some writers leave them"""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Reporte" if tipo == "reporte-segunda" else "Pesadas"
    if tipo == "reporte-segunda":
        wb.create_sheet("Portada", 0)["A1"] = "Planta de alimentos balanceados"
    elif tipo == "oculta-primero":
        ayuda = wb.create_sheet("Ayuda", 0)
        ayuda["A1"] = "Cómo usar esta planilla"
        ayuda.sheet_state = "hidden"
        wb.active = 1
    elif tipo == "varias":
        wb.create_sheet("Notas")["A1"] = "otra hoja"
    ws["A1"] = "Pesadas de la planta"
    for i, h in enumerate(["Ticket", "Día", "Hora", "Cliente", "Camión", "Remito", "Producto", "Origen",
                           "Destino", "Kg"], start=1):
        ws.cell(row=7, column=i, value=h).font = Font(bold=True)
    for r in range(8, 30):
        ws.cell(row=r, column=2).number_format = "d-mmm-yyyy"
        ws.cell(row=r, column=3).number_format = "hh:mm"
        ws.cell(row=r, column=10).number_format = "#,##0"
    ws["A31"] = "Firma:"
    wb.save(path)
    if tipo == "valor-vacio":
        import re
        import shutil
        import zipfile
        shutil.move(path, path + ".tmp")
        with zipfile.ZipFile(path + ".tmp") as zin, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zout:
            for item in zin.infolist():
                data = zin.read(item.filename)
                if item.filename.startswith("xl/worksheets/"):
                    data = re.sub(rb'<c r="([A-J]\d+)" s="(\d+)"(?: t="n")?(?:/>|></c>)',
                                  rb'<c r="\1" s="\2"><v></v></c>', data)
                zout.writestr(item, data)
        os.remove(path + ".tmp")


def rompe(parte, origen, destino):
    """A copy with one part missing its last 20 bytes."""
    import zipfile
    with zipfile.ZipFile(origen) as zin, zipfile.ZipFile(destino, "w") as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename == parte:
                data = data[:-20]
            zout.writestr(item, data)


def columna(letras, origen, destino):
    """A copy whose sheet has a value at row 30 of column letras."""
    import zipfile
    fila = b'<row r="30"><c r="' + letras.encode() + b'30"><v>1</v></c></row></sheetData>'
    with zipfile.ZipFile(origen) as zin, zipfile.ZipFile(destino, "w") as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename == "xl/worksheets/sheet1.xml":
                data = data.replace(b"</sheetData>", fila, 1)
            zout.writestr(item, data)


def fila7(tipo, origen, destino):
    """A copy whose headings row (7) is not the usual one:
      propia   K7 holds a heading of the plant's own, L7 a note
      nota     L7 holds a note, K7 nothing
      sin      no row 7 at all, a note at L8 below where it was"""
    wb = openpyxl.load_workbook(origen)
    ws = wb["REPORTE"]
    if tipo == "propia":
        ws["K7"] = "Sector"
    if tipo in ("propia", "nota"):
        ws["L7"] = "Notas"
    if tipo == "sin":
        for col in range(1, ws.max_column + 1):
            ws._cells.pop((7, col), None)
        ws["L8"] = "Notas"
    wb.save(destino)


def orden(path):
    """The cell references of the REPORTE sheet's XML row 7, in file order,
    and whether the rows are in order."""
    import re
    import zipfile
    with zipfile.ZipFile(path) as z:
        hoja = z.read("xl/worksheets/sheet1.xml").decode("utf-8")
    fila = re.search(r'<row [^>]*r="7"[^>]*>(.*?)</row>', hoja)
    print(" ".join(re.findall(r'<c r="([A-Z]+7)"', fila.group(1))) if fila else "")
    filas = [int(r) for r in re.findall(r'<row [^>]*?r="(\d+)"', hoja)]
    print("filas en orden" if filas == sorted(set(filas)) else "filas fuera de orden: %s" % filas)


def variante(nombre, origen, destino):
    """Rewrites a template the ways other writers do: a namespace prefix on
    every element, rows and cells without positions, no style table."""
    import re
    import zipfile
    with zipfile.ZipFile(origen) as zin, zipfile.ZipFile(destino, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            data = zin.read(item.filename).decode("utf-8")
            hoja = item.filename == "xl/worksheets/sheet1.xml"
            if nombre == "prefijo" and (hoja or item.filename == "xl/styles.xml"):
                data = re.sub(r"<(/?)(?!\?)([A-Za-z])", r"<\1x:\2", data)
                data = data.replace('xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"',
                                    'xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"')
            elif nombre == "sin-posiciones" and hoja:
                # Positions left implicit on the rows above the data only.
                data = re.sub(r'(<c) r="[A-Z]+[1-7]"', r"\1", data)
            elif nombre == "sin-estilos":
                if item.filename == "xl/styles.xml":
                    continue
                data = re.sub(r'<Relationship[^>]*styles[^>]*/>', "", data)
                data = re.sub(r'<Override PartName="/xl/styles.xml"[^>]*/>', "", data)
                if hoja:
                    data = re.sub(r' (s|style)="\d+"', "", data)
            zout.writestr(item, data)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--plantilla":
        plantilla(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "--planta":
        planta(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 5 and sys.argv[1] == "--variante":
        variante(sys.argv[2], sys.argv[3], sys.argv[4])
    elif len(sys.argv) == 5 and sys.argv[1] == "--rompe":
        rompe(sys.argv[2], sys.argv[3], sys.argv[4])
    elif len(sys.argv) == 5 and sys.argv[1] == "--columna":
        columna(sys.argv[2], sys.argv[3], sys.argv[4])
    elif len(sys.argv) == 5 and sys.argv[1] == "--fila7":
        fila7(sys.argv[2], sys.argv[3], sys.argv[4])
    elif len(sys.argv) == 3 and sys.argv[1] == "--orden":
        orden(sys.argv[2])
    else:
        dump(*sys.argv[1:3])


if __name__ == "__main__":
    main()

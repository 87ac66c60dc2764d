#!/usr/bin/env python3
"""Checks the layers: no folder includes a header of a folder above it, the
floors without widgets include no Qt Widgets header, and no two classes
(a header and its source) include each other.

    scripts/capas.py [ROOT]

Exits 1 and lists every offending include. Tests are not checked.
"""
import os
import re
import sys

# Each layer and the layers it may include directly; what those may include
# it may include too. The station is two layers: its core (the files of
# tolvex_stationcore) and its windows.
CAPAS = {
    "base": [],
    "data": [],
    "ui": ["data"],
    "settings": ["base", "data"],
    "link": ["settings"],
    "sim": ["link"],
    "users": ["settings", "ui"],
    "station-core": ["link", "settings"],
    "mqtt": ["station-core"],
    "reports": ["settings", "ui"],
    "setup": ["reports"],
    "station": ["station-core", "mqtt", "users", "ui"],
    "web": ["station-core", "users", "reports"],
    "servicio": ["web", "mqtt"],
    "app": ["station", "reports", "users", "setup", "web", "mqtt"],
    "tools": ["setup", "link", "mqtt"],
    "banco": ["app", "sim", "tools", "servicio"],
}
# Circles between two classes left for now (each the one pair named): the
# settings store reads the global table of the window's session, About
# registers its icons through the main window, the grid reaches back into
# its browser. Any other circle fails.
CIRCULOS_CONOCIDOS = {("Config", "Programa"), ("frmAbout", "frmMain"), ("frmDataGrid", "frmPLANILLA")}
# Layers that link Qt Core (and non-GUI modules) only.
SIN_WIDGETS = {"base", "data", "settings", "link", "sim", "station-core", "mqtt", "web", "servicio"}
CARPETAS = ["base", "data", "ui", "settings", "link", "sim", "users", "station", "mqtt", "reports",
            "web", "servicio", "app", "tools", "banco"]


def permitidas(capa, memo={}):
    if capa not in memo:
        s = set(CAPAS[capa])
        for c in CAPAS[capa]:
            s |= permitidas(c)
        memo[capa] = s
    return memo[capa]


def archivos_de_biblioteca(cmake, biblioteca):
    texto = open(cmake, encoding="utf-8").read()
    m = re.search(r"add_library\(\s*%s\s+STATIC(.*?)\)" % re.escape(biblioteca), texto, re.S)
    return set(m.group(1).split()) if m else set()


def main():
    raiz = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    nucleo = archivos_de_biblioteca(os.path.join(raiz, "station", "CMakeLists.txt"),
                                    "tolvex_stationcore")
    setup = archivos_de_biblioteca(os.path.join(raiz, "tools", "CMakeLists.txt"),
                                   "tolvex_setup_lib")
    if not nucleo or not setup:
        print("capas: no se encuentran las bibliotecas tolvex_stationcore / tolvex_setup_lib")
        return 1

    def capa(carpeta, nombre):
        if carpeta == "station" and nombre in nucleo:
            return "station-core"
        if carpeta == "tools" and nombre in setup:
            return "setup"
        return carpeta

    fuentes = []
    donde = {}
    for carpeta in CARPETAS:
        for nombre in sorted(os.listdir(os.path.join(raiz, carpeta))):
            if nombre.endswith((".h", ".cpp")):
                fuentes.append((carpeta, nombre))
                if nombre.endswith(".h"):
                    donde[nombre] = capa(carpeta, nombre)

    widgets = set()
    for d in ("/usr/include/x86_64-linux-gnu/qt6/QtWidgets", "/usr/include/qt6/QtWidgets"):
        if os.path.isdir(d):
            widgets |= set(os.listdir(d))
    widgets.add("QtWidgets")

    errores = []
    # Which class (a header and its source, by name) uses which: a circle
    # between two of them is a fault even inside one layer.
    usa = {}
    for carpeta, nombre in fuentes:
        propia = capa(carpeta, nombre)
        ruta = os.path.join(carpeta, nombre)
        with open(os.path.join(raiz, ruta), encoding="utf-8") as f:
            for n, linea in enumerate(f, 1):
                m = re.match(r'\s*#\s*include\s+([<"])([^>"]+)[>"]', linea)
                if not m:
                    continue
                base = os.path.basename(m.group(2))
                if m.group(1) == '"' and base in donde:
                    unidad = os.path.splitext(nombre)[0]
                    otra_unidad = os.path.splitext(base)[0]
                    if otra_unidad != unidad:
                        usa.setdefault(unidad, {}).setdefault(otra_unidad, "%s:%d" % (ruta, n))
                if m.group(1) == '"':
                    otra = donde.get(base)
                    if otra and otra != propia and otra not in permitidas(propia):
                        errores.append("%s:%d: %s (%s) incluye %s (%s)" %
                                       (ruta, n, nombre, propia, base, otra))
                elif propia in SIN_WIDGETS and (base in widgets or
                                                m.group(2).startswith("QtWidgets/")):
                    errores.append("%s:%d: %s (%s) incluye Qt Widgets: %s" %
                                   (ruta, n, nombre, propia, m.group(2)))
    circulos = []
    for a, otras in sorted(usa.items()):
        for b, donde_a in sorted(otras.items()):
            if a < b and a in usa.get(b, {}) and (a, b) not in CIRCULOS_CONOCIDOS:
                circulos.append("%s y %s se usan uno al otro (%s, %s)" % (a, b, donde_a, usa[b][a]))
    for e in errores + circulos:
        print(e)
    print("capas: %d archivos, %d inclusiones fuera de su capa, %d círculos" %
          (len(fuentes), len(errores), len(circulos)))
    return 1 if errores or circulos else 0


if __name__ == "__main__":
    sys.exit(main())

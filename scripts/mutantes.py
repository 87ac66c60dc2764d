#!/usr/bin/env python3
"""Mutation sample: plants each listed fault in a scratch copy of the tree,
rebuilds incrementally, runs the tests of that area, and reports which
faults the tests kill.

    python3 scripts/mutantes.py [--lista FILE.json] [--carpeta NAME ...]
                                [--solo ID ...] [--umbral 90] [--limite 300]

Without --lista every tests/mutantes/*.json is read; each file holds the
mutants of one folder (link.json: link/) and the score is given per file.
A file is {"mutantes": [...], "descartados": ["id: why it cannot change
behaviour", ...]}. Each mutant: {"id", "archivo", "texto", "cambio",
"pruebas", "rompe"}: the exact text (found exactly once in the file), its
replacement, the ctest regular expression of the area's tests, and one line
of what it breaks. A mutant whose text is not found exactly once is a list
error: it is reported and not scored.

Exit status: 0 when every folder reaches the threshold, 1 when one does not,
2 on a list error or a tree that does not build or pass unmutated.
"""
import argparse
import datetime
import glob
import json
import os
import shutil
import subprocess
import sys
import time
from collections import OrderedDict

RAIZ = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CAMPOS = ("id", "archivo", "texto", "cambio", "pruebas", "rompe")


def ejecuta(cmd, cwd, limite=None, env=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=limite)
        return p.returncode, p.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired as e:
        salida = e.stdout.decode("utf-8", "replace") if e.stdout else ""
        return None, salida


def sincroniza_arbol(destino):
    """Copies the tracked and new files into destino, touching only the files
    whose content differs, so the scratch build stays incremental."""
    archivos = subprocess.check_output(["git", "ls-files", "-co", "--exclude-standard"],
                                       cwd=RAIZ).decode().splitlines()
    for rel in archivos:
        origen = os.path.join(RAIZ, rel)
        if not os.path.isfile(origen):
            continue
        dst = os.path.join(destino, rel)
        with open(origen, "rb") as f:
            nuevo = f.read()
        try:
            with open(dst, "rb") as f:
                if f.read() == nuevo:
                    continue
        except OSError:
            pass
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        # A fresh time, not the source's: a file left mutated by a run that
        # was stopped is newer than its source, and keeping the source's
        # older time would leave the mutant's object in the build.
        shutil.copy(origen, dst)


def carga_archivo(ruta):
    with open(ruta, encoding="utf-8") as f:
        datos = json.load(f)
    lista = datos["mutantes"] if isinstance(datos, dict) else datos
    nombre = os.path.splitext(os.path.basename(ruta))[0]
    for m in lista:
        for campo in CAMPOS:
            if not isinstance(m.get(campo), str) or not m[campo]:
                raise ValueError("%s: mutante %r: falta el campo %s" % (ruta, m.get("id"), campo))
        if m["texto"] == m["cambio"]:
            raise ValueError("%s: mutante %s: el cambio no cambia nada" % (ruta, m["id"]))
        m["carpeta"] = nombre
    return lista


def carga_listas(rutas):
    lista, vistos = [], set()
    for ruta in rutas:
        for m in carga_archivo(ruta):
            if m["id"] in vistos:
                raise ValueError("mutante repetido: %s" % m["id"])
            vistos.add(m["id"])
            lista.append(m)
    return lista


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lista", help="un solo archivo de mutantes (por omisión, tests/mutantes/*.json)")
    ap.add_argument("--solo", nargs="*", default=[])
    ap.add_argument("--carpeta", nargs="*", default=[])
    ap.add_argument("--umbral", type=float, default=90.0)
    ap.add_argument("--limite", type=int, default=300, help="segundos por corrida de pruebas")
    # One scratch copy per work tree: two trees sampling at once never share it.
    ap.add_argument("--trabajo", default="/tmp/tolvex-mutantes-" + os.path.basename(RAIZ))
    args = ap.parse_args()

    rutas = [args.lista] if args.lista else sorted(glob.glob(os.path.join(RAIZ, "tests", "mutantes", "*.json")))
    try:
        lista = carga_listas(rutas)
    except (OSError, ValueError, KeyError) as e:
        print("lista inválida: %s" % e)
        return 2
    if args.solo:
        lista = [m for m in lista if m["id"] in args.solo]
    if args.carpeta:
        lista = [m for m in lista if m["carpeta"] in args.carpeta]
    if not lista:
        print("ningún mutante elegido")
        return 2

    # The build sits right under the copy and is configured like a
    # developer's test build, so the shared compiler cache serves it.
    fuente = os.path.join(args.trabajo, "src")
    build = os.path.join(fuente, "build-test")
    sincroniza_arbol(fuente)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
               CCACHE_BASEDIR=args.trabajo, CCACHE_NOHASHDIR="true")
    lanzador = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
    cod, salida = ejecuta(["cmake", "-S", fuente, "-B", build, "-G", "Ninja", "-DTOLVEX_WERROR=ON",
                           "-DCMAKE_BUILD_TYPE=RelWithDebInfo"] + lanzador, RAIZ, env=env)
    if cod != 0:
        print(salida)
        return 2

    objetivos = {}
    cod, salida = ejecuta(["ninja", "-C", build, "-t", "targets", "all"], RAIZ, env=env)
    conocidos = set(l.split(":")[0] for l in salida.splitlines()) if cod == 0 else set()

    def programas(patron):
        """The build targets of the test programs the pattern runs (a test
        whose program is not built yet is named after it)."""
        if patron not in objetivos:
            cod, salida = ejecuta(["ctest", "-R", patron, "--show-only=json-v1"], build, env=env)
            nombres = OrderedDict()
            if cod == 0:
                for t in json.loads(salida).get("tests", []):
                    cmd = t.get("command") or []
                    nombre = os.path.basename(cmd[0]) if cmd else t.get("name", "")
                    if nombre in conocidos:
                        nombres[nombre] = 1
            objetivos[patron] = list(nombres)
        return objetivos[patron]

    def construye(patron):
        destino = ["--target"] + programas(patron) if programas(patron) else []
        return ejecuta(["cmake", "--build", build, "-j", str(os.cpu_count() or 2)] + destino,
                       RAIZ, env=env)

    def prueba(patron):
        return ejecuta(["ctest", "-R", patron, "--timeout", str(args.limite), "-j", "2"],
                       build, limite=args.limite * 3, env=env)

    # Every area used builds and passes unmutated, or a failure proves nothing.
    for patron in OrderedDict((m["pruebas"], 1) for m in lista):
        cod, salida = construye(patron)
        if cod != 0:
            print(salida[-4000:])
            print("el árbol sin mutar no compila")
            return 2
        cod, salida = prueba(patron)
        if cod != 0:
            print(salida[-4000:])
            print("las pruebas '%s' fallan sin mutar" % patron)
            return 2

    resultados = []
    for m in lista:
        ruta = os.path.join(fuente, m["archivo"])
        try:
            with open(ruta, encoding="utf-8") as f:
                original = f.read()
        except OSError:
            resultados.append((m, "error de lista"))
            print("%-30s error de lista (no existe %s)" % (m["id"], m["archivo"]), flush=True)
            continue
        veces = original.count(m["texto"])
        if veces != 1:
            resultados.append((m, "error de lista"))
            print("%-30s error de lista (el texto aparece %d veces en %s)" % (m["id"], veces, m["archivo"]),
                  flush=True)
            continue
        inicio = time.monotonic()
        try:
            with open(ruta, "w", encoding="utf-8") as f:
                f.write(original.replace(m["texto"], m["cambio"]))
            cod, salida = construye(m["pruebas"])
            if cod != 0:
                estado = "no compila"
            else:
                cod, salida = prueba(m["pruebas"])
                estado = "muerto" if cod != 0 else "sobrevive"
        finally:
            with open(ruta, "w", encoding="utf-8") as f:
                f.write(original)
        resultados.append((m, estado))
        print("%-30s %-10s %5.0f s  %s" % (m["id"], estado, time.monotonic() - inicio, m["rompe"]),
              flush=True)

    print()
    print("%s  %s" % (datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), " ".join(sys.argv)))
    print("%-10s %8s %8s %10s %7s" % ("carpeta", "muertos", "vivos", "otros", "puntaje"))
    por_carpeta = OrderedDict()
    for m, estado in resultados:
        por_carpeta.setdefault(m["carpeta"], []).append(estado)
    bajo_umbral = False
    total_muertos = total_contados = 0
    for nombre, estados in sorted(por_carpeta.items()):
        muertos = estados.count("muerto")
        vivos = estados.count("sobrevive")
        contados = muertos + vivos
        puntaje = 100.0 * muertos / contados if contados else 0.0
        total_muertos += muertos
        total_contados += contados
        if contados and puntaje < args.umbral:
            bajo_umbral = True
        print("%-10s %8d %8d %10d %6.0f%%" % (nombre, muertos, vivos, len(estados) - contados, puntaje))
    if total_contados:
        print("%-10s %8d %8d %10s %6.0f%%" % ("total", total_muertos, total_contados - total_muertos,
                                               "", 100.0 * total_muertos / total_contados))
    for m, estado in resultados:
        if estado != "muerto":
            print("%s: %s (%s) %s" % (estado, m["id"], m["archivo"], m["rompe"]))
    if any(estado == "error de lista" for _, estado in resultados):
        return 2
    return 1 if bajo_umbral else 0


if __name__ == "__main__":
    sys.exit(main())

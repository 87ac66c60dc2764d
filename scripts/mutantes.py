#!/usr/bin/env python3
"""Mutation sample: plants each listed fault in a scratch copy of the tree,
rebuilds incrementally, runs the tests of that area, and reports which
faults the tests kill.

    python3 scripts/mutantes.py [--lista tests/mutantes.json] [--solo ID ...]
                                [--carpeta DIR ...] [--umbral 90] [--limite 300]

Each mutant in the list: {"id", "archivo", "texto", "cambio", "pruebas", "rompe"}:
the exact text (found exactly once in the file), its replacement, the ctest
regular expression of the area's tests, and one line of what it breaks.
Exit status: 0 when every folder reaches the threshold, 1 when one does not,
2 on a bad list or a tree that does not build or pass unmutated.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from collections import OrderedDict

RAIZ = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def ejecuta(cmd, cwd, limite=None, env=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=limite)
        return p.returncode, p.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired as e:
        salida = e.stdout.decode("utf-8", "replace") if e.stdout else ""
        return None, salida


def copia_arbol(destino):
    archivos = subprocess.check_output(["git", "ls-files", "-co", "--exclude-standard"],
                                       cwd=RAIZ).decode().splitlines()
    if os.path.isdir(destino):
        shutil.rmtree(destino)
    for rel in archivos:
        origen = os.path.join(RAIZ, rel)
        if not os.path.isfile(origen):
            continue
        dst = os.path.join(destino, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(origen, dst)


def carga_lista(ruta):
    with open(ruta, encoding="utf-8") as f:
        lista = json.load(f)
    vistos = set()
    for m in lista:
        for campo in ("id", "archivo", "texto", "cambio", "pruebas", "rompe"):
            if not isinstance(m.get(campo), str) or not m[campo]:
                raise ValueError("mutante %r: falta el campo %s" % (m.get("id"), campo))
        if m["id"] in vistos:
            raise ValueError("mutante repetido: %s" % m["id"])
        if m["texto"] == m["cambio"]:
            raise ValueError("mutante %s: el cambio no cambia nada" % m["id"])
        vistos.add(m["id"])
    return lista


def carpeta(m):
    return m["archivo"].split("/")[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lista", default=os.path.join(RAIZ, "tests", "mutantes.json"))
    ap.add_argument("--solo", nargs="*", default=[])
    ap.add_argument("--carpeta", nargs="*", default=[])
    ap.add_argument("--umbral", type=float, default=90.0)
    ap.add_argument("--limite", type=int, default=300, help="segundos por corrida de pruebas")
    ap.add_argument("--trabajo", default="/tmp/tolvex-mutantes")
    args = ap.parse_args()

    try:
        lista = carga_lista(args.lista)
    except (OSError, ValueError) as e:
        print("lista inválida: %s" % e)
        return 2
    if args.solo:
        lista = [m for m in lista if m["id"] in args.solo]
    if args.carpeta:
        lista = [m for m in lista if carpeta(m) in args.carpeta]
    if not lista:
        print("ningún mutante elegido")
        return 2

    fuente = os.path.join(args.trabajo, "src")
    build = os.path.join(args.trabajo, "build")
    copia_arbol(fuente)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
               CCACHE_BASEDIR=os.path.dirname(args.trabajo), CCACHE_NOHASHDIR="true")
    lanzador = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
    cod, salida = ejecuta(["cmake", "-S", fuente, "-B", build, "-G", "Ninja",
                           "-DCMAKE_BUILD_TYPE=RelWithDebInfo"] + lanzador, RAIZ, env=env)
    if cod != 0:
        print(salida)
        return 2

    def construye():
        return ejecuta(["cmake", "--build", build, "-j", str(os.cpu_count() or 2)], RAIZ, env=env)

    def prueba(patron):
        return ejecuta(["ctest", "-R", patron, "--timeout", str(args.limite), "-j", "2"],
                       build, limite=args.limite * 3, env=env)

    cod, salida = construye()
    if cod != 0:
        print(salida[-4000:])
        print("el árbol sin mutar no compila")
        return 2
    # Every area used must pass unmutated, or a failure proves nothing.
    for patron in OrderedDict((m["pruebas"], 1) for m in lista):
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
            resultados.append((m, "no aplica", "no existe el archivo"))
            print("%-28s no aplica (no existe %s)" % (m["id"], m["archivo"]), flush=True)
            continue
        veces = original.count(m["texto"])
        if veces != 1:
            resultados.append((m, "no aplica", "el texto aparece %d veces" % veces))
            print("%-28s no aplica (el texto aparece %d veces)" % (m["id"], veces), flush=True)
            continue
        inicio = time.monotonic()
        try:
            with open(ruta, "w", encoding="utf-8") as f:
                f.write(original.replace(m["texto"], m["cambio"]))
            cod, salida = construye()
            if cod != 0:
                estado = "no compila"
            else:
                cod, salida = prueba(m["pruebas"])
                estado = "muerto" if cod != 0 else "sobrevive"
        finally:
            with open(ruta, "w", encoding="utf-8") as f:
                f.write(original)
        resultados.append((m, estado, ""))
        print("%-28s %-10s %5.0f s  %s" % (m["id"], estado, time.monotonic() - inicio, m["rompe"]),
              flush=True)
    construye()

    print()
    print("%-10s %8s %8s %10s %7s" % ("carpeta", "muertos", "vivos", "no aplica", "puntaje"))
    por_carpeta = OrderedDict()
    for m, estado, _ in resultados:
        por_carpeta.setdefault(carpeta(m), []).append(estado)
    bajo_umbral = False
    total_muertos = total_contados = 0
    for nombre, estados in sorted(por_carpeta.items()):
        muertos = estados.count("muerto")
        vivos = estados.count("sobrevive")
        otros = len(estados) - muertos - vivos
        contados = muertos + vivos
        puntaje = 100.0 * muertos / contados if contados else 0.0
        total_muertos += muertos
        total_contados += contados
        if contados and puntaje < args.umbral:
            bajo_umbral = True
        print("%-10s %8d %8d %10d %6.0f%%" % (nombre, muertos, vivos, otros, puntaje))
    if total_contados:
        print("%-10s %8d %8d %10s %6.0f%%" % ("total", total_muertos, total_contados - total_muertos,
                                               "", 100.0 * total_muertos / total_contados))
    for m, estado, _ in resultados:
        if estado == "sobrevive":
            print("sobrevive: %s (%s) %s" % (m["id"], m["archivo"], m["rompe"]))
    return 1 if bajo_umbral else 0


if __name__ == "__main__":
    sys.exit(main())

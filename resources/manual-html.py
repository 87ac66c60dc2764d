#!/usr/bin/python3
"""Renders the operator's guide (Markdown) as one HTML page with its pictures.

    manual-html.py MANUAL.md OUT_DIR

Writes OUT_DIR/manual.html and copies every picture the guide shows, keeping
its relative path, so the folder can be installed as it is. Exits 1 naming
what is missing when a picture or a link inside the page has no target.
"""
import html
import os
import re
import shutil
import sys

import markdown
from markdown.extensions.toc import slugify_unicode

ESTILO = """
body { font-family: 'DejaVu Sans', sans-serif; max-width: 60em; margin: 2em auto;
       padding: 0 1em; line-height: 1.45; color: #1d2a38; }
img { max-width: 100%; border: 1px solid #c0c6cc; }
table { border-collapse: collapse; }
th, td { border: 1px solid #c0c6cc; padding: .25em .6em; text-align: left; }
code { background: #eceff2; padding: 0 .2em; }
"""


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("uso: manual-html.py MANUAL.md DIRECTORIO\n")
        return 2
    fuente, destino = sys.argv[1], sys.argv[2]
    with open(fuente, encoding="utf-8") as f:
        texto = f.read()
    cuerpo = markdown.markdown(
        texto, extensions=["tables", "toc", "fenced_code", "sane_lists"],
        extension_configs={"toc": {"slugify": slugify_unicode}})
    titulo = re.search(r"^# (.+)$", texto, re.M)
    titulo = titulo.group(1) if titulo else "Tolvex"

    faltan = []
    base = os.path.dirname(os.path.abspath(fuente))
    for img in sorted(set(re.findall(r'<img[^>]* src="([^"]+)"', cuerpo))):
        if "://" in img:
            continue
        origen = os.path.join(base, img)
        if not os.path.isfile(origen):
            faltan.append(img)
            continue
        os.makedirs(os.path.join(destino, os.path.dirname(img)), exist_ok=True)
        shutil.copyfile(origen, os.path.join(destino, img))
    ids = set(re.findall(r' id="([^"]+)"', cuerpo))
    for ancla in re.findall(r'<a href="#([^"]+)"', cuerpo):
        if html.unescape(ancla) not in ids:
            faltan.append("#" + ancla)
    if faltan:
        sys.stderr.write("manual-html.py: sin destino: %s\n" % ", ".join(faltan))
        return 1

    os.makedirs(destino, exist_ok=True)
    with open(os.path.join(destino, "manual.html"), "w", encoding="utf-8") as f:
        f.write('<!DOCTYPE html>\n<html lang="es">\n<head>\n<meta charset="utf-8">\n'
                "<title>%s</title>\n<style>%s</style>\n</head>\n<body>\n%s\n</body>\n</html>\n"
                % (html.escape(titulo), ESTILO, cuerpo))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/bin/sh
# Test-to-code ratio: non-blank, non-comment lines of tests/ against the
# production folders (C++, the web pages' JavaScript, CMake, Python and
# shell sources).
#   scripts/proporcion.sh
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT" || exit 1
cuenta() {
    # shellcheck disable=SC2068
    git ls-files -co --exclude-standard -- $@ |
        grep -E '\.(cpp|h|js|cmake|py|sh)$|CMakeLists\.txt$' |
        while read -r f; do [ -f "$f" ] && printf '%s\0' "$f"; done |
        xargs -0 -r awk '
            FNR == 1 { bloque = 0; c = (FILENAME ~ /\.(cpp|h|js)$/) }
            {
                l = $0; sub(/^[ \t]+/, "", l); sub(/[ \t\r]+$/, "", l)
                if (c && bloque) { if (index(l, "*/")) { bloque = 0; l = substr(l, index(l, "*/") + 2); sub(/^[ \t]+/, "", l) } else next }
                if (c && substr(l, 1, 2) == "/*") { if (!index(substr(l, 3), "*/")) { bloque = 1; next } }
                if (l == "") next
                if (c && substr(l, 1, 2) == "//") next
                if (!c && substr(l, 1, 1) == "#" && substr(l, 1, 2) != "#!") next
                n++
            }
            END { print n + 0 }'
}
PRUEBAS=$(cuenta tests)
CODIGO=$(cuenta app banco base data link reports sim station tools ui users web settings packaging main.cpp CMakeLists.txt)
awk -v p="$PRUEBAS" -v c="$CODIGO" 'BEGIN { printf "pruebas %d  código %d  proporción %.2f\n", p, c, p / c }'

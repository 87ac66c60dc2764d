#!/bin/sh
# Runs a test program on a real X desktop: a 1024x768 Xvfb screen with the
# openbox window manager, which decorates the windows as a plant's desktop
# does. Exits 77 (skipped) when either is missing.
#   escritorio.sh PROGRAM [ARGS...]
for p in xvfb-run openbox xprop; do
    if ! command -v "$p" >/dev/null 2>&1; then
        echo "SKIP: falta $p (scripts/deps.sh lo instala): sin escritorio real no se mide el marco"
        exit 77
    fi
done
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    openbox >/dev/null 2>&1 &
    wm=$!
    # The window manager is up when it names itself on the root window.
    n=0
    until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; do
        n=$((n + 1))
        if [ $n -gt 600 ]; then
            echo "openbox no arrancó"
            kill $wm
            exit 1
        fi
        sleep 0.1
    done
    QT_QPA_PLATFORM=xcb "$@"
    rc=$?
    kill $wm
    exit $rc
' escritorio "$@"

#!/bin/sh
# Creates the Wine prefix named by WINEPREFIX once; its first start takes a
# while and prints noise that belongs to no test. With HL_WINE_ROOT, the
# Wine of that (arm64) root.
set -eu
wine() {
    if [ -n "${HL_WINE_ROOT:-}" ]; then
        chroot "$HL_WINE_ROOT" /usr/lib/wine/wine64 "$@"
    else
        /usr/lib/wine/wine64 "$@"
    fi
}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wine wineboot --init </dev/null >"$WINEPREFIX.log" 2>&1 || {
        cat "$WINEPREFIX.log" >&2
        exit 1
    }
fi
wine cmd /c exit 0 </dev/null >/dev/null 2>&1
echo "wine prefix ready: $WINEPREFIX"

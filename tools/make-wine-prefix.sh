#!/bin/sh
# Creates the Wine prefix named by WINEPREFIX once; its first start takes a
# while and prints noise that belongs to no test.
set -eu
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    /usr/lib/wine/wine64 wineboot --init </dev/null >"$WINEPREFIX.log" 2>&1 || {
        cat "$WINEPREFIX.log" >&2
        exit 1
    }
fi
/usr/lib/wine/wine64 cmd /c exit 0 </dev/null >/dev/null 2>&1
echo "wine prefix ready: $WINEPREFIX"

#!/bin/sh
# Checks the dynamic interface of libhuxdrvr.so.
#   $1: the library   $2: the folder holding the host's libkelvor.so
set -eu
lib=$1
kelvor_dir=$2
fail() { echo "FAIL: $*"; exit 1; }

# Exactly one defined dynamic symbol, the function HuxMain.
defined=$(nm -D --defined-only "$lib" | awk '{print $2" "$3}')
[ "$defined" = "T HuxMain" ] || fail "defined dynamic symbols: $defined"

# err is imported under the version KELVOR from libkelvor.so, never from libc.
objdump -T "$lib" | grep -E '\*UND\*.*\(KELVOR\)[[:space:]]+err$' >/dev/null || fail "err@KELVOR not imported"
readelf -d "$lib" | grep -F '[libkelvor.so]' >/dev/null || fail "libkelvor.so not needed"
readelf -V "$lib" | grep -F 'File: libkelvor.so' >/dev/null || fail "no version need on libkelvor.so"

# A host without the logger library gets the loader's own error naming it.
# (An instrumented build cannot be loaded into a plain interpreter: the
# sanitizer runtime must come first. Its symbols are checked above all the same.)
if readelf -d "$lib" | grep -q 'libasan'; then
    echo "sanitizer build: load check left to the native build"
elif command -v python3 >/dev/null; then
    out=$(env -u LD_LIBRARY_PATH python3 -c 'import ctypes,sys
try:
    ctypes.CDLL(sys.argv[1]); print("loaded")
except OSError as e:
    print(e)' "$(readlink -f "$lib")" 2>&1) || true
    case "$out" in
        *libkelvor.so*) ;;
        *) fail "loading without libkelvor.so: $out" ;;
    esac
    out=$(LD_LIBRARY_PATH="$kelvor_dir" python3 -c 'import ctypes,sys
ctypes.CDLL(sys.argv[1]); print("loaded")' "$(readlink -f "$lib")" 2>&1)
    [ "$out" = loaded ] || fail "loading with libkelvor.so: $out"
fi
echo "library interface OK"

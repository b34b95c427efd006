#!/usr/bin/env bash
# The shipped exe runs on a clean Windows and carries nothing it does not use: it imports
# Windows system DLLs only, and of them only functions that the program's own code calls (no
# leftovers of a C runtime start-up such as __getmainargs, _initterm or VirtualProtect); its
# header asks for address space layout randomisation and no execution from data, and says it
# has no structured exception handlers.
# usage: check_imports.sh PROGRAM.exe   (its build tree's object files are read beside it)
set -euo pipefail
exe=$1
tree=$(cd "$(dirname "$exe")/.." && pwd)
objdump=i686-w64-mingw32-objdump
header=$("$objdump" -p "$exe")
status=0
fail() { echo "FAILED: $exe $*"; status=1; }

allowed='^(KERNEL32|USER32|ADVAPI32|GDI32|msvcrt)\.dll$'
dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$header")
[ -n "$dlls" ] || { echo "FAILED: no imports read from $exe"; exit 1; }
for dll in $dlls; do
  [[ $dll =~ $allowed ]] || fail "imports $dll"
done

# What the program's own objects call, undecorated: __imp_ and the i686 underscore and @N
# taken off.
objects=$(find "$tree/CMakeFiles" -name '*.obj' \( -path '*/updater_core.dir/*' -o \
          -path '*/updater_main.dir/*' -o -path '*/PelagioUpdate.dir/*' \))
[ -n "$objects" ] || { echo "FAILED: no object files of the exe under $tree"; exit 1; }
# shellcheck disable=SC2086
called=$(i686-w64-mingw32-nm -u $objects | awk '{ print $2 }' |
         sed -E 's/^__imp_//; s/^_//; s/@[0-9]+$//' | sort -u)
imports=$(awk '/DLL Name:/ { listing = 1; next }
               listing && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print $3 }
               /^$/ { listing = 0 }' <<<"$header" | sort -u)
[ -n "$imports" ] || { echo "FAILED: no imported functions read from $exe"; exit 1; }
for function in $imports; do
  grep -qx "$function" <<<"$called" || fail "imports $function, which the program never calls"
done

for flag in DYNAMIC_BASE NX_COMPAT NO_SEH; do
  grep -qw "$flag" <<<"$header" || fail "lacks $flag in its DllCharacteristics"
done
[ $status -eq 0 ] && echo "imports:" $dlls "($(wc -w <<<"$imports") functions, each called" \
  "by the program); DYNAMIC_BASE NX_COMPAT NO_SEH"
exit $status

#!/usr/bin/env bash
# The shipped exe runs on a clean Windows: it imports Windows system DLLs and nothing else,
# and its header asks for address space layout randomisation and no execution from data.
# usage: check_imports.sh PROGRAM.exe
set -euo pipefail
exe=$1
allowed='^(KERNEL32|USER32|ADVAPI32|GDI32|msvcrt)\.dll$'
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
[ -n "$dlls" ] || { echo "FAILED: no imports read from $exe"; exit 1; }
status=0
for dll in $dlls; do
  if ! [[ $dll =~ $allowed ]]; then
    echo "FAILED: $exe imports $dll"
    status=1
  fi
done
header=$(i686-w64-mingw32-objdump -p "$exe")
for flag in DYNAMIC_BASE NX_COMPAT; do
  if ! grep -qw "$flag" <<<"$header"; then
    echo "FAILED: $exe lacks $flag in its DllCharacteristics"
    status=1
  fi
done
[ $status -eq 0 ] && echo "imports:" $dlls "; DYNAMIC_BASE NX_COMPAT"
exit $status

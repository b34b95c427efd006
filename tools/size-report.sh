#!/usr/bin/env bash
# Prints the size of an exe, of its resource section and the difference: the code's own
# overhead beside the payload it carries.
set -euo pipefail
exe=${1:?usage: size-report.sh PROGRAM.exe}
objdump=$(command -v i686-w64-mingw32-objdump || command -v x86_64-w64-mingw32-objdump)
total=$(stat -c %s "$exe")
# The section's raw size on disk, as the section table gives it (column 3, hex).
rsrc_hex=$("$objdump" -h "$exe" | awk '$2 == ".rsrc" { print $3 }')
rsrc=$((16#${rsrc_hex:-0}))
printf '%-22s %9d bytes\n' "exe" "$total" "resources (.rsrc)" "$rsrc" "code and headers" "$((total - rsrc))"

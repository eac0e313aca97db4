#!/bin/sh
# Checks that a Windows program imports only the named DLLs (system DLLs,
# any case), so that it runs from its folder with nothing installed.
# Usage: check_exe_imports.sh OBJDUMP EXE DLL...
objdump=$1; exe=$2; shift 2
dump=$("$objdump" -p "$exe") || { echo "cannot read $exe"; exit 1; }
allowed=$(printf '%s\n' "$@" | tr 'a-z' 'A-Z')
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u)
[ -n "$imports" ] || { echo "no imports found in $exe"; exit 1; }
fail=0
for dllname in $imports; do
  echo "$allowed" | grep -qxF "$dllname" || { echo "imports $dllname, which is not among the DLLs allowed"; fail=1; }
done
echo "imports:" $imports
exit $fail

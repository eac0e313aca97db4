#!/bin/sh
# Checks a plug-in DLL: the machine type of its build, exactly the expected
# export names (undecorated), its own name, and imports from system DLLs only.
# Usage: check_dll.sh OBJDUMP DLL EXPORT...
objdump=$1; dll=$2; shift 2
dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }
fail=0
case "$objdump" in
  *i686*) echo "$dump" | grep -q 'file format pei-i386' || { echo "$dll is not a PE32 i386 DLL"; fail=1; } ;;
  *x86_64*) echo "$dump" | grep -q 'file format pei-x86-64' || { echo "$dll is not a PE32+ x86-64 DLL"; fail=1; } ;;
esac
# The name the DLL gives itself is its file name (.spi or .sph).
own=$(echo "$dump" | sed -n 's/^Name[[:space:]]*[0-9a-fA-F]* //p' | head -n 1)
[ "$own" = "$(basename "$dll")" ] || { echo "the DLL calls itself [$own], its file is $(basename "$dll")"; fail=1; }
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
expected=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
[ "$exports" = "$expected" ] || { echo "exports: got [$exports], expected [$expected]"; fail=1; }
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ')
for dllname in $imports; do
  case "$dllname" in
    KERNEL32.DLL|WINMM.DLL|MSVCRT.DLL|CRTDLL.DLL) ;;
    *) echo "imports a non-system DLL: $dllname"; fail=1 ;;
  esac
done
echo "exports: $exports"
echo "imports: $imports"
exit $fail

#!/bin/sh
# Checks the version resource of each Windows DLL or EXE: file and product
# version, product name, the file's own name, its description and the
# copyright line, read back with windres.
# Usage: check_version_info.sh WINDRES VERSION FILE DESCRIPTION [FILE DESCRIPTION]...
windres=$1; version=$2; shift 2
fail=0
while [ $# -ge 2 ]; do
  file=$1; description=$2; shift 2
  name=$(basename "$file")
  bad=0
  rc=$("$windres" -i "$file" -O rc 2>&1) || { echo "$name: no resources: $rc"; fail=1; continue; }
  numbers=$(echo "$version" | tr '.' ',')
  for expected in \
      "FILEVERSION ${numbers}, 0" "PRODUCTVERSION ${numbers}, 0" \
      "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
      "VALUE \"ProductName\", \"kaldorin\"" "VALUE \"OriginalFilename\", \"$name\"" \
      "VALUE \"FileDescription\", \"$description\"" \
      "VALUE \"LegalCopyright\", \"Copyright (c) 2026 the kaldorin developers"; do
    # windres writes the numbers as "0, 9, 0, 0".
    pattern=$(echo "$expected" | sed 's/,\([0-9]\)/, \1/g')
    echo "$rc" | grep -qF "$pattern" || { echo "$name: missing [$pattern]"; bad=1; }
  done
  if [ $bad -eq 0 ]; then echo "$name: $version, $description"; else fail=1; fi
done
exit $fail

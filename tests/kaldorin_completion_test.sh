#!/bin/bash
# The bash completion of kaldorin, sourced into a plain shell and asked for
# completions as bash would ask: COMP_WORDS and COMP_CWORD set, the function
# called, COMPREPLY compared with the expected words (sorted).
# usage: kaldorin_completion_test.sh COMPLETION KALDORIN
set -u
completion=$1
tool=$2
# shellcheck source=/dev/null
source "$completion" || exit 1

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir sub empty
for f in a.i24 B.I24 c.png d.BMP e.txt h.dat README.TXT PIC.I24; do echo "$f" > "$f"; done
"$tool" pack G.PAK README.TXT PIC.I24 >/dev/null || { echo "kaldorin pack failed"; exit 1; }
plugins=$(dirname "$tool")

failures=0
# check EXPECTED WORD...: the last WORD is the one being completed.
check() {
  local expected=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _kaldorin
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ')
  got=${got% }
  if [[ $got != "$expected" ]]; then
    echo "FAIL: ${*:2}<TAB>: expected [$expected], got [$got]"
    failures=$((failures + 1))
  fi
}

check "compare decode delete encode extract help info list pack plugins rename test update" "$tool" ""
check "extract" "$tool" ex
check "--skip-existing" "$tool" extract G.PAK --sk
check "--via-memory" "$tool" --plugins "$plugins" extract --vi
check "--background" "$tool" encode --b
check "" "$tool" compare --sk
check "--version" "$tool" --vers
check "bmp png" "$tool" decode a.i24 -d out --format ""
check "png" "$tool" decode a.i24 -d out --format = p
check "B.I24 PIC.I24 a.i24 empty sub" "$tool" decode ""
check "B.I24 PIC.I24 a.i24 empty sub" "$tool" -q info ""
check "e.txt empty" "$tool" info e
check "G.PAK empty h.dat sub" "$tool" list -v ""
check "" "$tool" list G.PAK ""
check "G.PAK empty h.dat sub" "$tool" extract ""
check "B.I24 G.PAK PIC.I24 a.i24 empty h.dat sub" "$tool" test G.PAK ""
check "c.png d.BMP empty sub" "$tool" encode ""
check "" "$tool" compare c.png d.BMP ""
check "B.I24 G.PAK PIC.I24 README.TXT a.i24 c.png d.BMP e.txt empty h.dat sub" "$tool" pack NEW.PAK B.I24 ""
check "empty sub" "$tool" extract G.PAK -d ""
check "sub" "$tool" --plugins s
check "PIC.I24 README.TXT" "$tool" extract G.PAK ""
check "README.TXT" "$tool" extract --json G.PAK re
check "PIC.I24" "$tool" extract G.PAK readme.txt ""
check "PIC.I24 README.TXT" "$tool" --plugins "$plugins" extract -d sub G.PAK ""
check "PIC.I24 README.TXT" "$tool" extract --plugins = "$plugins" G.PAK ""
check "" "$tool" --plugins empty extract G.PAK ""
HOME=$work check "PIC.I24 README.TXT" "$tool" extract \~/G.PAK ""
check "" "$tool" extract - ""
check "" "$tool" extract sub ""
check "--repair" "$tool" update G.PAK --re
check "G.PAK empty h.dat sub" "$tool" delete ""
check "PIC.I24" "$tool" delete G.PAK readme.txt ""
check "PIC.I24 README.TXT" "$tool" rename G.PAK ""
check "" "$tool" rename G.PAK PIC.I24 ""

if ((failures > 0)); then
  echo "$failures completion checks failed"
  exit 1
fi
echo "all completion checks passed"

#!/bin/sh
# The man page renders with no warnings from mandoc and groff, and it and the
# bash completion name every option that `kaldorin --help` lists.
# usage: check_man_page.sh PAGE KALDORIN COMPLETION
set -u
page=$1
tool=$2
completion=$3
status=0

if ! command -v mandoc >/dev/null; then
  echo "mandoc is missing (scripts/install-deps.sh installs it)"
  exit 1
fi
out=$(mandoc -T lint -W warning "$page" 2>&1)
if [ -n "$out" ]; then
  printf 'mandoc:\n%s\n' "$out"
  status=1
fi
if command -v groff >/dev/null; then
  out=$(groff -man -ww -z "$page" 2>&1)
  if [ -n "$out" ]; then
    printf 'groff:\n%s\n' "$out"
    status=1
  fi
fi

options=$("$tool" --help | sed -n 's/^  \(-[^ ,]*\)\(, \(--[^ ]*\)\)\{0,1\}.*/\1 \3/p')
[ -n "$options" ] || { echo "kaldorin --help lists no options"; exit 1; }
for option in $options; do
  roff=$(printf '%s' "$option" | sed 's/-/\\-/g')
  if ! grep -qF -- "$roff" "$page"; then
    echo "$page: $option is not described"
    status=1
  fi
  if ! grep -qE -- "(^|[ \"])$option( |\"|\))" "$completion"; then
    echo "$completion: $option is not completed"
    status=1
  fi
done
exit $status

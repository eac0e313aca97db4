#!/bin/sh
# The man page renders with no warnings from mandoc and groff, and it and the
# bash completion name exactly the commands and options of the tool's table.
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

# The commands and options of the tool's own table (kaldorin --print-table),
# against the man page's COMMANDS and OPTIONS entries and the completion's
# word lists: each must name exactly what the table has.
table=$("$tool" --print-table) || { echo "kaldorin --print-table failed"; exit 1; }
commands=$(printf '%s\n' "$table" | sed -n 's/^commands: //p')
[ -n "$commands" ] || { echo "kaldorin --print-table lists no commands"; exit 1; }
all_options=$(printf '%s\n' "$table" | sed -n '/^commands: /!s/^[a-z]*: //p' | tr ' ' '\n' | sort -u)

# sorted_words WORD...: one per line, sorted, no repeats.
sorted_words() { printf '%s\n' "$@" | sed '/^$/d' | sort -u; }
# same WHAT EXPECTED GOT: reports the words one list has and the other lacks.
same() {
  if [ "$2" != "$3" ]; then
    printf '%s\n' "$2" > "$work/expected"
    printf '%s\n' "$3" > "$work/got"
    echo "$1: missing [$(comm -23 "$work/expected" "$work/got" | tr '\n' ' ')]," \
      "not in the table [$(comm -13 "$work/expected" "$work/got" | tr '\n' ' ')]"
    status=1
  fi
}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

# The first line after each .TP of a section, roff escapes removed.
entries() {
  awk -v section="$1" '/^\.SH / { on = ($2 == section); next } on && prev == ".TP" { print } { prev = $0 }' "$page" |
    sed 's/\\f[BIPR]//g; s/\\-/-/g; s/\\&//g'
}
man_commands=$(entries COMMANDS | sed 's/^\.B //; s/ .*//')
man_options=$(entries OPTIONS | tr ' ",' '\n\n\n' | sed 's/^\.B[IR]* //' | grep -E '^-{1,2}[a-z][a-z-]*$')
same "$page: COMMANDS" "$(sorted_words $commands)" "$(sorted_words $man_commands)"
same "$page: OPTIONS" "$all_options" "$(sorted_words $man_options)"

# The completion's words: the commands, and each command's options.
complete_words() {
  bash --norc -c 'source "$1" && shift && "$@"' _ "$completion" "$@"
}
got=$(complete_words eval 'COMP_WORDS=(kaldorin ""); COMP_CWORD=1; _kaldorin; printf "%s\n" "${COMPREPLY[@]}"')
same "$completion: commands" "$(sorted_words $commands)" "$(sorted_words $got)"
for command in $commands; do
  expected=$(printf '%s\n' "$table" | sed -n "s/^$command: //p")
  same "$completion: $command" "$(sorted_words $expected)" "$(sorted_words $(complete_words _kaldorin_options "$command"))"
done
global=$(printf '%s\n' "$table" | sed -n 's/^global: //p')
same "$completion: before a command" "$(sorted_words $all_options $global)" \
  "$(sorted_words $(complete_words _kaldorin_options ""))"
exit $status

#!/bin/sh
# Runs a Windows program under Wine with the build's own prefix, quietly.
# Usage: run-under-wine.sh LOADER PREFIX PROGRAM [ARGS...]
loader=$1; prefix=$2; shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec "$loader" "$@"

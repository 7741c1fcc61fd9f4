#!/usr/bin/env bash
# Runs the real program under Wine and checks its whole exit code (Linux sees only the low
# byte, so the code is read through cmd's errorlevel) and the message boxes it shows (read
# from Wine's relay trace, as without a display a message box returns at once).
# usage: run_program.sh <wine-run> <program> <expected code> <expected message box pattern (extended regex) | -> [args...]
# "-" means no message box at all. The program runs in a fresh folder holding an empty x.iso.
set -euo pipefail
wine_run=$1 program=$2 expected=$3 message=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
: > x.iso
win_program=$("$wine_run" winepath -w "$program" | tr -d '\r')
code=$("$wine_run" cmd /v:on /c "start /wait \"\" \"$win_program\" $* & echo !errorlevel!" | tr -d '\r' | tail -n 1 || true)
if [ "$code" != "$expected" ]; then
  echo "exit code $code, expected $expected"
  exit 1
fi
boxes=$(WINEDEBUG=+relay "$wine_run" "$program" "$@" 2>&1 | grep -a 'Call user32.MessageBoxW' || true)
echo "${boxes:-no message box}"
if [ "$message" = "-" ]; then
  [ -z "$boxes" ] || { echo "unexpected message box"; exit 1; }
else
  grep -qE -- "$message" <<< "$boxes" || { echo "missing message box: $message"; exit 1; }
fi
echo "ok: exit code $code"

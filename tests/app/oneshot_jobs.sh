#!/usr/bin/env bash
# The real program's driver and letter one-shots under Wine, in the prefix named by
# VOSTRALE_WINEPREFIX: each exit code, and the activity log line that says why. Wine has no
# driver package beside the test build's program and stubs mount points, so /XI and a letter
# move must fail with 1; /XU finds nothing installed and succeeds with 0.
# usage: oneshot_jobs.sh <run_program.sh> <wine-run> <program>
set -euo pipefail
run_program=$1 wine_run=$2 program=$3
prefix=${VOSTRALE_WINEPREFIX:?a prefix of its own}
"$wine_run" cmd /c exit 0

# A CD-ROM drive R: for the letter move to work on (Wine reads drive types at server start).
cd_folder=$(mktemp -d)
trap 'rm -rf "$cd_folder"' EXIT
ln -sfn "$cd_folder" "$prefix/dosdevices/r:"
"$wine_run" reg add 'HKLM\Software\Wine\Drives' /v r: /d cdrom /f > /dev/null
WINEPREFIX=$prefix wineserver -w

log() { cat "$prefix"/drive_c/users/*/Documents/Vostrale/log.txt 2> /dev/null | tr -d '\r'; }
expect_logged() {
  log | grep -qE -- "$1" || { echo "log lacks: $1"; log | tail -n 20; exit 1; }
}
fresh_log() { rm -f "$prefix"/drive_c/users/*/Documents/Vostrale/log.txt; }

fresh_log
"$run_program" "$wine_run" "$program" 1 - /YRS
expect_logged 'I Move drive letter R: to S:'
expect_logged ' E (Removing|Setting|Volume name of|Restoring) R:'

for bad in /YRR /YR1 /Yrs /YRA /YBS; do
  fresh_log
  "$run_program" "$wine_run" "$program" 1 - "$bad"
  expect_logged ' E Move refused'
done

fresh_log
"$run_program" "$wine_run" "$program" 1 - /XI
expect_logged ' E Staging the driver package failed'
expect_logged ' E Job failed'

fresh_log
"$run_program" "$wine_run" "$program" 1 - /XI:12345
expect_logged ' E Job failed'

fresh_log
"$run_program" "$wine_run" "$program" 0 - /XU
expect_logged 'I Uninstall driver'
expect_logged 'I Job done'
echo "ok: one-shot exit codes"

#!/usr/bin/env bash
# The Windows directory reader on a folder that its user may not read. Under Wine, Unix permissions
# bind every user but root, so the folder is made unreadable on the Unix side (mode 000) and the
# scanner tests' access-denied case runs as the user nobody. Exit status 77 (skipped) when the
# tests cannot change users; 1 unless that case ran and passed.
# Usage: directory_reader_win32_denied_test.sh <wine-run> <wine prefix> <scanner_test.exe>
set -euo pipefail
wine_run=$1
prefix=$2
tests=$3
case_name=WindowsDirectoryReader.AFolderTheUserCannotReadIsAccessDenied

folder=$(mktemp -d "${TMPDIR:-/tmp}/ketterlin-denied-XXXXXX")
trap 'chmod 700 "$folder/locked" 2>/dev/null || true; rm -rf "$folder"' EXIT
chmod 755 "$folder"
mkdir "$folder/locked"
touch "$folder/locked/secret.txt"
chmod 000 "$folder/locked"

status=0
output=$(KETTERLIN_LOCKED_FOLDER=$folder/locked \
  "$wine_run" --unprivileged "$prefix" "$tests" --gtest_filter="$case_name" 2>&1) || status=$?
echo "$output"
[[ $status -ne 77 ]] || exit 77
# A filter that selects nothing, or a case that skips itself, passes in GoogleTest: insist on it.
grep -qF "[       OK ] $case_name" <<<"$output" || exit 1
exit "$status"

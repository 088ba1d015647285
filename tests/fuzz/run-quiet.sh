#!/usr/bin/env bash
# Runs a libFuzzer command line with its log cut down for CI: the line per
# new or reduced input goes, the pulses, the final coverage line, the stats
# and any crash report stay. The exit status is the fuzzer's.
set -o pipefail
"$@" 2>&1 | grep -avE '^#[0-9]+[[:space:]]+(NEW|REDUCE) '

#!/usr/bin/env bash
# Fails when the committed tree holds what must never be committed: an
# unresolved merge (conflict markers at the start of a line) or a libFuzzer
# artefact (crash-*, leak-*, timeout-*, oom-*, slow-unit-*; a finding worth
# keeping goes to fuzz/findings/ under its target's name). Only the opening
# and closing markers count: a line of "=======" alone can be a heading.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0

artefacts=$(git ls-files | grep -E '(^|/)(crash|leak|timeout|oom|slow-unit)-[^/]*$')
if [ -n "$artefacts" ]; then
  echo "check-tree: fuzzer artefacts are committed:" >&2
  echo "$artefacts" | sed 's/^/  /' >&2
  status=1
fi

# Text files only (-I); fuzz inputs may hold any bytes.
markers=$(git grep -I -n -E '^(<<<<<<<|>>>>>>>)( |$)' -- . ':!fuzz/findings/')
if [ -n "$markers" ]; then
  echo "check-tree: unresolved merge conflicts:" >&2
  echo "$markers" | sed 's/^/  /' >&2
  status=1
fi

exit $status

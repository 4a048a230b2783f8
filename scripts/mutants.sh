#!/usr/bin/env bash
# Small faults put into a scratch copy of the tree, one at a time; a test must
# fail for each. Too slow for CI: run it before calling a change done.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutants.py "$@"

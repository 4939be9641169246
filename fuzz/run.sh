#!/usr/bin/env bash
# Long fuzzing runs for developers:  fuzz/run.sh [SECONDS_PER_FUNCTION] [FUNCTION...]
# (default: 600 s for each of the ten functions, one after the other). New inputs that add
# coverage are merged into fuzz/corpus/<function> at the end; commit them if the corpus
# stays small. A finding stops that function's run and is saved under build/fuzz-work/findings;
# turn it into a test in tests/test_fuzz_regressions.py, then fix the fault.
# Replay one saved input against any build:
#   PYTHONPATH=build/<dir> python fuzz/random_run.py --function=NAME --seconds=0 FILE
set -uo pipefail
source "$(dirname "$0")/common.sh"

seconds=${1:-600}
shift || true
names=("$@")
[ ${#names[@]} -gt 0 ] || names=("${FUZZ_FUNCTIONS[@]}")

fuzz_setup || exit 1
echo "fuzz mode: $FUZZ_MODE ${FUZZ_REASON:+($FUZZ_REASON)}"
status=0
for name in "${names[@]}"; do
    echo "== $name, $seconds s"
    rm -rf "$FUZZ_WORK/new/$name"
    fuzz_one "$name" "$seconds" 2>&1 | grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse)' || status=1
    if [ "$FUZZ_MODE" = coverage ] && [ -d "$FUZZ_WORK/new/$name" ]; then
        fuzz_python "$FUZZ_ROOT/fuzz/fuzz_target.py" --function="$name" -merge=1 \
            "$FUZZ_ROOT/fuzz/corpus/$name" "$FUZZ_WORK/new/$name" 2>&1 | grep -E '^MERGE-OUTER: [0-9]+ new files'
    fi
done
du -sh "$FUZZ_ROOT/fuzz/corpus"
exit $status

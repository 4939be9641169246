#!/usr/bin/env bash
# Bounded fuzzing of all ten functions under AddressSanitizer + UndefinedBehaviorSanitizer,
# for CI. Builds everything it needs from scratch under build/fuzz-work (a private virtual
# environment, the sanitized module), then fuzzes each function for FUZZ_SECONDS (default
# 60), FUZZ_JOBS at a time (default 2), starting from the corpus kept in fuzz/corpus.
# Exits non-zero on any finding (crash, sanitizer report, hang, oversized allocation,
# broken promise) and names the input that caused it.
#
# Coverage-guided (atheris + libFuzzer over a clang build with sanitizer coverage) when
# atheris and clang can be installed; otherwise it says so and falls back to the same
# decoder fed by a seeded random generator over the gcc sanitizer build. Last, the threaded
# tests run over a ThreadSanitizer build.
set -uo pipefail
source "$(dirname "$0")/common.sh"

SECONDS_EACH=${FUZZ_SECONDS:-60}
JOBS=${FUZZ_JOBS:-2}
started=$(date +%s)

fuzz_setup || { echo "fuzz: the sanitizer build failed"; exit 1; }
if [ "$FUZZ_MODE" = coverage ]; then
    echo "fuzz mode: coverage-guided (atheris + libFuzzer, clang, ASan + UBSan)"
else
    echo "fuzz mode: RANDOM INPUTS ONLY, no coverage guidance ($FUZZ_REASON); gcc, ASan + UBSan"
fi
rm -rf "$FUZZ_WORK/findings" "$FUZZ_WORK/logs" "$FUZZ_WORK/new"
mkdir -p "$FUZZ_WORK/logs"

running=0
for name in "${FUZZ_FUNCTIONS[@]}"; do
    if [ "$running" -ge "$JOBS" ]; then
        wait -n
        running=$((running - 1))
    fi
    ( fuzz_one "$name" "$SECONDS_EACH" >"$FUZZ_WORK/logs/$name.log" 2>&1
      echo $? >"$FUZZ_WORK/logs/$name.rc" ) &
    running=$((running + 1))
done
wait

passed=0 failed=0
for name in "${FUZZ_FUNCTIONS[@]}"; do
    rc=$(cat "$FUZZ_WORK/logs/$name.rc" 2>/dev/null || echo 99)
    if [ "$rc" = 0 ]; then
        passed=$((passed + 1))
        if [ "$FUZZ_MODE" = coverage ]; then
            runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$FUZZ_WORK/logs/$name.log" | grep -o '[0-9]*$')
            echo "ok    $name: ${runs:-?} inputs"
        else
            echo "ok    $name: $(tail -1 "$FUZZ_WORK/logs/$name.log")"
        fi
    else
        failed=$((failed + 1))
        echo "FAIL  $name (exit $rc); last lines of $FUZZ_WORK/logs/$name.log:"
        grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse)' "$FUZZ_WORK/logs/$name.log" | tail -40 | sed 's/^/    /'
    fi
done
for f in "$FUZZ_WORK"/findings/*; do
    [ -e "$f" ] || continue
    case "$f" in
        *-slow-unit-*) echo "slow input (over 10 s under the sanitizers; not a failure): $f" ;;
        *) echo "finding saved: $f ($(od -An -tx1 -v "$f" | tr -d ' \n' | head -c 400))" ;;
    esac
done
echo "== data races: ThreadSanitizer over the threaded tests"
fuzz_tsan >"$FUZZ_WORK/logs/tsan.log" 2>&1
case $? in
    0) passed=$((passed + 1)); echo "ok    ThreadSanitizer: $(tail -1 "$FUZZ_WORK/logs/tsan.log")" ;;
    2) echo "SKIPPED ThreadSanitizer: the compiler has no TSan runtime" ;;
    *) failed=$((failed + 1)); echo "FAIL  ThreadSanitizer; last lines of $FUZZ_WORK/logs/tsan.log:"
       tail -60 "$FUZZ_WORK/logs/tsan.log" | sed 's/^/    /' ;;
esac
echo "fuzz wall time: $(( $(date +%s) - started )) s"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" = 0 ]

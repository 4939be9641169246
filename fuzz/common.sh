# Shared by fuzz/ci.sh and fuzz/run.sh (sourced, not run). Sets up a private virtual
# environment and builds the module under AddressSanitizer + UndefinedBehaviorSanitizer,
# with sanitizer coverage for the fuzzing engine when clang and atheris are available.
#
# After `fuzz_setup`:
#   FUZZ_MODE     "coverage" (atheris + libFuzzer, clang build) or "random" (seeded random
#                 inputs, gcc build): the second is the fallback when no engine can be had
#   FUZZ_REASON   why the fallback was taken (empty in coverage mode); FUZZ_FORCE_RANDOM=1
#                 takes it on purpose
#   FUZZ_PY       the environment's python
#   FUZZ_BUILD    the build directory holding the sanitized module
#   fuzz_python   runs FUZZ_PY with the sanitizer runtime preloaded and the module importable

FUZZ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FUZZ_WORK=${FUZZ_WORK:-$FUZZ_ROOT/build/fuzz-work}
FUZZ_FUNCTIONS=(rs_detect_peaks rs_detect_peaks3d rs_draw_tracks rs_draw_tracks_3d rs_draw_tracks_value
                rs_draw_tracks_value_3d rs_radial_symmetry_2d rs_radial_symmetry_3d rs_link_points rs_link_points_3d)
# Function pointer casts in CPython's method tables trip -fsanitize=function, and the vptr
# check needs a C++ runtime that the fuzzer's preloaded runtime does not carry.
FUZZ_SAN_FLAGS="-fsanitize=address,undefined -fno-sanitize=vptr,function -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"

fuzz_log() { echo "[fuzz] $*"; }

fuzz_can_apt() { [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; }

fuzz_apt_install() {
    fuzz_log "installing $* with apt-get" >&2
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"; } >&2
}

# Prints a clang++ with its sanitizer runtimes, installing them with Debian's package manager
# when they are missing and we may.
fuzz_find_clang() {
    local cxx= candidate
    for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
        if command -v "$candidate" >/dev/null; then cxx=$candidate; break; fi
    done
    if [ -z "$cxx" ] && fuzz_can_apt && fuzz_apt_install clang && command -v clang++ >/dev/null; then
        cxx=clang++
    fi
    [ -n "$cxx" ] || return 1
    if [ ! -e "$("$cxx" -print-resource-dir)/share/asan_ignorelist.txt" ] && fuzz_can_apt; then
        fuzz_apt_install "libclang-rt-$("$cxx" -dumpversion | cut -d. -f1)-dev" || true
    fi
    echo "$cxx"
}

fuzz_setup() {
    local python=${PYTHON:-python3}
    mkdir -p "$FUZZ_WORK"
    if [ ! -x "$FUZZ_WORK/venv/bin/python" ]; then
        "$python" -m venv "$FUZZ_WORK/venv"
    fi
    FUZZ_PY=$FUZZ_WORK/venv/bin/python
    "$FUZZ_PY" -m pip install -q --disable-pip-version-check numpy cmake ninja
    FUZZ_MODE=coverage
    FUZZ_REASON=
    if [ -n "${FUZZ_FORCE_RANDOM:-}" ]; then
        FUZZ_MODE=random FUZZ_REASON="FUZZ_FORCE_RANDOM is set"
    elif ! "$FUZZ_PY" -m pip install -q --disable-pip-version-check atheris; then
        FUZZ_MODE=random FUZZ_REASON="atheris could not be installed"
    fi
    local cxx=
    if [ "$FUZZ_MODE" = coverage ] && ! cxx=$(fuzz_find_clang); then
        FUZZ_MODE=random FUZZ_REASON="no clang compiler could be found or installed"
    fi
    if [ "$FUZZ_MODE" = coverage ]; then
        FUZZ_BUILD=$FUZZ_WORK/build-coverage
        if ! fuzz_cmake "$FUZZ_BUILD" -DCMAKE_CXX_COMPILER="$cxx" \
                -DCMAKE_CXX_FLAGS="$FUZZ_SAN_FLAGS -fsanitize=fuzzer-no-link"; then
            FUZZ_MODE=random FUZZ_REASON="the clang build with sanitizer coverage failed"
        fi
    fi
    if [ "$FUZZ_MODE" = coverage ]; then
        FUZZ_PRELOAD=$("$FUZZ_PY" -c "import atheris, os; print(os.path.join(atheris.path(), 'asan_with_fuzzer.so'))")
        if ! fuzz_python -c "import atheris, trakora" >/dev/null 2>&1; then
            FUZZ_MODE=random FUZZ_REASON="the coverage build does not load with the fuzzer's runtime"
        fi
    fi
    if [ "$FUZZ_MODE" = random ]; then
        FUZZ_BUILD=$FUZZ_WORK/build-sanitize
        fuzz_cmake "$FUZZ_BUILD" -DTRAKORA_SANITIZE=ON || return 1
        local cc=${CXX:-g++}
        FUZZ_PRELOAD="$("$cc" -print-file-name=libasan.so):$("$cc" -print-file-name=libubsan.so)"
    fi
}

fuzz_cmake() {
    local dir=$1
    shift
    local bin
    bin=$(dirname "$FUZZ_PY")
    "$bin/cmake" -S "$FUZZ_ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
        -DPython_EXECUTABLE="$FUZZ_PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.log" 2>&1 &&
        "$bin/cmake" --build "$dir" -j"${FUZZ_BUILD_JOBS:-2}" >>"$dir.log" 2>&1 || {
        tail -20 "$dir.log"
        return 1
    }
}

# Python is not built with ASan: preload the runtime, ignore the interpreter's deliberate
# leaks at exit, make every report fatal. Allocations above 1 GiB fail (and are then
# reported by the judge as a MemoryError where none is allowed, or by libFuzzer).
fuzz_python() {
    LD_PRELOAD="$FUZZ_PRELOAD" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=1024:quarantine_size_mb=64 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONPATH="$FUZZ_BUILD" \
        "$FUZZ_PY" "$@"
}

# Fuzzes one function for $2 seconds. Extra corpus directories (read only) may follow.
# New inputs go to $FUZZ_WORK/new/NAME; a finding is saved in $FUZZ_WORK/findings/.
fuzz_one() {
    local name=$1 seconds=$2
    shift 2
    mkdir -p "$FUZZ_WORK/new/$name" "$FUZZ_WORK/findings" "$FUZZ_ROOT/fuzz/corpus/$name"
    if [ "$FUZZ_MODE" = coverage ]; then
        fuzz_python "$FUZZ_ROOT/fuzz/fuzz_target.py" --function="$name" \
            -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -malloc_limit_mb=1024 \
            -max_len=1024 -len_control=0 -print_final_stats=1 \
            -artifact_prefix="$FUZZ_WORK/findings/$name-" \
            "$FUZZ_WORK/new/$name" "$FUZZ_ROOT/fuzz/corpus/$name" "$@"
    else
        fuzz_python "$FUZZ_ROOT/fuzz/random_run.py" --function="$name" --seconds="$seconds" \
            --seed="${FUZZ_SEED:-$RANDOM}" --timeout=20 "$FUZZ_ROOT/fuzz/corpus/$name" "$@"
    fi
}

# Builds the module with ThreadSanitizer (gcc) and runs the tests that call it from many
# threads and compare thread counts. TSan cannot follow a fork of a threaded process, so
# the fork tests stay with the other sanitizers. Returns 2 when TSan is not available.
fuzz_tsan() {
    local cxx=${CXX:-g++} runtime
    runtime=$("$cxx" -print-file-name=libtsan.so)
    [ -e "$runtime" ] || return 2
    "$FUZZ_PY" -m pip install -q --disable-pip-version-check pytest hypothesis || return 1
    fuzz_cmake "$FUZZ_WORK/build-tsan" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-fsanitize=thread -g" \
        -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" || return 1
    (cd "$FUZZ_ROOT" &&
        LD_PRELOAD="$runtime" TSAN_OPTIONS="halt_on_error=1 exitcode=66" TRAKORA_SANITIZE=1 \
        PYTHONPATH="$FUZZ_WORK/build-tsan" "$FUZZ_PY" -m pytest -q -p no:cacheprovider \
            tests/test_concurrency.py::test_many_python_threads_get_sequential_results \
            tests/test_invariance.py::test_results_do_not_depend_on_the_number_of_threads)
}


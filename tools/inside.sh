# The steps of tools/dev, run where CPython 3.14 is (the host or the root).
# Build folders live under build/ in the clone; each is incremental.
set -euo pipefail

python=${KELTO_PYTHON:-python3}
jobs=$(nproc)
build=build

step() { printf '\n=== %s\n' "$*"; }

# Runs a build step without its progress lines, showing them only on failure.
quietly() {
    local log
    log=$(mktemp)
    "$@" >"$log" 2>&1 || { cat "$log"; rm -f "$log"; return 1; }
    rm -f "$log"
}

# The main build: extension module, C++ unit tests and benchmarks, with -Werror.
build_main() {
    cmake -S . -B "$build/main" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython3_EXECUTABLE="$(command -v "$python")" \
        -DKELTO_BUILD_TESTS=ON -DKELTO_BUILD_BENCH=ON -DKELTO_WERROR=ON >/dev/null
    cmake --build "$build/main" -j "$jobs"
}

# The module built for the debug interpreter's ABI, for the leak check.
build_debug() {
    cmake -S . -B "$build/debug" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DPython3_EXECUTABLE="$(command -v python3.14-dbg)" -DKELTO_INTROSPECTION=OFF -DKELTO_WERROR=ON >/dev/null
    cmake --build "$build/debug" -j "$jobs"
}

# The core and its fuzz targets with clang, libFuzzer, ASan and UBSan.
build_fuzz() {
    CXX=clang++ cmake -S . -B "$build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKELTO_BUILD_MODULE=OFF -DKELTO_BUILD_FUZZERS=ON -DKELTO_SANITIZE=ON -DKELTO_WERROR=ON >/dev/null
    cmake --build "$build/fuzz" -j "$jobs"
}

# The module, the core and its unit tests with clang, AddressSanitizer and UBSan,
# for the Python suite run under an interpreter that preloads the ASan runtime.
build_asan() {
    CXX=clang++ cmake -S . -B "$build/asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython3_EXECUTABLE="$(command -v "$python")" -DKELTO_BUILD_TESTS=ON \
        -DKELTO_SANITIZE=ON -DKELTO_WERROR=OFF -DKELTO_INTROSPECTION=ON >/dev/null
    cmake --build "$build/asan" -j "$jobs"
}

# A wheel as pip builds it, installed into a fresh virtual environment, so the
# Python suite runs against the installed copy and not the build tree.
install_wheel() {
    rm -rf "$build/dist" "$build/venv"
    "$python" -m pip wheel --no-build-isolation --no-deps -q -w "$build/dist" \
        -Cbuild-dir="$build/wheel" .
    "$python" -m venv --system-site-packages "$build/venv"
    "$build/venv/bin/python" -m pip install --no-index --no-deps -q "$build/dist"/kelto-*.whl
}

# pytest exits 5 when it collected nothing: that is a failure here.
run_pytest() {
    local interpreter=$1; shift
    local rc=0
    "$interpreter" -m pytest -p no:cacheprovider "$@" || rc=$?
    [ "$rc" -ne 5 ] || { echo "pytest collected no tests" >&2; return 1; }
    return "$rc"
}

# The C++ unit tests of build/asan, with LeakSanitizer on: a tree node that
# outlives its last reference is reported here, since nodes are not Python memory.
run_asan_ctest() {
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        ctest --test-dir "$build/asan" --output-on-failure -j "$jobs" >"$build/asan-ctest.log" \
        || { cat "$build/asan-ctest.log"; return 1; }
    grep -E "tests passed" "$build/asan-ctest.log"
}

# The Python suite against build/asan. The interpreter is not instrumented, so the
# ASan runtime is preloaded; PYTHONMALLOC=malloc lets ASan see every allocation.
# LeakSanitizer stays off: the interpreter keeps its own objects until exit.
run_asan_pytest() {
    LD_PRELOAD="$(clang -print-file-name=libclang_rt.asan-x86_64.so)" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:suppressions=$PWD/tools/sanitizers/asan.supp" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$PWD/tools/sanitizers/ubsan.supp" \
    PYTHONMALLOC=malloc PYTHONPATH="$build/asan" run_pytest "$python" tests/python "$@"
}

# Every test repeated under the debug interpreter, failing on reference or
# memory-block growth (tests/leakhunt.py).
# run_leakhunt PYTEST_ARGS... (name the tests to hunt; tests/python for all)
run_leakhunt() {
    PYTHONPATH="$build/debug:tests" run_pytest python3.14-dbg -p leakhunt "$@"
}

# The boundary fuzzer (tests/python/boundary_fuzz.py) for $1 seconds under the
# debug interpreter and, beside it, under AddressSanitizer; logs in build/.
run_boundary_fuzz() {
    local seconds=$1 dbg_rc=0 asan_rc=0
    PYTHONPATH="$build/debug" python3.14-dbg tests/python/boundary_fuzz.py --seconds "$seconds" \
        >/dev/null 2>"$build/boundary-fuzz-dbg.log" &
    local dbg=$!
    LD_PRELOAD="$(clang -print-file-name=libclang_rt.asan-x86_64.so)" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:suppressions=$PWD/tools/sanitizers/asan.supp" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$PWD/tools/sanitizers/ubsan.supp" \
    PYTHONMALLOC=malloc PYTHONPATH="$build/asan" "$python" tests/python/boundary_fuzz.py --seconds "$seconds" \
        >/dev/null 2>"$build/boundary-fuzz-asan.log" || asan_rc=$?
    wait "$dbg" || dbg_rc=$?
    tail -n 1 "$build/boundary-fuzz-dbg.log" | sed 's/^/debug interpreter: /'
    tail -n 1 "$build/boundary-fuzz-asan.log" | sed 's/^/AddressSanitizer: /'
    [ "$dbg_rc" -eq 0 ] || { tail -n 60 "$build/boundary-fuzz-dbg.log"; return 1; }
    [ "$asan_rc" -eq 0 ] || { tail -n 60 "$build/boundary-fuzz-asan.log"; return 1; }
}

fuzz_seconds=${KELTO_FUZZ_SECONDS:-10}
run_fuzzers() {
    local target corpus
    for target in "$build"/fuzz/fuzz/*_fuzz; do
        corpus="$build/fuzz/corpus/$(basename "$target")"
        mkdir -p "$corpus"
        step "fuzzing $(basename "$target") for ${fuzz_seconds} s"
        "$target" -max_total_time="$fuzz_seconds" -print_final_stats=0 \
            "$corpus" "fuzz/seeds/$(basename "$target" _fuzz)" 2>&1 | tail -n 3
    done
}

command=$1; shift
case "$command" in
    build)
        build_main ;;
    demo)
        quietly build_main
        PYTHONPATH="$build/main" "$python" examples/demo.py "$@" ;;
    pytest)
        quietly build_main
        PYTHONPATH="$build/main" run_pytest "$python" tests/python "$@" ;;
    bench)
        quietly build_main
        PYTHONPATH="$build/main" "$python" bench/run.py "$@" ;;
    leaks)
        quietly build_debug
        PYTHONPATH="$build/debug" run_pytest python3.14-dbg tests/python -m leaks "$@" ;;
    fuzz)
        quietly build_fuzz
        fuzz_seconds=${1:-600}
        run_fuzzers ;;
    wheel)
        install_wheel ;;
    boundary-fuzz)
        quietly build_debug
        quietly build_asan
        run_boundary_fuzz "${1:-1800}" ;;
    check)
        # The slow checks; KELTO_CHECK_FUZZ_SECONDS (default 600) per fuzz target.
        # The leak hunt runs on one core beside the other steps, which halves
        # the wall time on a two-core machine.
        step "build"
        quietly build_main
        quietly build_debug
        step "leak hunt started: every test repeated under the debug interpreter (log: $build/leakhunt.log)"
        # In a session of its own, so that the whole of it can be stopped.
        setsid bash tools/inside.sh leakhunt -q tests/python >"$build/leakhunt.log" 2>&1 &
        hunt=$!
        trap 'kill -- "-$hunt" 2>/dev/null || true' EXIT
        step "whole suite with the scale tests and a long stateful walk"
        KELTO_STATEFUL_EXAMPLES=2000 PYTHONPATH="$build/main" run_pytest "$python" tests/python -q --slow
        step "C++ unit tests and the whole suite under AddressSanitizer and UBSan"
        quietly build_asan
        run_asan_ctest
        run_asan_pytest -q
        step "fuzzing"
        quietly build_fuzz
        fuzz_seconds=${KELTO_CHECK_FUZZ_SECONDS:-600}
        run_fuzzers
        step "boundary fuzzer, ${KELTO_CHECK_BOUNDARY_SECONDS:-1800} s under the debug interpreter and under AddressSanitizer"
        run_boundary_fuzz "${KELTO_CHECK_BOUNDARY_SECONDS:-1800}"
        step "leak hunt (waiting for it to finish)"
        hunt_rc=0
        wait "$hunt" || hunt_rc=$?
        trap - EXIT
        tail -n 5 "$build/leakhunt.log"
        [ "$hunt_rc" -eq 0 ] || { echo "leak hunt failed (rc $hunt_rc): see $build/leakhunt.log" >&2; exit 1; }
        ;;
    test)
        step "build"
        build_main
        step "C++ unit tests"
        ctest --test-dir "$build/main" --output-on-failure -j "$jobs" >"$build/ctest.log" \
            || { cat "$build/ctest.log"; exit 1; }
        tail -n 3 "$build/ctest.log"
        step "wheel, installed into a fresh virtual environment"
        install_wheel
        step "Python tests against the installed wheel"
        venv_python="$PWD/$build/venv/bin/python"
        # From tests/, so the clone's root cannot shadow the installed module.
        (cd tests && "$venv_python" -c 'import kelto, sys; sys.exit("/venv/" not in kelto.__file__)' \
            && run_pytest "$venv_python" python -q)
        step "benchmarks, once with tiny counts (kept from rotting; no thresholds)"
        PYTHONPATH="$build/main" run_pytest "$python" bench/tests -q
        PYTHONPATH="$build/main" "$python" bench/run.py --quick >"$build/bench-quick.log" \
            || { cat "$build/bench-quick.log"; exit 1; }
        tail -n 1 "$build/bench-quick.log"
        step "reference leaks under the debug interpreter"
        quietly build_debug
        PYTHONPATH="$build/debug" run_pytest python3.14-dbg tests/python -q -m leaks
        step "leak hunt over the hostile and stateful tests"
        run_leakhunt -q tests/python/test_hostile.py tests/python/test_boundary_faults.py tests/python/test_reentrancy.py tests/python/test_stateful.py
        step "fuzzing"
        quietly build_fuzz
        run_fuzzers
        step "C++ unit tests and the Python suite under AddressSanitizer and UBSan"
        quietly build_asan
        run_asan_ctest
        run_asan_pytest -q
        step "boundary fuzzer, ${KELTO_BOUNDARY_FUZZ_SECONDS:-30} s under the debug interpreter and under AddressSanitizer"
        run_boundary_fuzz "${KELTO_BOUNDARY_FUZZ_SECONDS:-30}"
        ;;
    leakhunt)
        # For check, which runs it beside its other steps.
        run_leakhunt "$@" ;;
    *) echo "unknown step $command" >&2; exit 2 ;;
esac

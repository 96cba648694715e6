# The steps of tools/dev, run where CPython 3.14 is (the host or the root).
# Build folders live under build/ in the clone; each is incremental.
set -euo pipefail

python=${KELTO_PYTHON:-python3}
jobs=$(nproc)
build=build

# Each step's heading says when it started, in seconds since this script did.
step() { printf '\n=== %s (at %d s)\n' "$*" "$SECONDS"; }

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

# Everything with the oldest compiler the README names, with -Werror.
build_oldest_compiler() {
    CXX=g++-14 cmake -S . -B "$build/gcc14" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython3_EXECUTABLE="$(command -v "$python")" \
        -DKELTO_BUILD_TESTS=ON -DKELTO_BUILD_BENCH=ON -DKELTO_WERROR=ON >/dev/null
    cmake --build "$build/gcc14" -j "$jobs"
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

# The oldest manylinux tag the wheel reaches: libstdc++ is linked in
# (KELTO_STATIC_LIBSTDCXX), and of the C library the module needs nothing
# past glibc 2.34, where the pthread functions moved into libc. auditwheel
# refuses to repair a wheel that needs more, so a change that raises the
# required GLIBC, GLIBCXX or GCC version fails here.
wheel_platform=manylinux_2_34_x86_64
# g++ 14, not the default: later ones format _Float16 and bfloat16 through
# libgcc_s functions of GCC 12 and 13, past what the tag allows.
wheel_cxx=g++-14

# dist/: the sdist, and the wheel built from it offline (as pip builds one
# from the sdist with no index and no build isolation), repaired by auditwheel.
build_dist() {
    rm -rf dist "$build/wheelhouse"
    mkdir -p "$build"
    "$python" -m build --sdist --no-isolation --outdir dist . >"$build/sdist-build.log" 2>&1 \
        || { cat "$build/sdist-build.log"; return 1; }
    # No cache: pip would reuse a wheel built from an earlier sdist of the same name.
    CXX=$wheel_cxx "$python" -m pip wheel --no-index --no-build-isolation --no-deps --no-cache-dir -q -w "$build/wheelhouse" \
        -Ccmake.define.KELTO_STATIC_LIBSTDCXX=ON dist/kelto-*.tar.gz
    auditwheel repair --plat "$wheel_platform" --only-plat -w dist "$build/wheelhouse"/kelto-*.whl \
        >"$build/auditwheel.log" 2>&1 || { cat "$build/auditwheel.log"; return 1; }
    ls -l dist | tail -n +2
}

# The repaired wheel installed into a fresh virtual environment, so the Python
# suite runs against the published copy and not the build tree.
install_wheel() {
    rm -rf "$build/venv"
    "$python" -m venv --system-site-packages "$build/venv"
    "$build/venv/bin/python" -m pip install --no-index --no-deps -q dist/kelto-*manylinux*.whl
}

# pyright, for the type-checking tests, from the npm registry: once per root
# (or per clone, where the root's cache folder cannot be written), pinned so
# that a new release cannot change what the tests accept. Exports its path
# as KELTO_PYRIGHT, which tests/python/test_typing.py runs.
pyright_version=1.1.414
ensure_pyright() {
    local dir=/var/cache/kelto/pyright-$pyright_version
    mkdir -p "$dir" 2>/dev/null && [ -w "$dir" ] || { dir=$PWD/$build/pyright-$pyright_version; mkdir -p "$dir"; }
    local bin=$dir/node_modules/.bin/pyright
    if [ ! -x "$bin" ]; then
        (
            flock 9
            [ -x "$bin" ] || npm install --prefix "$dir" --no-save --no-audit --no-fund --loglevel=error \
                "pyright@$pyright_version" >"$dir/install.log" 2>&1
        ) 9>"$dir/.lock" || { cat "$dir/install.log" >&2; echo "installing pyright $pyright_version with npm failed" >&2; return 1; }
    fi
    export KELTO_PYRIGHT=$bin
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

# Steps that run beside the others, each in a session of its own (so that the
# whole of it can be stopped) with its output in $build/NAME.log.
# background NAME COMMAND...; await NAME fails, showing the log, when it did.
declare -A background_pids=()
stop_background() {
    local name
    for name in "${!background_pids[@]}"; do
        kill -- "-${background_pids[$name]}" 2>/dev/null || true
    done
}
trap stop_background EXIT
background() {
    local name=$1; shift
    step "$name started in the background (log: $build/$name.log)"
    setsid "$@" >"$build/$name.log" 2>&1 &
    background_pids[$name]=$!
}
await() {
    local name=$1 rc=0
    step "$name (waiting for it to finish)"
    wait "${background_pids[$name]}" || rc=$?
    unset "background_pids[$name]"
    if [ "$rc" -ne 0 ]; then
        cat "$build/$name.log"
        echo "$name failed (rc $rc): see $build/$name.log" >&2
        return 1
    fi
    tail -n "${2:-3}" "$build/$name.log"
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
        ensure_pyright
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
        build_dist ;;
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
        background leakhunt bash tools/inside.sh leakhunt -q tests/python
        step "whole suite with the scale tests and a long stateful walk"
        ensure_pyright
        KELTO_STATEFUL_EXAMPLES=2000 PYTHONPATH="$build/main" run_pytest "$python" tests/python -q --slow
        step "the oldest compiler the README names (g++ 14): build and C++ unit tests"
        quietly build_oldest_compiler
        ctest --test-dir "$build/gcc14" --output-on-failure -j "$jobs" >"$build/gcc14-ctest.log" \
            || { cat "$build/gcc14-ctest.log"; exit 1; }
        tail -n 3 "$build/gcc14-ctest.log"
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
        await leakhunt 5
        ;;
    test)
        # Two lanes run beside the main one: the debug build with the leak
        # checks, and the fuzzers followed by the sanitizer build, its tests and
        # the boundary fuzzer; a third installs the sdist once it is written.
        # A failure in either fails the run at its await, showing its log.
        mkdir -p "$build"
        rm -f "$build/debug.ready"
        background debug-leaks bash tools/inside.sh test-leaks
        background fuzz-asan bash tools/inside.sh test-fuzz-asan
        step "build"
        quietly build_main
        step "C++ unit tests"
        ctest --test-dir "$build/main" --output-on-failure -j "$jobs" >"$build/ctest.log" \
            || { cat "$build/ctest.log"; exit 1; }
        tail -n 3 "$build/ctest.log"
        step "sdist and repaired wheel in dist/; the wheel installed into a fresh virtual environment"
        build_dist
        install_wheel
        # Its build overlaps the single-threaded steps that follow.
        background sdist bash tools/inside.sh test-sdist
        step "Python tests against the installed wheel"
        ensure_pyright
        venv_python="$PWD/$build/venv/bin/python"
        # From tests/, so the clone's root cannot shadow the installed module.
        (cd tests && "$venv_python" -c 'import kelto, sys; sys.exit("/venv/" not in kelto.__file__)' \
            && run_pytest "$venv_python" python -q)
        step "the wheel with older C++ runtimes (Debian 12 and 13); the committed Unicode tables"
        run_pytest "$python" tests/packaging -q -m "not sdist"
        step "benchmarks, once with tiny counts (kept from rotting; no thresholds)"
        PYTHONPATH="$build/main" run_pytest "$python" bench/tests -q
        PYTHONPATH="$build/main" "$python" bench/run.py --quick >"$build/bench-quick.log" \
            || { cat "$build/bench-quick.log"; exit 1; }
        tail -n 1 "$build/bench-quick.log"
        await sdist 1
        await debug-leaks 6
        await fuzz-asan 6
        ;;
    test-sdist)
        # A lane of test, started once dist/ is written.
        step "the sdist installed offline into a fresh virtual environment"
        run_pytest "$python" tests/packaging -q -m sdist
        ;;
    test-leaks)
        # A lane of test, run beside its other steps.
        step "debug build"
        quietly build_debug
        touch "$build/debug.ready"
        step "reference leaks under the debug interpreter"
        PYTHONPATH="$build/debug" run_pytest python3.14-dbg tests/python -q -m leaks
        step "leak hunt over the hostile and stateful tests"
        run_leakhunt -q tests/python/test_hostile.py tests/python/test_faults.py tests/python/test_reentrancy.py tests/python/test_stateful.py
        ;;
    test-fuzz-asan)
        # A lane of test, run beside its other steps.
        step "fuzzing"
        quietly build_fuzz
        run_fuzzers
        step "C++ unit tests and the Python suite under AddressSanitizer and UBSan"
        quietly build_asan
        run_asan_ctest
        run_asan_pytest -q
        step "boundary fuzzer, ${KELTO_BOUNDARY_FUZZ_SECONDS:-20} s under the debug interpreter and under AddressSanitizer"
        # The debug build is the other lane's; it is long done by now, but wait
        # for it (a failed one fails that lane, and test stops this one).
        until [ -e "$build/debug.ready" ]; do sleep 2; done
        run_boundary_fuzz "${KELTO_BOUNDARY_FUZZ_SECONDS:-20}"
        ;;
    leakhunt)
        # For check, which runs it beside its other steps.
        run_leakhunt "$@" ;;
    *) echo "unknown step $command" >&2; exit 2 ;;
esac

# The steps of tools/dev, run where CPython 3.14 is (the host or the root).
# Build folders live under build/ in the clone; each is incremental.
set -euo pipefail

python=${KELTO_PYTHON:-python3}
jobs=$(nproc)
build=build

# Each step's heading says when it started, in seconds since the run did (test
# and check pass their start on to the steps make runs).
started=${KELTO_STARTED:-$(date +%s)}
step() { printf '\n=== %s (at %d s)\n' "$*" "$(($(date +%s) - started))"; }

# time_step NAME: on exit, the step's name, wall seconds and exit status go
# into $build/step-times, which `test` and `check` print as a table at the end,
# whether or not every step passed.
time_step() {
    case "$1" in */*) ;; *) return 0 ;; esac
    # An absolute path: a recipe may change folder before it ends.
    _step_name=$1 _step_since=$(date +%s) _step_log=$PWD/$build/step-times
    trap 'record_step_time $?' EXIT
}
record_step_time() {
    local outcome=ok
    [ "$1" -eq 0 ] || outcome="FAILED ($1)"
    # Never the step's outcome: a table that cannot be written costs only the line.
    printf '%-20s %5d s  %s\n' "$_step_name" "$(($(date +%s) - _step_since))" "$outcome" >>"$_step_log" || true
}
print_step_times() {
    [ -s "$build/step-times" ] || return 0
    printf '\nstep times (wall, lanes side by side; %d s in all):\n' "$(($(date +%s) - started))"
    sed 's/^/  /' "$build/step-times"
}

# Runs a build step without its progress lines, showing them only on failure.
quietly() {
    local log
    log=$(mktemp)
    "$@" >"$log" 2>&1 || { cat "$log"; rm -f "$log"; return 1; }
    rm -f "$log"
}

# The build configurations are CMakePresets.json's, each in build/PRESET;
# the interpreters they build for are this machine's.
export KELTO_PYTHON_EXECUTABLE KELTO_DEBUG_PYTHON_EXECUTABLE
KELTO_PYTHON_EXECUTABLE=$(command -v "$python" || true)
KELTO_DEBUG_PYTHON_EXECUTABLE=$(command -v python3.14-dbg || true)

# build_preset NAME: configures (quietly) and builds the preset NAME.
build_preset() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs"
}
build_main() { build_preset main; }
build_oldest_compiler() { build_preset gcc14; }
build_debug() { build_preset debug; }
build_fuzz() { build_preset fuzz; }
build_asan() { build_preset asan; }

# The oldest manylinux tag each wheel reaches: libstdc++ is linked in
# (KELTO_STATIC_LIBSTDCXX), and of the C library the module needs nothing
# past glibc 2.34, where the pthread functions moved into libc (on aarch64 as
# on x86-64). build_wheel fails when auditwheel finds the wheel fit for any
# other tag: a change that raises the required GLIBC, GLIBCXX or GCC version
# fails here, and so does one that lowers it, so that the tag follows.
wheel_platform=manylinux_2_34_x86_64
wheel_platform_aarch64=manylinux_2_34_aarch64
# g++ 14, not the default: later ones format _Float16 and bfloat16 through
# libgcc_s functions of GCC 12 and 13, past what the tag allows.
wheel_cxx=g++-14
# The wheels build_dist makes. tools/dev test makes the x86-64 one only: the
# cross build of the aarch64 one takes minutes.
wheel_arches=${KELTO_WHEEL_ARCHES:-x86_64 aarch64}

# docs/html/: the documentation site, built from nothing (an incremental
# build repeats no warning of an unchanged page), every warning an error, then
# every link between its pages checked. The sdist carries it.
build_docs() {
    step "documentation site in docs/html/"
    rm -rf docs/html "$build/docs"
    "$python" -m sphinx -W --keep-going -q -b html -d "$build/docs/doctrees" docs docs/html
    "$python" tools/check_site.py docs/html
}

# dist/: the sdist, and the wheels built from it offline (as pip builds one
# from the sdist with no index and no build isolation), repaired by auditwheel.
build_dist() {
    rm -rf dist "$build/wheelhouse"
    mkdir -p "$build"
    build_docs
    "$python" -m build --sdist --no-isolation --outdir dist . >"$build/sdist-build.log" 2>&1 \
        || { cat "$build/sdist-build.log"; return 1; }
    local arch
    for arch in $wheel_arches; do build_wheel "$arch"; done
    # The Debian tool's wheel, pure Python, beside kelto's.
    "$python" -m pip wheel --no-index --no-build-isolation --no-deps --no-cache-dir -q -w dist ./kelto-debian \
        >"$build/kelto-debian-wheel.log" 2>&1 || { cat "$build/kelto-debian-wheel.log"; return 1; }
    ls -l dist | tail -n +2
}

# build_wheel ARCH: the wheel of the sdist in dist/ for ARCH, repaired into dist/.
build_wheel() {
    local arch=$1 house="$build/wheelhouse/$1" platform build_env options=()
    case "$arch" in
        x86_64) platform=$wheel_platform; build_env=(CXX="$wheel_cxx") ;;
        # Cross-compiled: the toolchain file names the compiler (g++ 14 too),
        # the target's libpython and the module's suffix, and scikit-build-core
        # tags the wheel for _PYTHON_HOST_PLATFORM.
        aarch64) platform=$wheel_platform_aarch64; build_env=(_PYTHON_HOST_PLATFORM=linux-aarch64)
                 options=(-Ccmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/tools/aarch64-linux-gnu.cmake") ;;
        *) echo "no wheel for $arch" >&2; return 1 ;;
    esac
    # No cache: pip would reuse a wheel built from an earlier sdist of the same name.
    env "${build_env[@]}" "$python" -m pip wheel --no-index --no-build-isolation --no-deps --no-cache-dir -q \
        -w "$house" -Ccmake.define.KELTO_STATIC_LIBSTDCXX=ON "${options[@]}" dist/kelto-*.tar.gz \
        >"$build/wheel-$arch.log" 2>&1 || { cat "$build/wheel-$arch.log"; return 1; }
    # auditwheel names only the build machine's tags in --plat; "auto" takes
    # the oldest tag the wheel's own architecture allows, which must be ours.
    auditwheel repair --plat auto --only-plat -w "$house/repaired" "$house"/kelto-*.whl \
        >"$build/auditwheel-$arch.log" 2>&1 || { cat "$build/auditwheel-$arch.log"; return 1; }
    local repaired
    repaired=$(cd "$house/repaired" && echo kelto-*.whl)
    if [[ "$repaired" != *-"$platform".whl ]]; then
        auditwheel show "$house"/kelto-*-linux_*.whl || true
        echo "the $arch wheel is $repaired, not $platform: a change moved the symbol versions it needs" >&2
        return 1
    fi
    mv "$house/repaired/$repaired" dist/
}

# The repaired wheel installed into a fresh virtual environment, so the Python
# suite runs against the published copy and not the build tree.
install_wheel() {
    rm -rf "$build/venv"
    "$python" -m venv --system-site-packages "$build/venv"
    "$build/venv/bin/python" -m pip install --no-index --no-deps -q dist/kelto-*manylinux*_x86_64.whl
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
# Not run here: the tests of outside tools (marked external), and the boundary
# fuzzer's test, since run_boundary_fuzz runs the fuzzer under this build for longer.
run_asan_pytest() {
    LD_PRELOAD="$(clang -print-file-name=libclang_rt.asan-x86_64.so)" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:suppressions=$PWD/tools/sanitizers/asan.supp" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$PWD/tools/sanitizers/ubsan.supp" \
    PYTHONMALLOC=malloc PYTHONPATH="$build/asan" run_pytest "$python" tests/python -m "not external" \
        --deselect tests/python/test_boundary_fuzz.py::test_boundary_fuzz "$@"
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
# sid main's Sources, of the same archive state (InRelease) as the root's
# Packages lists, which apt in the root does not fetch: fetched once into
# $sid_sources, outside the clone, and kept. Prints the file's path.
sid_sources=/var/cache/kelto/sid-sources
fetch_sid_sources() {
    local lists=$sid_sources/lists file
    file=$lists/$(sed -n 's|^deb https\{0,1\}://\([^ ]*\) sid main$|\1|p' /etc/apt/sources.list | head -1 | tr / _)
    file=${file%_}_dists_sid_main_source_Sources
    if [ ! -s "$file" ]; then
        local mirror
        mirror=$(sed -n 's/^deb \([^ ]*\) sid main$/\1/p' /etc/apt/sources.list | head -1)
        mkdir -p "$lists/partial" "$sid_sources/etc"
        echo "deb-src $mirror sid main" >"$sid_sources/etc/sources.list"
        apt-get -q -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root \
            -o Dir::Etc::SourceList="$sid_sources/etc/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
            -o Dir::State::Lists="$lists" -o Acquire::IndexTargets::deb-src::Sources::KeepCompressed=false \
            update >"$build/sid-sources.log" 2>&1 || { cat "$build/sid-sources.log" >&2; return 1; }
    fi
    [ -s "$file" ] || { echo "no Sources at $file" >&2; return 1; }
    echo "$file"
}

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

# What aarch64-check runs of tests/python under emulation.
aarch64_tests=(test_docs.py test_version.py test_constraints.py test_constraint_classes.py
               test_operators.py test_outline.py test_module.py test_exports.py test_introspection.py
               test_hostile.py test_threads.py test_scale.py::TestDeepData)

# Sourced with no command (tools/lanes.mk's steps): the helpers alone.
if [ $# -eq 0 ] && [ "${BASH_SOURCE[0]}" != "$0" ]; then return 0; fi

command=$1; shift
case "$command" in
    build)
        build_main ;;
    demo)
        quietly build_main
        PYTHONPATH="$build/main:kelto-debian" "$python" -m kelto_debian describe "$@" ;;
    pytest)
        quietly build_main
        ensure_pyright
        PYTHONPATH="$build/main" run_pytest "$python" tests/python "$@" ;;
    bench)
        quietly build_main
        # --check and --update are the instruction counts (bench/counts.json).
        case "${1:-}" in
            --check|--update) PYTHONPATH="$build/main" "$python" bench/profile.py "$@" ;;
            *) PYTHONPATH="$build/main" "$python" bench/run.py "$@" ;;
        esac ;;
    leaks)
        quietly build_debug
        PYTHONPATH="$build/debug" run_pytest python3.14-dbg tests/python -m leaks "$@" ;;
    fuzz)
        quietly build_fuzz
        fuzz_seconds=${1:-600}
        run_fuzzers ;;
    wheel)
        build_dist ;;
    docs)
        build_docs ;;
    boundary-fuzz)
        quietly build_debug
        quietly build_asan
        run_boundary_fuzz "${1:-1800}" ;;
    check)
        # The slow checks, as the steps check/* of tools/lanes.mk: the leak
        # hunt on one core beside the other steps, which halves the wall time
        # on a two-core machine. KELTO_CHECK_FUZZ_SECONDS (default 600) per
        # fuzz target; KELTO_CHECK_BOUNDARY_SECONDS (default 1800).
        mkdir -p "$build"
        rm -f "$build/step-times"
        rc=0
        KELTO_STARTED=$started make -f tools/lanes.mk -j2 -O check || rc=$?
        print_step_times
        exit "$rc" ;;
    test)
        # Three lanes side by side, as the steps test/* of tools/lanes.mk: the
        # main one, the debug build with the leak checks, and the fuzzers
        # followed by the sanitizer build, its tests and the boundary fuzzer.
        # A failed step fails the run, showing its output. The sdist's offline
        # install, one more build of the module, is check's: the wheel here is
        # already built from the sdist offline, as pip builds one.
        mkdir -p "$build"
        rm -f "$build/step-times"
        rc=0
        KELTO_STARTED=$started make -f tools/lanes.mk -j3 -O test || rc=$?
        print_step_times
        exit "$rc" ;;
    aarch64-check)
        # In the arm64 root, under qemu-user (tools/dev aarch64, and check):
        # the aarch64 wheel of dist/ in a fresh virtual environment, the
        # documentation examples and a part of the suite that reaches every
        # class, the parser, the text forms, the object's own exports, deep
        # trees and threads. Left to the x86-64 runs: the scale tests, the demo
        # over a whole package index and the long stateful walk (minutes each
        # when emulated), and the fault tests, whose memory limit qemu does
        # not apply to the program it runs.
        venv=/tmp/venv-aarch64
        step "the aarch64 wheel installed into a fresh virtual environment"
        rm -rf "$venv"
        # The root's pip, seen through the system site packages, installs into
        # the environment: seconds, where bootstrapping a pip into it takes a minute.
        "$python" -m venv --without-pip --system-site-packages "$venv"
        "$venv/bin/python" -m pip install --no-index --no-deps -q dist/kelto-*manylinux*_aarch64.whl
        step "the wheel's tag and object, and the Python tests against it, emulated"
        run_pytest "$python" tests/packaging/test_wheel.py -q -k aarch64
        (cd tests && "$venv/bin/python" -c 'import kelto, platform, sys; sys.exit(platform.machine() != "aarch64" or "/venv-aarch64/" not in kelto.__file__)' \
            && run_pytest "$venv/bin/python" -q "${aarch64_tests[@]/#/python/}" "$@")
        ;;
    *) echo "unknown step $command" >&2; exit 2 ;;
esac

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
# -O1 with line tables only, as ASan advises: a fifth less compile time than
# -O2 -g, and reports still name file and line.
build_asan() {
    CXX=clang++ cmake -S . -B "$build/asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
        -DPython3_EXECUTABLE="$(command -v "$python")" -DKELTO_BUILD_TESTS=ON \
        -DKELTO_SANITIZE=ON -DKELTO_WERROR=OFF -DKELTO_INTROSPECTION=ON >/dev/null
    cmake --build "$build/asan" -j "$jobs"
}

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
               test_hostile.py test_reentrancy.py test_threads.py
               test_scale.py::TestDeepData test_fork_signals.py::TestInterrupts)

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
        KELTO_STARTED=$(date +%s) make -f tools/lanes.mk -j2 -O check ;;
    test)
        # Three lanes side by side, as the steps test/* of tools/lanes.mk: the
        # main one, the debug build with the leak checks, and the fuzzers
        # followed by the sanitizer build, its tests and the boundary fuzzer.
        # A failed step fails the run, showing its output. The sdist's offline
        # install, one more build of the module, is check's: the wheel here is
        # already built from the sdist offline, as pip builds one.
        mkdir -p "$build"
        KELTO_STARTED=$(date +%s) make -f tools/lanes.mk -j3 -O test ;;
    step)
        # One step of test or check, run by make from tools/lanes.mk.
        name=$1
        case "$name" in
            test/build)
                step "build"
                quietly build_main ;;
            test/ctest)
                step "C++ unit tests"
                ctest --test-dir "$build/main" --output-on-failure -j "$jobs" >"$build/ctest.log" \
                    || { cat "$build/ctest.log"; exit 1; }
                tail -n 3 "$build/ctest.log" ;;
            test/wheel)
                step "sdist and repaired x86-64 wheel in dist/; the wheel installed into a fresh virtual environment"
                wheel_arches=x86_64 build_dist
                install_wheel ;;
            test/pytest)
                step "Python tests against the installed wheel"
                ensure_pyright
                venv_python="$PWD/$build/venv/bin/python"
                # From tests/, so the clone's root cannot shadow the installed module.
                (cd tests && "$venv_python" -c 'import kelto, sys; sys.exit("/venv/" not in kelto.__file__)' \
                    && run_pytest "$venv_python" python -q) ;;
            test/debian)
                step "the Debian tool's tests against both wheels installed into the virtual environment"
                venv_python="$PWD/$build/venv/bin/python"
                "$venv_python" -m pip install --no-index --no-deps -q --force-reinstall dist/kelto_debian-*.whl
                # From kelto-debian/tests, so the checkout cannot shadow the installed tool.
                (cd kelto-debian/tests && "$venv_python" -c 'import kelto_debian, sys; sys.exit("/venv/" not in kelto_debian.__file__)' \
                    && run_pytest "$venv_python" -q -p no:cacheprovider .) ;;
            test/packaging)
                step "the wheel with older C++ runtimes (Debian 12 and 13); the committed Unicode tables"
                run_pytest "$python" tests/packaging -q -m "not sdist" ;;
            test/bench)
                step "benchmarks, once with tiny counts (kept from rotting; no thresholds)"
                PYTHONPATH="$build/main" run_pytest "$python" bench/tests -q
                PYTHONPATH="$build/main" "$python" bench/run.py --quick >"$build/bench-quick.log" \
                    || { cat "$build/bench-quick.log"; exit 1; }
                tail -n 1 "$build/bench-quick.log" ;;
            test/debug-build)
                step "debug build"
                quietly build_debug ;;
            test/leaks)
                step "reference leaks under the debug interpreter"
                PYTHONPATH="$build/debug" run_pytest python3.14-dbg tests/python -q -m leaks
                step "leak hunt over the hostile and stateful tests"
                run_leakhunt -q tests/python/test_hostile.py tests/python/test_faults.py tests/python/test_reentrancy.py \
                    tests/python/test_stateful.py tests/python/test_threads.py::TestIfThenThreads \
                    tests/python/test_fork_signals.py::TestInterrupts ;;
            test/fuzz)
                step "fuzzing"
                quietly build_fuzz
                run_fuzzers ;;
            test/asan)
                step "C++ unit tests and the Python suite under AddressSanitizer and UBSan"
                quietly build_asan
                run_asan_ctest
                run_asan_pytest -q ;;
            test/boundary-fuzz)
                step "boundary fuzzer, ${KELTO_BOUNDARY_FUZZ_SECONDS:-20} s under the debug interpreter and under AddressSanitizer"
                run_boundary_fuzz "${KELTO_BOUNDARY_FUZZ_SECONDS:-20}" ;;
            check/build)
                step "build"
                quietly build_main
                quietly build_debug ;;
            check/leakhunt)
                step "leak hunt over every test"
                run_leakhunt -q tests/python ;;
            check/suite)
                step "whole suite with the scale tests and a long stateful walk"
                ensure_pyright
                KELTO_STATEFUL_EXAMPLES=2000 PYTHONPATH="$build/main" run_pytest "$python" tests/python -q --slow ;;
            check/sdist)
                step "sdist and repaired x86-64 wheel in dist/; the sdist installed offline as the README says"
                # The aarch64 wheel is built and tried after this script, by tools/dev.
                wheel_arches=x86_64 build_dist
                run_pytest "$python" tests/packaging -q -m sdist ;;
            check/gcc14)
                step "the oldest compiler the README names (g++ 14): build and C++ unit tests"
                quietly build_oldest_compiler
                ctest --test-dir "$build/gcc14" --output-on-failure -j "$jobs" >"$build/gcc14-ctest.log" \
                    || { cat "$build/gcc14-ctest.log"; exit 1; }
                tail -n 3 "$build/gcc14-ctest.log" ;;
            check/asan)
                step "C++ unit tests and the whole suite under AddressSanitizer and UBSan"
                quietly build_asan
                run_asan_ctest
                run_asan_pytest -q ;;
            check/counts)
                step "instruction counts of the benchmarks against bench/counts.json (fails on a 5% regression)"
                PYTHONPATH="$build/main" "$python" bench/profile.py --check ;;
            check/fuzz)
                step "fuzzing"
                quietly build_fuzz
                fuzz_seconds=${KELTO_CHECK_FUZZ_SECONDS:-600}
                run_fuzzers ;;
            check/boundary-fuzz)
                step "boundary fuzzer, ${KELTO_CHECK_BOUNDARY_SECONDS:-1800} s under the debug interpreter and under AddressSanitizer"
                run_boundary_fuzz "${KELTO_CHECK_BOUNDARY_SECONDS:-1800}" ;;
            check/buildable)
                step "every source of sid main natively (amd64) and cross (amd64 to arm64) beside dose-builddebcheck: 4x faster, no more memory, dpkg-checkbuilddeps asked about each difference"
                sources=$(fetch_sid_sources)
                PYTHONPATH="$build/main" "$python" bench/buildable.py "$sources" --dpkg --check \
                    --differences "$build/buildable-differences.json" ;;
            *) echo "unknown step $name (tools/lanes.mk names the steps)" >&2; exit 2 ;;
        esac ;;
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

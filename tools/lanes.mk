# The steps of `tools/dev test` and `tools/dev check` as make targets, run in
# the build root by tools/inside.sh:
#
#     make -f tools/lanes.mk -j3 -O test      # three lanes side by side
#     make -f tools/lanes.mk -j2 -O check     # the leak hunt beside the rest
#
# A target test/NAME (or check/NAME) is the step NAME of test (or check): its
# prerequisites are the steps that must end first, and its recipe is what it
# does, run as one bash script with tools/inside.sh's helpers (build_*, run_*,
# `step` for the heading). A chain of steps is a lane; make runs the lanes
# side by side. -O prints each step's output whole when it ends, so lanes do
# not interleave and a failed step's output is its log; make fails, after the
# steps already running end, when any step fails.
#
# Adding a step is its target here, naming what it follows (test and check run
# every step of theirs), and its commands as the recipe:
#
#     test/docs: test/wheel
#     	step "documentation site"
#     	build_docs

SHELL := bash
.SHELLFLAGS := -euo pipefail -c
.ONESHELL:
.SILENT:
.SUFFIXES:
MAKEFLAGS += --no-builtin-rules

# Every target of this file named SUITE/…, in the order written.
steps_of = $(shell sed -n 's|^\($(1)/[a-z0-9-]*\):.*|\1|p' $(firstword $(MAKEFILE_LIST)))

test_steps := $(call steps_of,test)
check_steps := $(call steps_of,check)
.PHONY: test check $(test_steps) $(check_steps)

# A step written without commands would pass doing nothing.
recipeless := $(shell awk '/^(test|check)\/[a-z0-9-]*:/ { if (t) print t; t = $$1; sub(/:.*/, "", t); next } /^\t/ { t = "" } END { if (t) print t }' $(firstword $(MAKEFILE_LIST)))
$(if $(recipeless),$(error steps with no commands: $(recipeless)))

# Each recipe starts with the helpers of tools/inside.sh.
define helpers
source tools/inside.sh
time_step $@
endef

test: $(test_steps)
	echo "test: every step passed"
check: $(check_steps)
	echo "check: every step passed"

# ---- test: the main lane (module, wheel, Python suite against the wheel, benchmarks)
test/build:
	$(helpers)
	step "build"
	quietly build_main

test/ctest: test/build
	$(helpers)
	step "C++ unit tests"
	ctest --test-dir "$$build/main" --output-on-failure -j "$$jobs" >"$$build/ctest.log" \
	    || { cat "$$build/ctest.log"; exit 1; }
	tail -n 3 "$$build/ctest.log"

test/wheel: test/ctest
	$(helpers)
	step "sdist and repaired x86-64 wheel in dist/; the wheel installed into a fresh virtual environment"
	wheel_arches=x86_64 build_dist
	install_wheel

test/pytest: test/wheel
	$(helpers)
	step "Python tests against the installed wheel"
	ensure_pyright
	venv_python="$$PWD/$$build/venv/bin/python"
	# From tests/, so the clone's root cannot shadow the installed module.
	cd tests
	"$$venv_python" -c 'import kelto, sys; sys.exit("/venv/" not in kelto.__file__)'
	run_pytest "$$venv_python" python -q

test/packaging: test/pytest
	$(helpers)
	step "the wheel with older C++ runtimes (Debian 12 and 13); the committed Unicode tables"
	run_pytest "$$python" tests/packaging -q -m "not sdist"

test/debian: test/packaging
	$(helpers)
	step "the Debian tool's tests against both wheels installed into the virtual environment"
	venv_python="$$PWD/$$build/venv/bin/python"
	"$$venv_python" -m pip install --no-index --no-deps -q --force-reinstall dist/kelto_debian-*.whl
	# From kelto-debian/tests, so the checkout cannot shadow the installed tool.
	cd kelto-debian/tests
	"$$venv_python" -c 'import kelto_debian, sys; sys.exit("/venv/" not in kelto_debian.__file__)'
	run_pytest "$$venv_python" -q .

test/bench: test/debian
	$(helpers)
	step "benchmarks, once with tiny counts (kept from rotting; no thresholds)"
	PYTHONPATH="$$build/main" run_pytest "$$python" bench/tests -q
	PYTHONPATH="$$build/main" "$$python" bench/run.py --quick >"$$build/bench-quick.log" \
	    || { cat "$$build/bench-quick.log"; exit 1; }
	tail -n 1 "$$build/bench-quick.log"

# ---- test: the debug interpreter (reference leaks, leak hunt)
test/debug-build:
	$(helpers)
	step "debug build"
	quietly build_debug

test/leaks: test/debug-build
	$(helpers)
	step "reference leaks under the debug interpreter"
	PYTHONPATH="$$build/debug" run_pytest python3.14-dbg tests/python -q -m leaks
	step "leak hunt over the hostile and stateful tests"
	run_leakhunt -q tests/python/test_hostile.py tests/python/test_faults.py \
	    tests/python/test_stateful.py tests/python/test_threads.py::TestIfThenThreads \
	    tests/python/test_outline.py::TestOutlineDictionaries

# ---- test: fuzzing and the sanitizers
test/fuzz:
	$(helpers)
	step "fuzzing"
	quietly build_fuzz
	run_fuzzers

test/asan: test/fuzz
	$(helpers)
	step "C++ unit tests and the Python suite under AddressSanitizer and UBSan"
	quietly build_asan
	run_asan_ctest
	run_asan_pytest -q

test/boundary-fuzz: test/asan test/debug-build
	$(helpers)
	seconds=$${KELTO_BOUNDARY_FUZZ_SECONDS:-20}
	step "boundary fuzzer, $$seconds s under the debug interpreter and under AddressSanitizer"
	run_boundary_fuzz "$$seconds"

# ---- check: the leak hunt over every test, beside the rest
check/build:
	$(helpers)
	step "build"
	quietly build_main
	quietly build_debug

check/leakhunt: check/build
	$(helpers)
	step "leak hunt over every test"
	run_leakhunt -q tests/python

check/suite: check/build
	$(helpers)
	step "whole suite with the scale tests and a long stateful walk"
	ensure_pyright
	KELTO_STATEFUL_EXAMPLES=2000 PYTHONPATH="$$build/main" run_pytest "$$python" tests/python -q --slow

check/sdist: check/suite
	$(helpers)
	step "sdist and repaired x86-64 wheel in dist/; the sdist installed offline as the README says"
	# The aarch64 wheel is built and tried after this, by tools/dev.
	wheel_arches=x86_64 build_dist
	run_pytest "$$python" tests/packaging -q -m sdist

check/gcc14: check/sdist
	$(helpers)
	step "the oldest compiler the README names (g++ 14): build and C++ unit tests"
	quietly build_oldest_compiler
	ctest --test-dir "$$build/gcc14" --output-on-failure -j "$$jobs" >"$$build/gcc14-ctest.log" \
	    || { cat "$$build/gcc14-ctest.log"; exit 1; }
	tail -n 3 "$$build/gcc14-ctest.log"

check/asan: check/gcc14
	$(helpers)
	step "C++ unit tests and the whole suite under AddressSanitizer and UBSan"
	quietly build_asan
	run_asan_ctest
	run_asan_pytest -q

check/counts: check/asan
	$(helpers)
	step "instruction counts of the benchmarks against bench/counts.json (fails on a 5% regression)"
	PYTHONPATH="$$build/main" "$$python" bench/profile.py --check

check/fuzz: check/asan
	$(helpers)
	step "fuzzing"
	quietly build_fuzz
	fuzz_seconds=$${KELTO_CHECK_FUZZ_SECONDS:-600}
	run_fuzzers

check/boundary-fuzz: check/fuzz
	$(helpers)
	seconds=$${KELTO_CHECK_BOUNDARY_SECONDS:-1800}
	step "boundary fuzzer, $$seconds s under the debug interpreter and under AddressSanitizer"
	run_boundary_fuzz "$$seconds"

# ---- check: whole indexes beside Debian's build-dependency checker, in the
# leak hunt's lane once it ends (kelto and dose run one after the other, so
# both meet the same load from the other lane)
check/buildable: check/leakhunt
	$(helpers)
	step "every source of sid main natively (amd64) and cross (amd64 to arm64) beside dose-builddebcheck, dpkg-checkbuilddeps asked about 25 differences of each side"
	sources=$$(fetch_sid_sources)
	PYTHONPATH="$$build/main" "$$python" bench/buildable.py "$$sources" --dpkg --sample 25 --check-agreement \
	    --differences "$$build/buildable-differences.json"

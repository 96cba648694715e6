# The steps of `tools/dev test` and `tools/dev check` as make targets, run in
# the build root by tools/inside.sh:
#
#     make -f tools/lanes.mk -j3 -O test      # three lanes side by side
#     make -f tools/lanes.mk -j2 -O check     # the leak hunt beside the rest
#
# A target test/NAME (or check/NAME) is the step NAME of test (or check); what
# it does is tools/inside.sh's `step test/NAME`, and its prerequisites are the
# steps that must end first. A chain of steps is a lane; make runs the lanes
# side by side. -O prints each step's output whole when it ends, so lanes do
# not interleave and a failed step's output is its log; make fails, after the
# steps already running end, when any step fails.
#
# Adding a step is one line here, naming what it follows (test and check run
# every step of theirs), and its commands in tools/inside.sh's `step` case:
#
#     test/docs: test/wheel

SHELL := bash
.SUFFIXES:
MAKEFLAGS += --no-builtin-rules

# Every target of this file named SUITE/…, in the order written.
steps_of = $(shell sed -n 's|^\($(1)/[a-z0-9-]*\):.*|\1|p' $(firstword $(MAKEFILE_LIST)))

test_steps := $(call steps_of,test)
check_steps := $(call steps_of,check)
.PHONY: test check $(test_steps) $(check_steps)

test: $(test_steps)
	@echo "test: every step passed"
check: $(check_steps)
	@echo "check: every step passed"

$(test_steps) $(check_steps):
	@bash tools/inside.sh step $@

# ---- test: the main lane (module, wheel, Python suite against the wheel, benchmarks)
test/build:
test/ctest: test/build
test/wheel: test/ctest
test/pytest: test/wheel
test/packaging: test/pytest
test/debian: test/packaging
test/bench: test/debian

# ---- test: the debug interpreter (reference leaks, leak hunt)
test/debug-build:
test/leaks: test/debug-build

# ---- test: fuzzing and the sanitizers
test/fuzz:
test/asan: test/fuzz
test/boundary-fuzz: test/asan test/debug-build

# ---- check: the leak hunt over every test, beside the rest
check/build:
check/leakhunt: check/build
check/suite: check/build
check/sdist: check/suite
check/gcc14: check/sdist
check/asan: check/gcc14
check/counts: check/asan
check/fuzz: check/asan
check/boundary-fuzz: check/fuzz

# ---- check: whole indexes beside Debian's build-dependency checker, alone at the end
check/buildable: check/boundary-fuzz check/leakhunt

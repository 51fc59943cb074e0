# make demo   - build the module in .venv and run the crash-redelivery demo
# make test   - build the module in .venv and run the Python and C++ tests
# make bench  - in-memory, durable and multi-process benchmarks
# make compare - Ferrow next to sqlite3, persist-queue, litequeue and the floors
# make abi    - build one abi3 wheel and exercise it under every CPython 3.8+ found

PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
CPP_BUILD := build/cpp

.PHONY: demo test pytest ctest cpp install bench compare abi clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.9" cmake ninja pytest numpy

install: $(PY)
	$(PY) -m pip install -q --no-build-isolation .

demo: install
	$(PY) examples/demo.py

# The C++ build also yields the fault-injection library that the Python I/O
# tests preload, so it comes first.
FAULT_SHIM := $(abspath $(CPP_BUILD))/libferrow_fault_shim.so
RUN_PYTEST := cd tests && FERROW_FAULT_SHIM=$(FAULT_SHIM) ../$(PY) -m pytest -q
RUN_CTEST  := $(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

test: install cpp
	$(RUN_PYTEST)
	$(RUN_CTEST)

pytest: install cpp
	$(RUN_PYTEST)

ctest: cpp
	$(RUN_CTEST)

cpp: $(PY)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DFERROW_BUILD_MODULE=OFF -DFERROW_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(CPP_BUILD)

bench: install
	$(PY) bench/memory_bench.py
	$(PY) bench/durable_bench.py
	$(PY) bench/multiprocess_bench.py

# The queues compared against and the chart library are needed by this
# benchmark only, so they are installed here rather than with the build tools.
compare: install
	$(PY) -m pip install -q persist-queue litequeue matplotlib
	$(PY) bench/compare.py

abi: $(PY)
	rm -rf dist && $(PY) -m pip wheel -q --no-build-isolation --no-deps . -w dist
	PY=$(PY) sh tools/abi_check.sh dist/*.whl

clean:
	rm -rf build dist $(VENV)

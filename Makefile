# make demo   - build the module in .venv and run the crash-redelivery demo
# make test   - build the module in .venv and run the Python and C++ tests
# make bench  - in-memory and durable benchmarks
# make abi    - build one abi3 wheel and exercise it under every CPython 3.8+ found

PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
CPP_BUILD := build/cpp

.PHONY: demo test pytest ctest install bench abi clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.9" cmake ninja pytest numpy

install: $(PY)
	$(PY) -m pip install -q --no-build-isolation .

demo: install
	$(PY) examples/demo.py

test: pytest ctest

pytest: install
	cd tests && ../$(PY) -m pytest -q

ctest: $(PY)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DFERROW_BUILD_MODULE=OFF -DFERROW_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

bench: install
	$(PY) bench/memory_bench.py

abi: $(PY)
	rm -rf dist && $(PY) -m pip wheel -q --no-build-isolation --no-deps . -w dist
	PY=$(PY) sh tools/abi_check.sh dist/*.whl

clean:
	rm -rf build dist $(VENV)

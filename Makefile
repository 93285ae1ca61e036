# Entry points: deps, build, test, bench (see README).
PYTHON      := /usr/bin/python3
JOBS        ?= $(shell nproc)
SANITIZE    ?= 0
BUILD_DIR   := $(if $(filter 1,$(SANITIZE)),build-sanitize,build)
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$(PYTHON) \
               -DVIREO20_SANITIZE=$(if $(filter 1,$(SANITIZE)),ON,OFF)

DEB_PACKAGES := cmake g++ libgtest-dev libbenchmark-dev \
                libboost-dev libboost-python-dev libvtk9-dev libsparsehash-dev \
                python3-dev python3-numpy python3-pytest python3-hypothesis

# Tests provoke failed allocations on purpose: the sanitizer must return null rather than abort.
# The Python interpreter itself is not instrumented: preload the runtimes, and leave its leaks alone.
CTEST_ENV  := $(if $(filter 1,$(SANITIZE)),ASAN_OPTIONS=allocator_may_return_null=1,)
PYTEST_ENV := $(if $(filter 1,$(SANITIZE)),LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1,)

.PHONY: all deps build test test-cpp test-python bench clean

all: build

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "installing:" $$missing; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && $(CTEST_ENV) ctest --output-on-failure -j $(JOBS)
	if [ -d tests/python ] && ls tests/python/test_*.py >/dev/null 2>&1; then \
	    PYTHONPATH=$(BUILD_DIR)/python VIREO20_BUILD_DIR=$(BUILD_DIR) $(PYTEST_ENV) \
	        $(PYTHON) -m pytest -q tests/python; fi

bench: build
	cmake --build $(BUILD_DIR) -j $(JOBS) --target benchmarks
	for b in $(BUILD_DIR)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done; true
	for f in bench/*.py; do [ -f "$$f" ] && PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) "$$f"; done; true

clean:
	rm -rf build build-sanitize

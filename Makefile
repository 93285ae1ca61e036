# Entry points: deps, build, test, bench (see README).
PYTHON      := /usr/bin/python3
JOBS        ?= $(shell nproc)
SANITIZE    ?= 0
BUILD_DIR   := $(if $(filter 1,$(SANITIZE)),build-sanitize,build)
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$(PYTHON) \
               -DVIREO20_SANITIZE=$(if $(filter 1,$(SANITIZE)),ON,OFF)

DEB_PACKAGES := cmake g++ libgtest-dev libbenchmark-dev \
                libboost-dev libboost-python-dev libvtk9-dev libsparsehash-dev \
                python3-dev python3-numpy python3-pytest python3-hypothesis python3-pandas
DEB_PACKAGES += python3-tqdm python3-matplotlib python3-pandas python3-distributed lammps

# Tests provoke failed allocations on purpose: the sanitizer must return null rather than abort.
# The Python tests run only on the plain build: the interpreter and libboost_python are not
# instrumented, and Boost.Python's instance deallocation faults under a preloaded ASan runtime
# (the same runs are clean under valgrind).
CTEST_ENV := $(if $(filter 1,$(SANITIZE)),ASAN_OPTIONS=allocator_may_return_null=1,)
RUN_PYTEST := $(if $(filter 1,$(SANITIZE)),,yes)

.PHONY: all deps build test bench clean demo install

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
	if [ -n "$(RUN_PYTEST)" ]; then \
	    PYTHONPATH=$(BUILD_DIR)/python VIREO20_BUILD_DIR=$(BUILD_DIR) $(PYTHON) -m pytest -q tests/python; \
	else echo "sanitizer build: Python tests skipped (run them on the plain build)"; fi

# The element-access benchmark prints its own report; the upscaling table runs setup_bench itself.
bench: build
	cmake --build $(BUILD_DIR) -j $(JOBS) --target benchmarks
	$(BUILD_DIR)/bench/array_bench
	PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) bench/upscaling_bench.py --build-dir $(BUILD_DIR)

# The main job on the built-in data set; it ends by saying where the output went and how to open it.
DEMO_DIR ?= $(BUILD_DIR)/demo
demo: build
	PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) -m vireo20 upscale --out $(DEMO_DIR) --picture-step 20 \
	    --lammps-dump $(DEMO_DIR)/upscaled.dump

# Libraries to PREFIX/lib, Python modules to /usr/bin/python3's dist-packages, `vireo20` to PREFIX/bin.
PREFIX ?= /usr/local
install: build
	cmake -S . -B $(BUILD_DIR) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cmake --install $(BUILD_DIR)

clean:
	rm -rf build build-sanitize

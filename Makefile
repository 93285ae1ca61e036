# Entry points: deps, build, test, bench (see README).
PYTHON      := /usr/bin/python3
JOBS        ?= $(shell nproc)
SANITIZE    ?= 0
BUILD_DIR   := $(if $(filter 1,$(SANITIZE)),build-sanitize,build)
# Ninja starts a target's sources as soon as their own inputs exist, not after every library they link
# is built, so both cores stay busy through the whole build.
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$(PYTHON) \
               -DVIREO20_SANITIZE=$(if $(filter 1,$(SANITIZE)),ON,OFF)
# Line tables only (-g1): backtraces and reports still name file and line, and the template-heavy
# sources compile a quarter to a third faster than with full debug information (configure with -g to
# inspect variables). The instrumented build runs at -O1: a third of its -O2 time, which lets CI run it.
ifeq ($(SANITIZE),1)
CMAKE_FLAGS += "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
else
CMAKE_FLAGS += "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
endif

# What building needs; what the job needs on its own inputs (the built-in data set, LAMMPS dumps, step
# files) and for its picture; what the readers of other codes' files and a Dask cluster add. `make deps`
# installs them all; `make demo` without INPUT only the first two, which spares a bare machine about 70 s of apt-get
# (Dask, GSD, H5MD, ASE and MDAnalysis with Biopython, whose SGML catalogue alone takes 40 s to set up).
# The tests add pytest and hypothesis; then LAMMPS to write the test dumps (and its Python module, whose
# library link comes with liblammps-dev, to drive one from Python) and ParaView's pvbatch to open
# the written series (without its recommended python3-paraview, which conflicts with python3-vtk9).
# Without those two the tests that need them say so and skip, so failing to get them stops nothing.
BUILD_DEB_PACKAGES := cmake ninja-build g++ libgtest-dev libbenchmark-dev \
                      libboost-dev libboost-python-dev libvtk9-dev libsparsehash-dev libfast-float-dev libisal-dev zlib1g-dev libzstd-dev \
                      python3-dev python3-numpy
JOB_DEB_PACKAGES   := python3-pandas python3-tqdm python3-matplotlib
CLUSTER_INPUT_DEB_PACKAGES := python3-distributed python3-gsd python3-h5py
# Only the MDAnalysis and ASE readers need them: without them those inputs are unavailable, and their tests skip.
OPTIONAL_DEB_PACKAGES := python3-mdanalysis python3-ase
TEST_DEB_PACKAGES := python3-pytest python3-hypothesis
TOOL_DEB_PACKAGES := lammps python3-lammps liblammps-dev python3-mpi4py paraview

# Sanitizer runs (SANITIZE=1, or make test-sanitize): tests provoke failed allocations on purpose, so
# the sanitizer returns null rather than abort. The interpreter is not instrumented: ASan's runtime is
# preloaded with libstdc++ (its __cxa_throw interceptor needs the real one already loaded), and Python's
# allocator is bypassed so that ASan sees every block. Leaks stay failures; two frames per allocation
# let the suppression file name only what the interpreter and NumPy allocate themselves (rerun with
# malloc_context_size=30 to see more of a stack). VTK's TBB workers outlive the tests and may still be
# exiting when the leak check stops every thread at exit, which crashes LeakSanitizer's tracer now and
# then ("Tracer caught signal 11"): VTK runs its parallel loops sequentially under the sanitizers.
# The tracer still crashes now and then at the Python tests' exit, after every test passed; the
# Python tests then run once more, with the leak check, and that run's result stands.
ASAN_BASE     = allocator_may_return_null=1:detect_leaks=1
UBSAN_ENV     = UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_PRELOAD  = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so.6)
VTK_SEQUENTIAL = VTK_SMP_BACKEND_IN_USE=Sequential
CTEST_ENV     = $(if $(filter 1,$(SANITIZE)),ASAN_OPTIONS=$(ASAN_BASE) $(UBSAN_ENV) $(VTK_SEQUENTIAL),)
PYTEST_ENV    = $(if $(filter 1,$(SANITIZE)),ASAN_OPTIONS=$(ASAN_BASE):malloc_context_size=2 $(UBSAN_ENV) \
                LSAN_OPTIONS=suppressions=$(CURDIR)/tests/python/lsan.supp:print_suppressions=0 \
                LD_PRELOAD="$(ASAN_PRELOAD)" PYTHONMALLOC=malloc $(VTK_SEQUENTIAL) PATH=$(CURDIR)/$(TOOL_SHIMS):$$PATH,)
# Programs the tests start that hold none of our code (LAMMPS, ParaView) run without the preloaded
# runtime, through shims first on PATH: their own leaks are not ours to report.
TOOL_SHIMS    = build-sanitize/tool-shims
SHIMMED_TOOLS = lmp pvbatch

# make fuzz: a longer random run of the Python face than the one in make test.
FUZZ_BATCHES ?= 24
FUZZ_CASES   ?= 20000
ifndef FUZZ_SEED
FUZZ_SEED    := $(shell date +%s)
endif

.PHONY: all deps demo-deps test-deps build modules paraview-python test test-sanitize fuzz bench clean demo install

all: build

# Installs only the packages that are missing.
define install_missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "installing:" $$missing; \
	    (apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing) $(2); \
	fi
endef

demo-deps:
	$(call install_missing,$(BUILD_DEB_PACKAGES) $(JOB_DEB_PACKAGES))

deps: demo-deps
	$(call install_missing,$(CLUSTER_INPUT_DEB_PACKAGES))
	$(call install_missing,$(OPTIONAL_DEB_PACKAGES),|| echo "not installed: the MDAnalysis and ASE readers are unavailable")

test-deps: deps
	$(call install_missing,$(TEST_DEB_PACKAGES))
	$(call install_missing,$(TOOL_DEB_PACKAGES),|| echo "not installed: the tests that need them will skip")

$(BUILD_DIR)/CMakeCache.txt: | demo-deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# ParaView's Python part conflicts with python3-vtk9, so it is unpacked into the build, never
# installed; where pvbatch (Debian's paraview) is missing or the download fails, the ParaView test
# says so and skips.
PARAVIEW_PYTHON := $(BUILD_DIR)/paraview-python
paraview-python:
	@if command -v pvbatch >/dev/null && [ ! -d $(PARAVIEW_PYTHON)/usr ]; then \
	    tmp=$$(mktemp -d) && (cd $$tmp && apt-get download python3-paraview >/dev/null 2>&1) && \
	    dpkg -x $$tmp/python3-paraview_*.deb $(PARAVIEW_PYTHON) || echo "python3-paraview not unpacked"; \
	    rm -rf $$tmp; fi

# The test executables and test-only modules are the target `tests`, outside `make build`.
test: test-deps build paraview-python
	cmake --build $(BUILD_DIR) -j $(JOBS) --target tests
	cd $(BUILD_DIR) && $(CTEST_ENV) ctest --output-on-failure -j $(JOBS)
	@if [ "$(SANITIZE)" = 1 ]; then mkdir -p $(TOOL_SHIMS) && for tool in $(SHIMMED_TOOLS); do \
	    path=$$(command -v $$tool) || continue; \
	    printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$$@"\n' "$$path" > $(TOOL_SHIMS)/$$tool; chmod +x $(TOOL_SHIMS)/$$tool; \
	done; fi
ifeq ($(SANITIZE),1)
	@run() { $(PYTEST_ENV) PYTHONPATH=$(BUILD_DIR)/python VIREO20_BUILD_DIR=$(BUILD_DIR) $(PYTHON) -m pytest -q tests/python \
	    > $(BUILD_DIR)/pytest.log 2>&1; status=$$?; cat $(BUILD_DIR)/pytest.log; }; \
	run; if [ $$status != 0 ] && grep -q "LeakSanitizer has encountered a fatal error" $(BUILD_DIR)/pytest.log; then \
	    echo "LeakSanitizer's tracer crashed at exit: the Python tests run once more"; run; fi; exit $$status
else
	PYTHONPATH=$(BUILD_DIR)/python VIREO20_BUILD_DIR=$(BUILD_DIR) $(PYTHON) -m pytest -q tests/python
endif

test-sanitize:
	$(MAKE) test SANITIZE=1

fuzz: test-deps build
	cmake --build $(BUILD_DIR) -j $(JOBS) --target tests
	@echo "fuzz: $(FUZZ_BATCHES) batches of $(FUZZ_CASES) calls from seed $(FUZZ_SEED)"
	$(PYTEST_ENV) VIREO20_FUZZ_BATCHES=$(FUZZ_BATCHES) VIREO20_FUZZ_CASES=$(FUZZ_CASES) VIREO20_FUZZ_SEED=$(FUZZ_SEED) \
	    PYTHONPATH=$(BUILD_DIR)/python VIREO20_BUILD_DIR=$(BUILD_DIR) $(PYTHON) -m pytest -q tests/python/test_quill20_wrap_fuzz.py

# One table: bench/upscaling_bench.py runs the C++ benchmarks itself; then the dump reader's table.
bench: build
	cmake --build $(BUILD_DIR) -j $(JOBS) --target benchmarks
	PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) bench/upscaling_bench.py --build-dir $(BUILD_DIR)
	PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) bench/read_lammps_bench.py --build-dir $(BUILD_DIR)
	PYTHONPATH=$(BUILD_DIR)/python $(PYTHON) bench/job_bench.py --build-dir $(BUILD_DIR)

# The main job on the built-in data set; it ends by saying where the output went and how to open it.
# It installs and builds only what the job needs (no readers of other codes, no Dask, no tests, no
# benchmarks), so that a bare machine gets to a picture sooner.
DEMO_DIR ?= $(BUILD_DIR)/demo
modules: demo-deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target _quill20 _vireo20upscaling python_packages

# `make demo INPUT=dump.lammpstrj ARGS="--mass 1=1.0"`: the same for one's own simulation, in any format
# the job reads: the readers of other codes' files are installed first (`make deps`).
ifdef INPUT
demo: modules deps
	$(BUILD_DIR)/vireo20 upscale $(INPUT) --out $(DEMO_DIR) $(ARGS)
else
demo: modules
	$(BUILD_DIR)/vireo20 upscale --out $(DEMO_DIR) --picture-step 20 --lammps-dump $(DEMO_DIR)/upscaled.dump \
	    --overwrite
endif

# Everything under PREFIX: libraries to PREFIX/lib, the Python packages and modules to
# PREFIX/lib/python3.X/site-packages, `vireo20` to PREFIX/bin (it finds its packages by itself).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf build build-sanitize

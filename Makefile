# Entry points: `make test` sets up a fresh machine, builds and runs every test;
# `make` builds; `make bench` prints the speed figures.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DLUMOX_WERROR=ON
endif

.PHONY: all deps configure test asan-test bench demo format clean

all: configure
	cmake --build $(BUILD) -j$(JOBS)

deps:
	bash scripts/install-deps.sh

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: deps configure
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	$(MAKE) asan-test

# The loaders, the binder and the sound code once more under AddressSanitizer:
# tests labelled "asan" (see tests/CMakeLists.txt).
ASAN_BUILD ?= $(BUILD)-asan
asan-test:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DLUMOX_ASAN=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS) -L asan

bench: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target benchmarks
	$(BUILD)/tools/bench/lumox_bench

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)

# Entry points: `make test` sets up a fresh machine, builds and runs every test;
# `make` builds; `make bench` prints the speed figures.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DLUMOX_WERROR=ON
endif

.PHONY: all deps configure test bench format clean

all: configure
	cmake --build $(BUILD) -j$(JOBS)

deps:
	bash scripts/install-deps.sh

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: deps configure
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

bench: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target benchmarks
	$(BUILD)/tools/bench/lumox_bench

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)

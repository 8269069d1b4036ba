# Entry points: `make test` sets up a fresh machine, builds and runs every test;
# `make` builds; `make bench` prints the speed figures; `make package` builds
# the Debian package.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DLUMOX_WERROR=ON
endif

.PHONY: all deps configure test asan-test bench demo package format clean

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

# The whole suite once more, end-to-end tests included, under AddressSanitizer
# and UndefinedBehaviorSanitizer (tests/CMakeLists.txt leaves out the valgrind
# runs, which cannot work under AddressSanitizer).
ASAN_BUILD ?= $(BUILD)-asan
asan-test:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DLUMOX_ASAN=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

bench: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target benchmarks
	$(BUILD)/tools/bench/lumox_bench

# The sample guest (sample/) in a window with its music: the Fix layout from
# a directory of its own; the Party layout and the options are told.
DEMO_DIR = $(abspath $(BUILD))/demo
demo: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target lumoxrun-sample
	mkdir -p $(DEMO_DIR)/fix $(DEMO_DIR)/party
	cp $(BUILD)/sample/fix/lumox.exe $(DEMO_DIR)/fix/
	cp $(BUILD)/sample/party/lumox.exe $(DEMO_DIR)/party/
	@echo
	@echo "The sample guest, Fix layout (LE image): Escape fades out, f toggles full screen, q quits."
	@echo "The Party layout (PMW1 image):  cd $(DEMO_DIR)/party && $(abspath $(BUILD))/sample/lumoxrun-sample"
	@echo "Options: -mute (no sound; an SDL timer drives the music), -f (start full screen)."
	@echo
	cd $(DEMO_DIR)/fix && $(abspath $(BUILD))/sample/lumoxrun-sample

# The Debian package (i386) of the program, its manual page and documents:
# $(BUILD)/lumoxrun_<version>_i386.deb.
package: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target lumoxrun manpage
	cd $(BUILD) && cpack -G DEB

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)

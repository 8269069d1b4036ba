# Entry points: `make test` sets up a fresh machine, builds and runs every test;
# `make` builds; `make bench` prints the speed figures; `make package` builds
# the Debian package.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DLUMOX_WERROR=ON
endif

.PHONY: all deps configure test asan-test asan-build-and-run ubsan-test fuzz fuzz-smoke bench demo render stress package format clean

all: configure
	cmake --build $(BUILD) -j$(JOBS)

deps:
	bash scripts/install-deps.sh

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

test: deps
	@bash scripts/run-i386.sh --report
	$(MAKE) --no-print-directory configure
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	$(MAKE) asan-test
	$(MAKE) ubsan-test
	$(MAKE) fuzz-smoke

# The whole suite once more, end-to-end tests included, under AddressSanitizer
# and UndefinedBehaviorSanitizer (tests/CMakeLists.txt leaves out the valgrind
# runs, which cannot work under AddressSanitizer). Skipped only where 32-bit
# programs run under the emulator, never in CI on a kernel that runs them
# itself (scripts/run-i386.sh --asan-skip).
ASAN_BUILD ?= $(BUILD)-asan
asan-test:
	@status=0; bash scripts/run-i386.sh --asan-skip || status=$$?; \
	if [ $$status -eq 0 ]; then exit 0; fi; \
	if [ $$status -ne 1 ]; then exit 1; fi; \
	$(MAKE) asan-build-and-run

asan-build-and-run:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DLUMOX_ASAN=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# The loader tests once more under clang's UndefinedBehaviorSanitizer, which
# finds what GCC's does not (pointer arithmetic that wraps). Its exit status
# differs from the fatal status 1, so a report never passes as a fatal exit.
UBSAN_BUILD ?= $(BUILD)-ubsan
LOADER_TESTS = loader_identify_test loader_le_test loader_pmw1_test loader_unpack_test \
	loader_pack_test loader_mkimage_test
ubsan-test:
	cmake -S . -B $(UBSAN_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i386-linux-clang.cmake \
		-DLUMOX_UBSAN=ON $(CMAKE_FLAGS)
	cmake --build $(UBSAN_BUILD) -j$(JOBS) --target mkimage $(LOADER_TESTS)
	for t in $(LOADER_TESTS); do \
		UBSAN_OPTIONS=print_stacktrace=1:exitcode=212 LUMOX_BINARY_DIR=$(abspath $(UBSAN_BUILD)) \
			$(UBSAN_BUILD)/tests/$$t --gtest_brief=1 || exit 1; \
	done

# Fuzz targets of the loaders and the decoder (scripts/fuzz.sh): `make fuzz
# FUZZ_SECONDS=600` runs each target that long and keeps what it finds in
# tests/fuzz/; `make test` runs a short smoke and replays the stored inputs.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
fuzz:
	FUZZ_BUILD=$(abspath $(BUILD))-fuzz bash scripts/fuzz.sh campaign $(FUZZ_SECONDS)
fuzz-smoke:
	FUZZ_BUILD=$(abspath $(BUILD))-fuzz bash scripts/fuzz.sh smoke $(FUZZ_SMOKE_SECONDS)

bench: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target benchmarks lumoxrun-sample av_probe
	$(BUILD)/tools/bench/lumox_bench
	bash scripts/bench-window.sh $(abspath $(BUILD)) $(CURDIR)/.deps/classic-sdl/usr/lib/i386-linux-gnu

# The sample guest ended STRESS_RUNS times by every exit road, with and without
# sound, under a virtual X server; prints the counts of hangs, wrong statuses,
# missing farewell lines and SDL shut down before the display was released,
# and fails if any. Not part of `make test`, which runs a short round.
STRESS_RUNS ?= 100
stress: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target lumox_stress
	$(BUILD)/tools/lumox_stress $(STRESS_RUNS)

# The sample guest (sample/) in a window with its music: the Fix layout from
# a directory of its own; the Party layout and the options are told.
DEMO_DIR = $(abspath $(BUILD))/demo
demo: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target lumoxrun-sample
	mkdir -p $(DEMO_DIR)/fix $(DEMO_DIR)/party
	cp $(BUILD)/sample/fix/lumox.exe $(DEMO_DIR)/fix/
	cp $(BUILD)/sample/party/lumox.exe $(DEMO_DIR)/party/
	@echo
	@echo "The sample guest, Fix layout (LE image). Keys, acting when released:"
	@echo "  Escape  the demo fades out and leaves     q, closing the window  quit at once"
	@echo "  f, Alt+Enter  full screen or window       s  save the picture as lumox-NNNN.png"
	@echo "  p, Pause  pause or resume                 .  while paused: the next frame"
	@echo "The Party layout (PMW1 image):  cd $(DEMO_DIR)/party && $(abspath $(BUILD))/sample/lumoxrun-sample"
	@echo "Options: -mute (no sound; an SDL timer drives the music), -f (start full screen)."
	@echo
	cd $(DEMO_DIR)/fix && $(abspath $(BUILD))/sample/lumoxrun-sample

# The sample guest rendered to a video file, the way `make demo` shows it
# (with its sound), ending through its own fade after RENDER_SECONDS.
RENDER_SECONDS ?= 10
render: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target lumoxrun-sample
	mkdir -p $(DEMO_DIR)/fix
	cp $(BUILD)/sample/fix/lumox.exe $(DEMO_DIR)/fix/
	cd $(DEMO_DIR)/fix && $(abspath $(BUILD))/sample/lumoxrun-sample \
		-render $(DEMO_DIR)/sample.mkv -seconds $(RENDER_SECONDS)
	@echo "The render: $(DEMO_DIR)/sample.mkv (play it with any video player, e.g. ffplay)"

# The Debian package (i386) of the program, its manual page and documents:
# $(BUILD)/lumoxrun_<version>_i386.deb.
package: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target lumoxrun manpage
	cd $(BUILD) && cpack -G DEB

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)

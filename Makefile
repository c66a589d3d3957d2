# Everyday entry points. `make test` and `make demo` work on a fresh Debian 12 machine:
# they install what is missing, configure, build and run.

BUILD_DIR    ?= build
ASAN_DIR     ?= build-asan
TSAN_DIR     ?= build-tsan
FUZZ_DIR     ?= build-fuzz
PACKAGE_DIR  ?= build-package
DEMO_DIR     ?= build-demo
JOBS         ?= $(shell nproc)
FUZZ_SECONDS ?= 60
CMAKE_FLAGS  ?=
GENERATOR    := -G Ninja

CLI := $(BUILD_DIR)/Source/Cli/midi-updater-cli

.PHONY: all deps deps-cli deps-programs package-check configure build test demo asan-test tsan-test kernel-test kernel-bench fuzz fuzz-run fuzz-long package bench format format-check examples screenshot clean

all: build

deps:
	@bash scripts/install-deps.sh all

deps-cli:
	@bash scripts/install-deps.sh cli

deps-programs:
	@bash scripts/install-deps.sh programs

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) $(GENERATOR) -DMIDIUPDATER_WERROR=ON $(CMAKE_FLAGS)

configure: deps $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# A whole update of the example file (three portions, with pauses) on the simulated Kelva, slowed
# to 200,000 bytes a second so that the progress bar can be watched.
# Installs only what building the command-line tool needs and builds only that tool, in a build
# folder of its own.
demo: deps-cli
	cmake -S . -B $(DEMO_DIR) $(GENERATOR) -DMIDIUPDATER_BUILD_APP=OFF -DMIDIUPDATER_BUILD_TESTS=OFF \
	    -DMIDIUPDATER_BUILD_BENCH=OFF
	cmake --build $(DEMO_DIR) -j $(JOBS) --target midi-updater-cli
	$(DEMO_DIR)/Source/Cli/midi-updater-cli update --simulate --yes --sim-rate 200000 examples/kelva-demo.upd

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer, built with clang
# (so that clang builds everything too).
asan-test: deps
	CXX=clang++ cmake -S . -B $(ASAN_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DMIDIUPDATER_WERROR=ON \
	    -DMIDIUPDATER_SANITIZE=address,undefined -DMIDIUPDATER_BUILD_BENCH=OFF
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS) -LE no-sanitizer

# The tests that run the device's receive thread against the sender's thread, under
# ThreadSanitizer (their test suites carry "Concurrency" in their names).
tsan-test: deps
	cmake -S . -B $(TSAN_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIDIUPDATER_WERROR=ON \
	    -DMIDIUPDATER_SANITIZE=thread -DMIDIUPDATER_BUILD_BENCH=OFF
	cmake --build $(TSAN_DIR) -j $(JOBS) --target MidiUpdateLibTests PlatformTests SimulatorTests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	    ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS) -R Concurrency --no-tests=error

# The ALSA back end against a real Linux kernel (Debian's, booted under qemu) and its USB MIDI
# stack; see docs/kernel-tests.md. Skips, saying so, where qemu cannot run.
kernel-test: build
	bash tools/kernel-vm/run-kernel-tests.sh $(CLI) $(BUILD_DIR) $(TSAN_DIR)

# One VM boot that times 1 MiB of SysEx to the USB MIDI gadget by `amidi -s` and by the updater's
# delivery, interleaved, 10 runs each (tools/kernel-vm/kernel-bench.sh; figures in docs/measurements.md).
kernel-bench: build
	bash tools/kernel-vm/run-kernel-bench.sh $(BUILD_DIR)

# The Debian package, midi-updater_VERSION_ARCH.deb in this folder: a release build with Debian's
# hardening and optimisation flags (build type None: the flags are all theirs), packed by CPack
# (packaging/CMakeLists.txt).
package: deps-programs
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	cmake -S . -B $(PACKAGE_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=None -DMIDIUPDATER_WERROR=ON \
	    -DMIDIUPDATER_BUILD_TESTS=OFF -DMIDIUPDATER_BUILD_BENCH=OFF \
	    -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	rm -f $(PACKAGE_DIR)/midi-updater_*.deb
	cd $(PACKAGE_DIR) && cpack -G DEB
	cp $(PACKAGE_DIR)/midi-updater_*.deb .

# The package checked as a user meets it (lintian, the validators, installed, used, removed); as root.
package-check: deps package
	bash packaging/check-package.sh $$(ls midi-updater_*.deb | tail -n 1)

# libFuzzer targets, built with clang.
fuzz: deps
	CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIDIUPDATER_WERROR=ON \
	    -DMIDIUPDATER_BUILD_FUZZ=ON -DMIDIUPDATER_BUILD_TESTS=OFF -DMIDIUPDATER_BUILD_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz-targets

# Every fuzz target at once for FUZZ_SECONDS each, from the checked-in corpora.
fuzz-run: fuzz
	bash fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# A longer campaign (SECONDS per target) that keeps what adds coverage in fuzz/corpus.
SECONDS ?= 3600
fuzz-long: fuzz
	bash fuzz/run.sh $(FUZZ_DIR) $(SECONDS) --keep

bench: build
	bash bench/run.sh $(BUILD_DIR)
	bash bench/chunking_ratio.sh $(BUILD_DIR)

# Regenerates the example update file from the checked-in portions.
examples: build
	bash examples/make-examples.sh $(CLI)

# The desktop application's window in the middle of an update against the simulated device,
# rendered under Xvfb, for the README.
screenshot: build
	xvfb-run -a -s "-screen 0 1280x800x24" $(BUILD_DIR)/Source/Application/midi-updater --simulate \
	    --sim-rate 40000 --screenshot docs/screenshot.png examples/kelva-demo.upd

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR)

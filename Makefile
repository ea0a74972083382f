# Morvane Controller Host: set-up, build, test and run.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
SOAK_BUILD ?= build-soak
FUZZ_SECONDS ?= 60
FUZZ_PARALLEL ?= 1

.PHONY: all check check-layers check-format deps configure build test test-wm test-wayland test-nonroot test-repeat test-packaging test-asan test-tsan fuzz fuzz-build fuzz-smoke soak run bench install package clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Every test group; TEST_EXCLUDE (a label pattern) leaves groups out, as CI
# does for the groups it runs as steps of their own.
TEST_EXCLUDE ?=
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(if $(TEST_EXCLUDE),-LE '$(TEST_EXCLUDE)')

# The windows under the openbox window manager, each group on an X server of
# its own (no display needed): prompts stacked above the window that raised
# them, minimise and restore.
test-wm: build
	@cd $(BUILD) && ctest --output-on-failure -L '^wm$$'

# The windows on Wayland, each run on a headless weston of its own: every
# window belongs to the window it was opened from, shows its whole title in
# the client-side title bar, and Qt warns of nothing.
test-wayland: build
	@cd $(BUILD) && ctest --output-on-failure -L '^wayland$$'

# The file tests as an ordinary user (uid 65534) when run as root: root may
# write any file, so the permission cases hold only there.
test-nonroot: build
	@cd $(BUILD) && ctest --output-on-failure -L '^nonroot$$'

# The groups whose tests use threads, pseudo-terminals, the simulated drive
# or the Python module, REPEAT times in a row (default 20), stopping at the
# first failure: a test that fails now and then shows here.
REPEAT ?= 20
test-repeat: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L '^(serial|line|python)$$' --repeat until-fail:$(REPEAT)

# House rules held by tools: the floors of src/ (no include points to a floor
# above, no folder loop) and the layout of every C++ file (.clang-format).
check: check-layers check-format
check-layers: deps
	@scripts/check-layers
check-format: deps
	@scripts/check-format

# Builds only the programs it starts, quietly (the compiler's output goes to
# $(BUILD)/build.log and is shown only when the build fails), then starts
# the desktop application.
run: configure
	@echo "run: building morvane-host in $(BUILD)/ (log: $(BUILD)/build.log)"
	@cmake --build $(BUILD) -j $(JOBS) --target morvane-host morvane-sim \
	  >$(BUILD)/build.log 2>&1 || { tail -n 40 $(BUILD)/build.log; echo "run: the build failed; the whole log is in $(BUILD)/build.log" >&2; exit 1; }
	@scripts/run-host $(BUILD)

bench: build
	@scripts/run-bench $(BUILD)

# Installs the programs, the desktop entry and the icon under PREFIX (default
# /usr/local); DESTDIR stages the files elsewhere, as packagers do.
PREFIX ?= /usr/local
install: build
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian packages in the build folder, morvane-host_<version>_<arch>.deb
# (the programs) and python3-morvane_<version>_<arch>.deb (the Python module,
# without Qt), with their library dependencies worked out by dpkg-shlibdeps.
package: build
	@cd $(BUILD) && cpack -G DEB

# Both packages installed with apt and removed again (nothing may be left),
# and `pip install .` in a virtual environment of every Python 3.11 or later
# on the machine. It installs packages: root only, and not part of `make
# test` (CI runs it as a step of its own).
PYTHON ?= /usr/bin/python3
test-packaging: build
	@cd $(BUILD) && cpack -G DEB >/dev/null
	@MV_BUILD=$(BUILD) $(PYTHON) -m pytest -q -p no:cacheprovider tests/python/test_packaging.py

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer
# (leaks included; known leaks of system libraries in scripts/lsan.supp).
# The wm group is left out: on a real X server the keyboard library
# (libxkbcommon-x11) reads its strings in a way the strict string checks
# report at start-up; the same windows run under ASan offscreen.
test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMV_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -LE 'soak|wm|wayland' -j $(JOBS)

# The serial component's and the link's tests with ThreadSanitizer (every
# suite that test_serial and test_link list, so new suites are included
# without editing this rule), the drive client's, then a shortened soak
# against the simulated drive.
TSAN_SOAK ?= MV_SOAK_POLLS=1000 MV_SOAK_ROUNDS=100 MV_SOAK_CYCLES=100
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMV_TSAN=ON -DMV_WITH_GUI=OFF -DMV_SOAK=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_serial test_link test_session test_soak
	@cd $(TSAN_BUILD) && suites=$$( (tests/test_serial --gtest_list_tests; tests/test_link --gtest_list_tests; \
	  echo DriveClient.) | sed -n 's/^\([A-Za-z0-9_]*\)\.$$/\1/p' | sort -u | paste -sd'|') && \
	  test -n "$$suites" && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -R "^($$suites)\." -LE soak -j 1 && \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_SOAK) ctest --output-on-failure -L soak -j 1

# libFuzzer targets for every reader of outside input (clang, ASan + UBSan).
fuzz-build: deps
	@cmake -S . -B $(FUZZ_BUILD) -DMV_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all

# Each target for FUZZ_SECONDS (default 60), FUZZ_PARALLEL at a time.
fuzz: fuzz-build
	@fuzz/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_PARALLEL)

# Each target for 20 s: a quick check that no known input crashes.
fuzz-smoke: fuzz-build
	@fuzz/run-fuzz.sh $(FUZZ_BUILD) 20 $(FUZZ_PARALLEL)

# Long runs against the simulated drive with faults injected, port open/close
# cycling and bursts (not part of `make test`), built with ASan + UBSan so
# that leaks show too. MV_SOAK_POLLS, MV_SOAK_ROUNDS, MV_SOAK_CYCLES and
# MV_SOAK_SEED change the run.
soak: deps
	@cmake -S . -B $(SOAK_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMV_SANITIZE=ON -DMV_SOAK=ON -DMV_WITH_GUI=OFF \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(SOAK_BUILD) -j $(JOBS) --target test_soak
	@cd $(SOAK_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -V -L soak

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(SOAK_BUILD)

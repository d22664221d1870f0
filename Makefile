# Everything a newcomer needs, on Debian 12 as root:
#   make demo   full upgrade against the built-in simulated device
#   make test   build and run the whole test suite
SHELL := /bin/bash
QT ?= 5
# The CMake presets (CMakePresets.json) hold the settings of each build;
# BUILD moves a build elsewhere.
PRESET ?= $(if $(filter 6,$(QT)),qt6,default)
BUILD ?= build$(if $(filter 6,$(QT)),-qt6,)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# help2man makes the man pages; dpkg-dev (dpkg-shlibdeps) and file let CPack
# work out the package's dependencies; man-db reads the packaged pages in the
# package check. postgresql gives the history tests a server of their own to
# start (its packaged cluster is not used); the Qt SQL drivers are the
# history's two kinds of database.
PKGS_COMMON := cmake make g++ pkg-config socat xvfb xauth python3 clang-format \
               help2man dpkg-dev file man-db postgresql
PKGS_QT5 := qtbase5-dev libqt5serialport5-dev qttools5-dev qttools5-dev-tools qttranslations5-l10n \
            libqt5sql5-sqlite libqt5sql5-psql
PKGS_QT6 := qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools \
            qt6-translations-l10n libgl-dev libqt6sql6-sqlite libqt6sql6-psql
PKGS := $(PKGS_COMMON) $(if $(filter 6,$(QT)),$(PKGS_QT6),$(PKGS_QT5))

.PHONY: all deps configure build test test-asan fuzz fuzz-smoke fuzz-build soak demo run package \
        format translations clean

all: build

# Installs only what is missing; does nothing when everything is present.
deps:
	@missing=""; \
	for p in $(PKGS) $(EXTRA_PKGS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

configure: deps
	cmake --preset $(PRESET) -B $(BUILD) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS) $(CTEST_ARGS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; the
# first report stops the test that raised it.
ASAN_BUILD ?= build-asan
SAN_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
test-asan: deps
	cmake --preset asan -B $(ASAN_BUILD) -DKT62_QT_MAJOR=$(QT) $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen $(SAN_ENV) ctest --output-on-failure -j$(JOBS) $(CTEST_ARGS)

# libFuzzer targets (clang). `make fuzz` runs each for FUZZ_SECONDS (10 min),
# `make fuzz-smoke` for 20 s; the corpus grows in $(FUZZ_BUILD)/corpus, seeded
# from fuzz/corpus.
FUZZ_BUILD ?= build-fuzz
FUZZ_TARGETS := receive info firmware
FUZZ_SECONDS ?= 600
fuzz-build:
	$(MAKE) deps EXTRA_PKGS="clang libclang-rt-14-dev"
	cmake --preset fuzz -B $(FUZZ_BUILD) -DKT62_QT_MAJOR=$(QT)
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))

fuzz: fuzz-build
	@set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=0 ./$(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) \
	    -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/fuzz_$$t- \
	    $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t 2>&1 | grep -E '^(#|stat::|==|invariant|SUMMARY)' | tail -n 12; \
	  test $${PIPESTATUS[0]} -eq 0; \
	done

fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=20

# A thousand seeded upgrades of random images (1 byte to 2 MiB) against the
# simulated device with random faults; every outcome is checked.
SOAK_RUNS ?= 1000
soak: build
	python3 scripts/soak.py --build $(BUILD) --runs $(SOAK_RUNS) --seed $(or $(SEED),1)

# Seeded runs of kt62-flash against hostile devices (tests/chaos), each run
# checked against the flasher's promises; CHAOS_SEEDS seeds from CHAOS_FIRST,
# CHAOS_JOBS runs at once. CHAOS_SEED=N replays one seed five times with the
# conversation of a failing run. A long soak: make chaos CHAOS_SEEDS=5000
CHAOS_SEEDS ?= 300
CHAOS_FIRST ?= 1
CHAOS_JOBS ?= 4
.PHONY: chaos
chaos: configure
	cmake --build $(BUILD) -j$(JOBS) --target kt62-flash
	python3 tests/chaos/test_kt62dev.py
	python3 tests/chaos/chaos.py --build $(BUILD) --jobs $(CHAOS_JOBS) \
	  $(if $(CHAOS_SEED),--seed $(CHAOS_SEED),--seeds $(CHAOS_SEEDS) --first $(CHAOS_FIRST))

# Builds only the simulated device and the flasher; needs no display.
demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target kt62-sim kt62-flash
	./scripts/demo.sh $(BUILD)

# A station: boards that come and go on two fixtures, served one after the
# other by one kt62-flash --station until SIGINT; every image verified.
.PHONY: demo-station demo-parallel
demo-station: configure
	cmake --build $(BUILD) -j$(JOBS) --target kt62-sim kt62-flash
	./scripts/demo-station.sh $(BUILD)

# Four simulated devices upgraded at once by one kt62-flash, each verified.
demo-parallel: configure
	cmake --build $(BUILD) -j$(JOBS) --target kt62-sim kt62-flash
	./scripts/demo-parallel.sh $(BUILD)

# The figures of docs/benchmarks.md; not part of CI (a few minutes).
# lrzsz is the reference for the transfer rate; xvfb comes with deps.
.PHONY: bench
bench: EXTRA_PKGS += lrzsz strace
bench: build
	python3 scripts/bench.py $(BUILD)

run: build
	./$(BUILD)/app/kt62-update-tool

# docs/station.png: kt62-station under Xvfb serving simulated boards in several
# states; a Chinese font for the Language menu's title.
.PHONY: station-screenshot
station-screenshot: EXTRA_PKGS += fonts-wqy-microhei
station-screenshot: build
	./scripts/station-screenshot.sh $(BUILD)

# The Debian package, $(BUILD)/kt62-update-tool_VERSION_ARCH.deb: the GUI, both
# tools, their man pages and completion, the desktop entry and icons.
# Install it with: apt install ./$(BUILD)/kt62-update-tool_*.deb
package: build
	cmake --build $(BUILD) --target package

# Refreshes the Chinese catalogue from the sources (new texts come in unfinished).
translations: deps
	lupdate -no-obsolete -locations none app dialogs upgrade firmware -ts resources/translation_ch.ts
	lupdate -no-obsolete -locations none station -ts station/translations/kt62_station_zh_CN.ts

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-qt6 build-asan build-fuzz

# The everyday commands: `make run SOURCE=dir DEST=dir` builds and mirrors
# SOURCE into DEST until Ctrl-C; `make test` builds and runs the whole suite;
# `make` only builds. All install missing Debian packages first when run as root.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build host run install deb test sanitize tsan bench soak fuzz windows windows-i686 test-windows clean deps

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Only what the main job needs, so the first run does not wait for the tests.
host: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target strandel_cli binhaul

run: host
	@scripts/run-pair $(BUILD)/src/entry/strandel "$(SOURCE)" "$(DEST)" "$(NAME)"

# Library, strandel and binhaul side by side under $(PREFIX)/lib/strandel.
PREFIX ?= $(HOME)/.local
install: build
	cmake --install $(BUILD) --prefix "$(PREFIX)"

# A Debian package, $(BUILD)/strandel_VERSION_ARCH.deb: the same layout under
# /usr, with a user and a system unit for systemd. scripts/check-deb tries it.
deb: host
	cd $(BUILD) && cpack -G DEB

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

# The same suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
# and with ThreadSanitizer.
sanitize: deps
	cmake -S . -B $(BUILD)-sanitize -G Ninja -DSTRANDEL_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	ctest --test-dir $(BUILD)-sanitize -j $(JOBS) --output-on-failure

tsan: deps
	cmake -S . -B $(BUILD)-tsan -G Ninja -DSTRANDEL_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)-tsan -j $(JOBS)
	ctest --test-dir $(BUILD)-tsan -j $(JOBS) --output-on-failure

# The crash-consistency soak: the daemon killed 50 times under a stream of
# changes, then the trees, the history and the database checked. About ten
# minutes; outside `make test`. SOAK_ARGS='--kills 5 --keep'.
soak: host
	tests/soak/soak.py --strandel $(BUILD)/src/entry/strandel $(SOAK_ARGS)

# Benchmarks, built optimised in a tree of their own.
bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja -DSTRANDEL_BENCH=ON -DSTRANDEL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)-bench -j $(JOBS)
	$(BUILD)-bench/bench/sync_log_bench
	$(BUILD)-bench/bench/watch_bench
	$(BUILD)-bench/bench/realtime_bench

# The libFuzzer targets, built with clang in a tree of their own; each runs
# FUZZ_SECONDS on a scratch copy of its starting corpus (README: longer sessions).
FUZZ_SECONDS ?= 15
fuzz: deps
	JOBS=$(JOBS) scripts/fuzz $(BUILD)-fuzz $(FUZZ_SECONDS)

# The Windows cross-build with mingw-w64, in a tree of its own: Strandel.dll
# on the Win32 platform layer, with SQLite from its amalgamation
# (scripts/fetch-sqlite), Binhaul.exe and the test programs. `make
# test-windows` runs them under wine64; `make windows-i686` builds the 32-bit
# DLL (running it would need 32-bit Wine).
define mingw_build
	@scripts/install-deps windows
	scripts/fetch-sqlite $(1)/sqlite
	cmake -S . -B $(1) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/$(2).cmake \
	  -DSTRANDEL_SQLITE_DIR=$(CURDIR)/$(1)/sqlite -DCMAKE_BUILD_TYPE=Release $(3)
	cmake --build $(1) -j $(JOBS)
endef

windows:
	$(call mingw_build,$(BUILD)-windows,mingw-w64-x86_64)

windows-i686:
	$(call mingw_build,$(BUILD)-windows-i686,mingw-w64-i686,-DSTRANDEL_TESTS=OFF)

# TEST_WINDOWS_ARGS: further ctest arguments, e.g. -R win_os_tests.
test-windows: windows
	JOBS=$(JOBS) scripts/test-windows $(BUILD)-windows $(TEST_WINDOWS_ARGS)

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(BUILD)-tsan $(BUILD)-bench $(BUILD)-fuzz $(BUILD)-windows $(BUILD)-windows-i686

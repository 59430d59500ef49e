# The two everyday commands: `make` builds, `make test` builds and runs the
# whole suite. Both install missing Debian packages first when run as root.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build test sanitize clean deps

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

# The same suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(BUILD)-sanitize -G Ninja -DSTRANDEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	ctest --test-dir $(BUILD)-sanitize -j $(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize

# Corvane: the user's entry point. `make test` installs what is missing, builds the Linux,
# Windows (mingw-w64) and sanitizer configurations, and runs every test.

BUILD ?= build
SRC := $(CURDIR)
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
GENERATOR := -G Ninja

.PHONY: all deps linux windows sanitize tsan build test demo fuzz bench clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/linux/build.ninja: | deps
	cmake -S . -B $(BUILD)/linux $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BENCH=ON

$(BUILD)/windows/build.ninja: | deps
	cmake -S . -B $(BUILD)/windows $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(SRC)/cmake/toolchain-mingw-w64.cmake

$(BUILD)/sanitize/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/sanitize $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug \
	  -DCORVANE_SANITIZE=ON -DCORVANE_FUZZ=ON

# ThreadSanitizer: only the programs listed here are built, and run-tests.sh runs only their tests.
TSAN_TARGETS ?= nat_concurrency_tests proxy_tests proxy_upstream_tests dns_tests proxy_gateway_tests driver_tests

$(BUILD)/tsan/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/tsan $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCORVANE_TSAN=ON

linux: deps $(BUILD)/linux/build.ninja
	cmake --build $(BUILD)/linux -j $(JOBS)

windows: deps $(BUILD)/windows/build.ninja
	cmake --build $(BUILD)/windows -j $(JOBS)

sanitize: deps $(BUILD)/sanitize/build.ninja
	cmake --build $(BUILD)/sanitize -j $(JOBS)

tsan: deps $(BUILD)/tsan/build.ninja
	cmake --build $(BUILD)/tsan -j $(JOBS) --target $(TSAN_TARGETS)

build: linux windows sanitize tsan

test: build
	scripts/run-tests.sh $(BUILD)

# A VPN client online through corvane-service (mode nat, then mode proxy) in the namespace
# lab. Root only.
demo: linux
	scripts/demo.sh $(BUILD)/linux

# Long fuzzer runs: FUZZ_SECONDS per target (make fuzz FUZZ_SECONDS=600).
fuzz: sanitize
	scripts/run-fuzzers.sh $(BUILD)/sanitize $(FUZZ_SECONDS)

bench: linux
	scripts/run-benchmarks.sh $(BUILD)/linux

clean:
	rm -rf $(BUILD)

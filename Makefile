# Entry points for a newcomer: `make demo` installs what is missing, builds
# and runs the example tools against each other; `make test` runs the whole
# suite; `make bench` runs the short benchmarks and prints one table;
# `make stress` runs the load test at full size (200 clients, 1000 messages
# each way) and the hostile-peer table; `make fuzz` builds the libFuzzer
# targets with clang and runs each for FUZZ_SECONDS; `make dissector-test`
# checks the Wireshark dissector on a capture. Sanitizer builds live in their
# own folders.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 120

.PHONY: all deps build demo test bench stress test-asan test-tsan fuzz-deps fuzz dissector-test install format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

demo: deps build
	scripts/demo.sh $(BUILD_DIR)/examples

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

stress: build
	VESK_STRESS=1 $(BUILD_DIR)/tests/test_load
	$(BUILD_DIR)/tests/test_hostile_peers

bench: build
	scripts/bench.sh $(BUILD_DIR)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

fuzz-deps:
	@scripts/install-deps.sh fuzz

fuzz: fuzz-deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
		-DVESK_BUILD_FUZZ=ON -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_PERF=OFF -DVESK_BUILD_EXAMPLES=OFF
	cmake --build build-fuzz --target vesk_fuzz -j $(JOBS)
	scripts/run-fuzz.sh build-fuzz $(FUZZ_SECONDS)

# The Wireshark dissector (tools/wireshark/vesk.lua) on a loopback capture of
# the example tools; installs tshark when missing, captures as root.
dissector-test: build
	@scripts/install-deps.sh wireshark
	scripts/test-dissector.sh $(BUILD_DIR)/examples

install: build
	cmake --install $(BUILD_DIR)

format:
	clang-format -i include/vesk/*.h src/*/*.h src/*/*.cpp tests/*.cpp tests/*.h perf/*.cpp perf/*.h \
		examples/*.cpp examples/*.h fuzz/*.cpp fuzz/*.h

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz

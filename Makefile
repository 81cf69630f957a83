# Entry points for a newcomer: `make demo` installs what is missing, builds
# and runs the example tools against each other; `make test` runs the whole
# suite; `make bench` runs the short benchmarks and prints one table.
# Sanitizer builds live in their own folders.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test bench test-asan test-tsan install format clean

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

install: build
	cmake --install $(BUILD_DIR)

format:
	clang-format -i include/vesk/*.h src/*/*.h src/*/*.cpp tests/*.cpp perf/*.cpp perf/*.h examples/*.cpp examples/*.h

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan

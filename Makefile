# Entry points for a newcomer: `make demo` installs what is missing, builds
# and runs the example tools against each other; `make test` runs the whole
# suite; `make bench` runs the short benchmarks and prints one table;
# `make stress` runs the load test at full size (200 clients, 1000 messages
# each way) and the hostile-peer table; `make scenarios` replays the attacks
# an outsider can make on a server (idle peers, bursts, login replay and
# guessing, bad user files) and prints one row each with its bound (see
# docs/OPERATIONS.md); `make fuzz` builds the libFuzzer targets with clang
# and runs each for FUZZ_SECONDS; `make dissector-test` checks the Wireshark
# dissector on a capture; `make docs` writes the API reference. Sanitizer,
# clang and package builds live in their own folders.
#
# The project's own builds here turn warnings into errors (VESK_WERROR); a
# plain `cmake` configure, as a packager or a parent project does it, does not.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 120
WERROR = -DVESK_WERROR=ON

.PHONY: all deps build demo test bench stress scenarios test-asan test-tsan test-clang release package package-check \
	subproject-check fuzz-deps package-deps docs-deps bench-deps fuzz dissector-test docs install format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR)
	cmake --build $(BUILD_DIR) -j $(JOBS)

demo: deps build
	scripts/demo.sh $(BUILD_DIR)/examples

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

stress: build
	VESK_STRESS=1 $(BUILD_DIR)/tests/vesk_test_load
	$(BUILD_DIR)/tests/vesk_test_hostile_peers

scenarios: build
	$(BUILD_DIR)/perf/vesk_perf_scenarios

bench: bench-deps build
	scripts/bench.sh $(BUILD_DIR)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=address,undefined $(WERROR)
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=thread $(WERROR)
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

# Everything built with clang++-14, and the suite run, without sanitizers.
test-clang: fuzz-deps
	cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 $(WERROR)
	cmake --build build-clang -j $(JOBS)
	ctest --test-dir build-clang --output-on-failure -j $(JOBS)

# Everything at -O3 (Release) with Debian's build flags, installed into /usr
# (where the tools need no RPATH): the configuration the Debian packages come
# from.
release: package-deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_RPATH=ON $(WERROR) \
		-DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
		-DCMAKE_SHARED_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build build-release -j $(JOBS)

# libvesk2, libvesk-dev and vesk-tools in build-release/.
package: release
	cd build-release && cpack -G DEB

# lintian on the packages, then installs them on this machine and builds
# README's minimal client against them (pkg-config and find_package).
package-check: package
	scripts/check-debian-packages.sh build-release

# libvesk inside a parent project (FetchContent) that has a test_users target.
subproject-check: deps
	tests/subproject/check.sh

fuzz-deps:
	@scripts/install-deps.sh fuzz

package-deps:
	@scripts/install-deps.sh package

docs-deps:
	@scripts/install-deps.sh docs

# libzmq, the peer library `make bench` compares with; configured before the
# build so that its comparison tool is built.
bench-deps:
	@scripts/install-deps.sh bench

fuzz: fuzz-deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 $(WERROR) \
		-DVESK_BUILD_FUZZ=ON -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_PERF=OFF -DVESK_BUILD_EXAMPLES=OFF
	cmake --build build-fuzz --target vesk_fuzz -j $(JOBS)
	scripts/run-fuzz.sh build-fuzz $(FUZZ_SECONDS)

# The Wireshark dissector (tools/wireshark/vesk.lua) on a loopback capture of
# the example tools; installs tshark when missing, captures as root.
dissector-test: build
	@scripts/install-deps.sh wireshark
	scripts/test-dissector.sh $(BUILD_DIR)/examples

# The API reference from the installed headers (docs/Doxyfile), as HTML in
# build-docs/html/; fails on any public member without a comment.
docs: docs-deps
	doxygen docs/Doxyfile
	@echo "API reference: build-docs/html/index.html"

install: build
	cmake --install $(BUILD_DIR)

format:
	clang-format -i include/vesk/*.h src/*/*.h src/*/*.cpp tests/*.cpp tests/*.h tests/*/*.cpp perf/*.cpp perf/*.h \
		examples/*.cpp examples/*.h fuzz/*.cpp fuzz/*.h

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-clang build-release build-fuzz build-docs

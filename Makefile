# Front door over CMake. `make run` and `make test` install what is missing first.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
CTEST = ctest --output-on-failure -j $(JOBS) --timeout 300

# ccache shares objects between clones of the repository (CI builds a fresh clone).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true
export CCACHE_SLOPPINESS := pch_defines,time_macros,include_file_mtime,include_file_ctime

.PHONY: all deps build run test test-asan test-tsan bench fuzz fuzz-ci soak soak-asan format format-check clean install package screenshot

all: build

deps:
	@./scripts/install-deps.sh

build/build.ninja:
	cmake -S . -B build $(CMAKE_FLAGS)

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

run: build
	@./scripts/run.sh build

test: build
	cd build && $(CTEST)

# AddressSanitizer + UndefinedBehaviorSanitizer: tests only.
build-asan/build.ninja:
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DDRAVANE_SANITIZE=address -DDRAVANE_BUILD_APP=OFF

test-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	cd build-asan && $(CTEST)

# ThreadSanitizer: the tests labelled "tsan" (everything with threads or cross-thread waits).
build-tsan/build.ninja:
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DDRAVANE_SANITIZE=thread -DDRAVANE_BUILD_APP=OFF

test-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && $(CTEST) -L tsan

# ser2net is the anchor of dravane-server's rows (socat is a dependency already).
bench: build
	@./scripts/install-deps.sh ser2net
	@./scripts/bench.sh build

# The README's picture of the main window, against the simulator.
screenshot: build
	@./scripts/screenshot.sh build docs/screenshot.png

# The program, the simulator, menu entry, icons, manual pages and the
# service unit under PREFIX (DESTDIR honoured).
PREFIX ?= /usr/local
install: build
	cmake --install build --prefix $(PREFIX) --strip

# The Debian packages build/dravane_2.0.1_<arch>.deb (the desktop program) and
# build/dravane-server_2.0.1_<arch>.deb (the Server without a display), under /usr.
package: build
	cd build && cpack
	@ls build/dravane*_2.0.1_*.deb

# libFuzzer targets under clang (build-fuzz/), each for FUZZ_SECONDS (default 60).
fuzz:
	@./scripts/fuzz.sh

# The short form CI runs: 10 s per target.
fuzz-ci:
	@FUZZ_SECONDS=10 ./scripts/fuzz.sh

# Relay soak: SOAK_COMMANDS commands (default 10000) Client -> Server -> controller
# with random disconnects; prints its figures, fails on a hang or growth.
SOAK_COMMANDS ?= 10000
soak: deps build/build.ninja
	cmake --build build -j $(JOBS) --target comm-soak
	./build/comm-soak $(SOAK_COMMANDS)

# A shorter soak under AddressSanitizer.
soak-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS) --target comm-soak
	ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp ./build-asan/comm-soak 1000

SOURCES_TO_FORMAT = find src tests tools bench \( -name '*.cpp' -o -name '*.h' \) -print0

format: deps
	$(SOURCES_TO_FORMAT) | xargs -0 clang-format -i

# Fails, naming each place, when a source file is not formatted.
format-check: deps
	$(SOURCES_TO_FORMAT) | xargs -0 clang-format --dry-run --Werror

clean:
	rm -rf build build-asan build-tsan build-fuzz

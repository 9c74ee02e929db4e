# Front door: `make` builds and installs into dist/, `make install` into PREFIX (/usr/local),
# `make test` runs every test,
# `make demo` packs the example and runs it under Wine.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
DIST ?= $(CURDIR)/dist

.PHONY: all setup build install test test-native test-wine demo bench bench-size bench-target fuzz clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(DIST) \
	      -DTESSLY_NATIVE_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cmake --install $(BUILD) >/dev/null
	@echo "installed into $(DIST)"

# The same tree installed under PREFIX: bin/mksfx, share/tessly/sfxstub.exe, the manual page
# (share/man/man1/mksfx.1) and the bash completion (share/bash-completion/completions/mksfx).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Native tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the Wine tests.
# The native tests make and remove many small files: in memory (/dev/shm) they take a third
# of the time. The label huge marks the tests past 4 GiB (minutes), kept out of `-L native`.
test-native: setup
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTESSLY_SANITIZE=ON -DTESSLY_WINDOWS=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && TMPDIR=$$([ -w /dev/shm ] && echo /dev/shm || echo $${TMPDIR:-/tmp}) \
	  ctest --output-on-failure -j $(JOBS) -L 'native|huge'

# Wine runs the stub through the host's 32-bit support. A kernel without it (dmesg: "32-bit
# emulation disabled") runs no 32-bit program at all: there the Wine tests are reported as
# skipped, with the loader's own words, instead of failing one by one at the loader.
test-wine: build
	@loader=$$(/lib/i386-linux-gnu/ld-linux.so.2 --version 2>&1 | head -n 1); \
	if printf '%s' "$$loader" | grep -q 'Exec format error'; then \
	  echo "test-wine: SKIPPED, this host cannot run 32-bit programs: $$loader"; \
	else cd $(BUILD) && ctest --output-on-failure -L wine; fi

test: test-native test-wine

demo: build
	@bash scripts/demo.sh

bench: build
	@bash scripts/bench.sh

# Setup file sizes of our two forms against makensis and 7-Zip (minutes; not part of test).
bench-size: build
	@bash scripts/bench_size.sh

# The stub under Wine against a plain zlib extractor for Windows (minutes; not part of test).
bench-target: build
	@bash scripts/bench_target.sh

fuzz: setup
	@bash scripts/fuzz.sh $(TARGET)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz build-bench $(DIST)

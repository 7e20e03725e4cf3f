# Thin wrappers around CMake that first install what a fresh Debian machine lacks.
# A Qt 6 build: QT_PACKAGE=qt6-base-dev CMAKE_ARGS=-DQUORVANE_QT6=ON
QT_PACKAGE ?= qtbase5-dev
# Qt's own translations, which the window loads and its test checks.
QT_TRANSLATIONS ?= $(if $(filter qt6-%,$(QT_PACKAGE)),qt6-translations-l10n,qttranslations5-l10n)
PACKAGES ?= $(QT_PACKAGE) $(QT_TRANSLATIONS) cmake g++ make pkg-config fonts-wqy-zenhei zlib1g-dev \
	libpng-dev libdeflate-dev pngcheck
BUILD_DIR ?= build
CMAKE_ARGS ?=
FUZZ_SECONDS ?= 600
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build run test bench fuzz package clean

deps:
	@missing=$$(for package in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$package 2>/dev/null | grep -q 'ok installed' || echo $$package; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		$(SUDO) apt-get update && \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_ARGS)
	cmake --build $(BUILD_DIR) -j2

run: build
	./$(BUILD_DIR)/app/quorvane-lsb

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure

bench: build
	./$(BUILD_DIR)/bench/quorvane-bench

# The libFuzzer targets, built with clang in build-fuzz, each run for FUZZ_SECONDS; CI runs them
# for a minute. An input that fails is saved as build-fuzz/fuzz_<target>-crash-….
fuzz: override PACKAGES += clang libclang-rt-14-dev
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUORVANE_FUZZ=ON -DQUORVANE_BENCH=OFF $(CMAKE_ARGS)
	cmake --build build-fuzz -j2 --target fuzz_load fuzz_pngwriter fuzz_reveal fuzz_splice fuzz_seeds
	fuzz/run build-fuzz $(FUZZ_SECONDS)

# dpkg-shlibdeps (dpkg-dev) and file find the package's library dependencies.
package: override PACKAGES += dpkg-dev file
package: build
	cmake --build $(BUILD_DIR) --target package

clean:
	rm -rf $(BUILD_DIR)

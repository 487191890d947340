# Two commands for a fresh Debian 12 machine: `make demo` and `make test`.
# Both install whatever Debian packages are missing first (as root, or through sudo).

SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Everything the build, the tests and the demo need, from Debian's archive.
PACKAGES := make cmake ninja-build g++ pkg-config libsqlite3-dev sqlite3 \
            libgtest-dev libgmock-dev qt6-base-dev clang libclang-rt-14-dev \
            dpkg-dev file desktop-file-utils

.PHONY: all deps build test demo sanitize bench clean format

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# CI also builds what a packager builds (Release), with warnings as errors so that a warning
# only the optimiser sees is caught here first; only the programs, not the tests.
test: build
	cmake -S . -B $(BUILD)-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTIDEWELL_WERROR=ON \
	  -DBUILD_TESTING=OFF
	cmake --build $(BUILD)-release -j $(JOBS) --target tidewell tidewell-cli
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600

# The same tests under AddressSanitizer and UBSan; those of the engine, where its threads
# run (the check beside the copy, the salvage's writer), under ThreadSanitizer too.
sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWELL_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 900
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWELL_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target engine_tests salvage_tests repair_tests
	build-tsan/tests/engine/engine_tests --gtest_brief=1
	build-tsan/tests/salvage/salvage_tests --gtest_brief=1
	build-tsan/tests/repair/repair_tests --gtest_brief=1

demo: build
	@bash tools/demo.sh $(BUILD)

# The salvage benchmark also damages real SQLite files nobody here wrote: PROJ's proj.db
# (36 tables, most WITHOUT ROWID, with views and triggers) from Debian's proj-data, and
# files that spatialite, fossil and python3 write themselves (bench/real_files.sh).
BENCH_PACKAGES := proj-data spatialite-bin fossil python3

bench: build
	@missing=""; \
	for p in $(BENCH_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi
	@bash bench/run $(BUILD)
	@bash bench/salvage.sh $(BUILD)

# The Debian package: a Release build without tests or benchmarks, stripped and packed by
# CPack (its dependencies computed by dpkg-shlibdeps, from dpkg-dev).
PACKAGE_BUILD ?= build-package
.PHONY: package
package: deps
	cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DTIDEWELL_BUILD_EXTRAS=OFF
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB
	@ls -l $(PACKAGE_BUILD)/tidewell_*.deb

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD)-release build-asan $(PACKAGE_BUILD)

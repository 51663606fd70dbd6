# Convenience targets; see README.md.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: deps build test test-asan run web bench clean mutation

# Debian packages the build and the tests need.
DEBS = build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
       liblapack-dev libblas-dev libtomlplusplus-dev nlohmann-json3-dev libcli11-dev \
       libfmt-dev libcairo2-dev python3 python3-scipy libcpp-httplib-dev \
       chromium chromium-driver python3-selenium python3-distributed
SUDO = $(shell [ "$$(id -u)" = 0 ] || echo sudo)

deps:
	$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update
	$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $(DEBS)

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTERNIVAL_SANITIZE=ON -DTERNIVAL_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	# intercept_tls_get_addr=0: GCC 12's leak checker misreads glibc 2.36's
	# dynamic TLS when address randomisation is off (as in processes started
	# by a sanitized parent that re-executed itself without it) and crashes
	# at exit; without the interception it scans everything else as before.
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

run: build
	$(BUILD)/tools/ternival map -o map.svg

# The page in the browser on the built-in example, with a registry of its
# own under the build folder (the server registered there, the engine the
# build's).  PORT=0 takes a free port; the address is printed.
PORT ?= 8321
web: build
	TERNIVAL_REGISTRY=$(abspath $(BUILD))/web-registry.ini $(BUILD)/server/ternival-server -RegServer
	TERNIVAL_REGISTRY=$(abspath $(BUILD))/web-registry.ini $(BUILD)/web/ternival-web --port $(PORT)

bench: build
	$(BUILD)/bench/ternival_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Deliberate breakages of the code, each of which some test must notice
# (tests/mutation/mutate.py); not part of CI.
mutation:
	/usr/bin/env python3 tests/mutation/mutate.py --build $(BUILD)-mutation

# Top-level driver: installs what is missing from Debian's packages, then
# configures and builds with CMake. While it installs, no service a package
# brings is started (a policy-rc.d that denies every start, put in place only
# when the machine has none): the VDR the tests need runs as their child.
#   make build   build/mhw2grab, build/libtarnwell.so and the tools
#   make test    every test: the ordinary build, the sanitizer build and a
#                short fuzz smoke run of every fuzz target, the armhf cross-check
#   make check   the ordinary build's tests only (quick)
#   make demo    a sample broadcast grabbed and shown
#   make install the programs into PREFIX/bin, the library into
#                PREFIX/lib/mhw2grab, the man pages (DESTDIR=... as usual);
#                builds nothing but the programs and the library
#   make install-strip  the same, stripped
#   make deb     a Debian package in build-deb, checked (lintian, a grab with
#                the unpacked programs)
#   make ipk ARCH=armhf|arm64|mipsel  opkg packages for a receiver in build-ARCH/ipk
#   make bench   benchmarks (decoders, whole runs, time to guide on air, hostile streams,
#                the receiver budget)
#   make bench-compare REF=<commit>  the receiver budget of REF beside this tree's
#   make fuzz    every fuzz target for FUZZ_SECONDS (default 60) each
#   make nomem-sweep  a whole grab with each of its allocations refused in turn
#   make cross ARCH=armhf|arm64|mipsel        the grabber for a receiver in build-ARCH
#   make cross-check ARCH=armhf|arm64|mipsel  that build under qemu-user against the host's
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_RUNS ?= 3000
PREFIX ?= /usr/local
ARCH ?= armhf
CROSS_BUILD ?= build-$(ARCH)
# What building the programs needs (make build, install, demo); what the
# tests, benchmarks and fuzz runs add; what making the Debian package adds.
BUILD_PACKAGES = g++ cmake make pkg-config libsqlite3-dev
TEST_PACKAGES = sqlite3 libgtest-dev libbenchmark-dev xmltv-util libxml2-utils clang-14 \
	libclang-rt-14-dev valgrind time vdr vdr-plugin-satip man-db
DEB_PACKAGES = debhelper dpkg-dev fakeroot lintian man-db
# The programs and the library that make install builds and installs.
PROGRAMS = mhw2grab tarnwell epgdb tv_grab_zz_mhw2

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps test-deps deb-deps build test-build install install-strip test check check-asan fuzz-smoke demo bench \
	bench-compare fuzz nomem-sweep clean cross-deps cross cross-check host-tools deb ipk

# Installs those of the packages $(1) that are missing.
define install_packages
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  if [ ! -e /usr/sbin/policy-rc.d ]; then \
	    trap '$(SUDO) rm -f /usr/sbin/policy-rc.d' EXIT; \
	    printf '#!/bin/sh\nexit 101\n' | $(SUDO) tee /usr/sbin/policy-rc.d >/dev/null; \
	    $(SUDO) chmod 755 /usr/sbin/policy-rc.d; \
	  fi; \
	  $(SUDO) apt-get -o DPkg::Lock::Timeout=600 update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
	    --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_packages,$(BUILD_PACKAGES))

test-deps:
	$(call install_packages,$(BUILD_PACKAGES) $(TEST_PACKAGES))

deb-deps:
	$(call install_packages,$(BUILD_PACKAGES) $(DEB_PACKAGES))

# The programs, the library and the tools, without the tests.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMHW2_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

install: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMHW2_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target $(PROGRAMS)
	cmake --install $(BUILD) --prefix $(PREFIX)

install-strip: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMHW2_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target $(PROGRAMS)
	cmake --install $(BUILD) --prefix $(PREFIX) --strip

# The programs with the tests and benchmarks.
test-build: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMHW2_TESTS=ON >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

check: test-build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The program, the library and the whole test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer; any finding stops the test that met it.
check-asan: test-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMHW2_SANITIZE=ON -DMHW2_TESTS=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:verify_asan_link_order=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

fuzz-smoke: test-deps
	FUZZ_RUNS=$(FUZZ_SMOKE_RUNS) ./scripts/fuzz.sh

test: check check-asan fuzz-smoke cross-check

# The demo builds every program (not the tests) and ends with the next
# commands to try.
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMHW2_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target mhw2grab mhw2sim epgdb tv_grab_zz_mhw2
	@./scripts/demo.sh $(BUILD)

bench: test-build
	@./scripts/bench.sh $(BUILD)
	@./scripts/bench_run.sh $(BUILD)
	@./scripts/bench_time_to_guide.sh $(BUILD)
	@./scripts/bench_hostile.sh $(BUILD)
	@./scripts/bench_budget.sh $(BUILD)

# REF built in a worktree of its own under $(BUILD)/bench-ref and grabbing the
# same recordings as this tree, in turn, RUNS times (default 5).
ifneq ($(filter bench-compare,$(MAKECMDGOALS)),)
ifeq ($(REF),)
$(error Usage: make bench-compare REF=<commit> [RUNS=5])
endif
endif
bench-compare: test-build
	@./scripts/bench_compare.sh $(BUILD) $(REF)

fuzz: test-deps
	./scripts/fuzz.sh $(FUZZ_SECONDS)

# The allocation-failure sweep of make test refuses a sample of a run's
# allocations; this refuses every one in turn (and every one from each on),
# under the sanitizers.
nomem-sweep: test-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DMHW2_SANITIZE=ON -DMHW2_TESTS=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS) --target test_e2e
	cd $(ASAN_BUILD) && MHW2_NOMEM_SWEEP=all ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:verify_asan_link_order=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ./test_e2e --gtest_filter='HardeningNomem.*'

# Receivers: a cross build with Debian's cross compiler and the target's
# SQLite (scripts/cross.sh installs them, adding the Debian architecture),
# without tests; and its check under qemu-user against the host's grab.
cross-deps:
	SUDO="$(SUDO)" ./scripts/cross.sh setup $(ARCH) $(CROSS_BUILD)

cross: cross-deps
	JOBS=$(JOBS) ./scripts/cross.sh build $(ARCH) $(CROSS_BUILD)

# The host's grabber, simulator and virtual adapter, configured as by make build.
host-tools: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target mhw2grab mhw2sim vdvb

# opkg packages of the cross build: the grabber alone, the tools with the
# library in a private directory, and that library's link onto the system's
# path for receivers without a library of their own (scripts/ipk.sh).
ipk: cross
	./scripts/ipk.sh $(ARCH) $(CROSS_BUILD)

cross-check: ipk host-tools
	JOBS=$(JOBS) ./scripts/cross.sh check $(ARCH) $(BUILD) $(CROSS_BUILD)

# The Debian package, built with debhelper in build-deb from a copy of the
# sources, checked with lintian and by a grab with its unpacked programs.
deb: deb-deps host-tools
	./scripts/deb.sh build-deb
	./scripts/deb_check.sh build-deb $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-deb build-fuzz build-armhf build-arm64 build-mipsel

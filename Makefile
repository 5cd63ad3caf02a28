# Top-level driver: installs what is missing from Debian's packages, then
# configures and builds with CMake.
BUILD ?= build
JOBS ?= 2
PACKAGES = g++ cmake make pkg-config libsqlite3-dev sqlite3 libgtest-dev libbenchmark-dev xmltv-util libxml2-utils

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build test demo bench clean

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	@./scripts/demo.sh $(BUILD)

bench: build
	@./scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)

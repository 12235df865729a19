# The two commands a newcomer needs: `make demo` and `make test`.
# Both install what is missing (scripts/setup.sh) and build first.

BUILD  := build
ASAN   := build-asan
TSAN   := build-tsan
JOBS   ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all setup build test test-asan test-tsan demo demo-programs bench install uninstall clean

all: build

setup:
	@scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the threaded tests again under ThreadSanitizer.
test: build test-asan test-tsan

test-asan: setup
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DBRINDLEWOOD_SANITIZE="address;undefined" -DBRINDLEWOOD_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ctest --output-on-failure -j $(JOBS)

test-tsan: setup
	cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=Debug -DBRINDLEWOOD_SANITIZE=thread -DBRINDLEWOOD_BENCH=OFF
	cmake --build $(TSAN) -j $(JOBS)
	cd $(TSAN) && ctest --output-on-failure -L threads -j $(JOBS)

# The demo needs only the three programs, built in build/ as `make build`
# builds them. Their build's output goes to a log, shown only when it fails.
DEMO_PROGRAMS := Brindlewood BrindlewoodExporter BrindlewoodClient
DEMO_BUILD_LOG := $(BUILD)/demo-build.log

demo-programs: setup
	@mkdir -p $(BUILD)
	@echo "demo: building $(DEMO_PROGRAMS) in $(BUILD)/"
	@{ cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) && \
	   cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_PROGRAMS); } >$(DEMO_BUILD_LOG) 2>&1 || \
	 { cat $(DEMO_BUILD_LOG); echo "demo: the build failed; its output is above and in $(DEMO_BUILD_LOG)" >&2; exit 1; }

demo: demo-programs
	@scripts/demo.sh

bench: build
	scripts/bench.sh

# The programs into PREFIX/bin, the systemd units (naming the programs there)
# into PREFIX/lib/systemd/system or SYSTEMD_DIR, the example option files and
# the docs into PREFIX/share/doc/brindlewood; under DESTDIR when it is set.
# uninstall removes what the last install recorded in $(BUILD)/ (give it the
# same DESTDIR).
install: build
	cmake -S . -B $(BUILD) -DBRINDLEWOOD_SYSTEMD_DIR=$(SYSTEMD_DIR)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

uninstall:
	DESTDIR="$(DESTDIR)" cmake -DMANIFEST=$(BUILD)/install_manifest.txt -P cmake/uninstall.cmake

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN)

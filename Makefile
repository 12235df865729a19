# The two commands a newcomer needs: `make demo` and `make test`.
# Both install what is missing (scripts/setup.sh) and build first.

BUILD  := build
ASAN   := build-asan
TSAN   := build-tsan
JOBS   ?= $(shell nproc)
PREFIX ?= /usr/local

# Ninja for a new build tree: it keeps both cores busy where make's
# target-by-target order leaves one idle. A tree configured before keeps the
# generator it was made with.
generator = $(if $(wildcard $(1)/CMakeCache.txt),,-G Ninja)

PROGRAMS := Brindlewood BrindlewoodExporter BrindlewoodClient

.PHONY: all setup build release test test-asan test-tsan demo demo-programs bench install uninstall clean

all: build

setup:
	@scripts/setup.sh

# The optimised build with debug information: programs, tests, benchmarks.
CONFIGURE_RELEASE = cmake -S . -B $(BUILD) $(call generator,$(BUILD)) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRINDLEWOOD_UNITY=ON -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: setup
	$(CONFIGURE_RELEASE)
	cmake --build $(BUILD) -j $(JOBS)

# The same tree's programs and benchmarks only: the tests are built and run
# under the sanitizers.
release: setup
	$(CONFIGURE_RELEASE)
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS) benches

# The optimised programs and benchmarks; the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer; then the threaded tests
# again under ThreadSanitizer, which builds only those.
test: release test-asan test-tsan

test-asan: setup
	cmake -S . -B $(ASAN) $(call generator,$(ASAN)) -DCMAKE_BUILD_TYPE=Debug -DBRINDLEWOOD_SANITIZE="address;undefined" -DBRINDLEWOOD_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ctest --output-on-failure -j $(JOBS)

test-tsan: setup
	cmake -S . -B $(TSAN) $(call generator,$(TSAN)) -DCMAKE_BUILD_TYPE=Debug -DBRINDLEWOOD_SANITIZE=thread -DBRINDLEWOOD_BENCH=OFF
	cmake --build $(TSAN) -j $(JOBS) --target thread_tests
	cd $(TSAN) && ctest --output-on-failure -L threads -j $(JOBS)

# The demo needs only the three programs, in build/. A build tree made
# before is used as it is; a new one is made Quick (-O1, no debug
# information, one compile per library), which `make build` later turns into
# the optimised build with debug information. The build's output goes to a
# log, shown only when it fails.
DEMO_BUILD_LOG := $(BUILD)/demo-build.log
DEMO_CONFIGURE = $(if $(wildcard $(BUILD)/CMakeCache.txt),true,\
  cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Quick -DBRINDLEWOOD_UNITY=ON -DCMAKE_INSTALL_PREFIX=$(PREFIX))

demo-programs: setup
	@mkdir -p $(BUILD)
	@echo "demo: building $(PROGRAMS) in $(BUILD)/"
	@{ $(DEMO_CONFIGURE) && cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS); } >$(DEMO_BUILD_LOG) 2>&1 || \
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

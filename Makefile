# The two commands a newcomer needs: `make demo` and `make test`.
# Both install what is missing (scripts/setup.sh) and build first.

BUILD  := build
ASAN   := build-asan
TSAN   := build-tsan
FUZZ   := build-fuzz
JOBS   ?= $(shell nproc)
PREFIX ?= /usr/local

# A build tree is whole when its configure finished: it holds the cache and
# the generator's build files. A whole tree keeps the generator it was made
# with (Ninja, or another one chosen by hand); any other tree is made with
# Ninja, which keeps both cores busy where make's target-by-target order
# leaves one idle. Files are looked at with test, not $(wildcard): make's
# view of a folder can predate what an earlier step of the same run wrote.
exists = $(shell [ -f $(1) ] && echo yes)
whole = $(and $(call exists,$(1)/CMakeCache.txt),$(or $(call exists,$(1)/build.ninja),$(call exists,$(1)/Makefile)))
generator = $(if $(call whole,$(1)),,-G Ninja)

# A configure that failed or was stopped (a `cmake -S . -B build` typed on a
# machine without the libraries, a Ctrl-C) leaves a cache but no build files.
# cmake would keep that cache's generator and refuse another one, and a build
# would find nothing to run: the cache goes, and the tree is made anew.
anew = $(if $(call whole,$(1)),,$(if $(call exists,$(1)/CMakeCache.txt),\
  echo "$(1)/ holds no build files (its configure failed or was stopped): configuring it anew" && \
  rm -rf $(1)/CMakeCache.txt $(1)/CMakeFiles))

PROGRAMS := Brindlewood BrindlewoodExporter BrindlewoodClient

.PHONY: all setup build release test test-asan test-tsan fuzz demo demo-configure demo-programs bench install uninstall clean

all: build

setup:
	@scripts/setup.sh

# The optimised build with debug information: programs, tests, benchmarks.
CONFIGURE_RELEASE = cmake -S . -B $(BUILD) $(call generator,$(BUILD)) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRINDLEWOOD_UNITY=ON -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: setup
	@$(call anew,$(BUILD))
	$(CONFIGURE_RELEASE)
	cmake --build $(BUILD) -j $(JOBS)

# The same tree's programs and benchmarks only: the tests are built and run
# under the sanitizers.
release: setup
	@$(call anew,$(BUILD))
	$(CONFIGURE_RELEASE)
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS) benches

# The optimised programs and benchmarks; the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer; then the threaded tests
# again under ThreadSanitizer, which builds only those.
test: release test-asan test-tsan

test-asan: setup
	@$(call anew,$(ASAN))
	cmake -S . -B $(ASAN) $(call generator,$(ASAN)) -DCMAKE_BUILD_TYPE=Debug -DBRINDLEWOOD_SANITIZE="address;undefined" -DBRINDLEWOOD_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ctest --output-on-failure -j $(JOBS)

test-tsan: setup
	@$(call anew,$(TSAN))
	cmake -S . -B $(TSAN) $(call generator,$(TSAN)) -DCMAKE_BUILD_TYPE=Debug -DBRINDLEWOOD_SANITIZE=thread -DBRINDLEWOOD_BENCH=OFF
	cmake --build $(TSAN) -j $(JOBS) --target thread_tests
	cd $(TSAN) && ctest --output-on-failure -L threads -j $(JOBS)

# The fuzz targets of tests/fuzz, built with clang as libFuzzer programs
# under AddressSanitizer and UndefinedBehaviorSanitizer, each run for
# FUZZ_SECONDS on a copy of its seed corpus. What a run finds is in
# $(FUZZ)/corpus/ (new inputs) and $(FUZZ)/artifacts/ (inputs that broke a
# property); `make test` replays only the seeds in the tree.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/setup.sh --fuzz
	@$(call anew,$(FUZZ))
	cmake -S . -B $(FUZZ) $(call generator,$(FUZZ)) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DBRINDLEWOOD_FUZZ=ON -DBRINDLEWOOD_BENCH=OFF
	cmake --build $(FUZZ) -j $(JOBS) --target fuzzers
	scripts/fuzz.sh $(FUZZ) $(FUZZ_SECONDS)

# The demo needs only the three programs, in build/. A whole build tree made
# before is used as it is; a new one is made Quick (-O1, no debug
# information, one compile per library), which `make build` later turns into
# the optimised build with debug information. The build's output goes to a
# log, shown only when it fails. demo-configure stops after the configure.
DEMO_BUILD_LOG := $(BUILD)/demo-build.log
DEMO_CONFIGURE = $(if $(call whole,$(BUILD)),true,\
  cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Quick -DBRINDLEWOOD_UNITY=ON -DCMAKE_INSTALL_PREFIX=$(PREFIX))
# $(1) with its output written (>) or added (>>) to the log, as $(2) says.
demo_logged = { $(1); } $(2)$(DEMO_BUILD_LOG) 2>&1 || \
  { cat $(DEMO_BUILD_LOG); echo "demo: the build failed; its output is above and in $(DEMO_BUILD_LOG)" >&2; exit 1; }

demo-configure: setup
	@mkdir -p $(BUILD)
	@echo "demo: building $(PROGRAMS) in $(BUILD)/"
	@$(call anew,$(BUILD))
	@$(call demo_logged,$(DEMO_CONFIGURE),>)

demo-programs: demo-configure
	@$(call demo_logged,cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS),>>)

# SERVE=1 keeps the export daemon running after the report, until Ctrl-C.
demo: demo-programs
	@SERVE="$(SERVE)" scripts/demo.sh

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
	rm -rf $(BUILD) $(ASAN) $(TSAN) $(FUZZ)

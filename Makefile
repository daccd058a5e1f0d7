# Set-up, build and test of quorvel-ftp on Debian 12. Every target installs what
# is missing first (apt-get as root, through sudo otherwise).
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
PACKAGES := cmake ninja-build g++ ccache clang-14 clang-tidy-14 libclang-rt-14-dev libgtest-dev libgmock-dev qt6-base-dev \
            python3 python3-pyftpdlib fonts-noto-cjk xvfb xauth curl lftp \
            libpam0g libpam-modules libcap2 libwrap0 libssl3 libssl-dev python3-openssl help2man \
            librsvg2-bin desktop-file-utils appstream dpkg-dev file xdotool x11-utils man-db \
            libsodium23 libcrypt1 libcrypt-dev libacl1 libhiredis0.14 libmemcached11 \
            libmemcachedutil2 libpcre2-posix3 libidn2-0 libncursesw6 \
            libx11-6 qt6-translations-l10n
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PREFIX ?= /usr/local
# A compiler cache when the machine has one: the five build trees of make test
# share most of their objects with the previous run. Paths below the checkout
# are hashed relative to it, so another clone of the tree hits the same cache.
CCACHE := $(shell command -v ccache 2>/dev/null)
LAUNCHER := $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
export CCACHE_BASEDIR := $(CURDIR)

.PHONY: all deps build lint check test screenshot e2e run bench tsan tsan-gui asan fuzz fuzz-build fuzz-smoke format clean install package package-test

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get -o DPkg::Lock::Timeout=900 update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get -o DPkg::Lock::Timeout=900 install -y -qq $$missing; \
	fi
	@scripts/fetch-servers.sh

# Warnings fail the build here; a build dir made before this rule picks it up
# the next time the Makefile changes.
$(BUILD_DIR)/build.ninja: Makefile
	cmake -S . -B $(BUILD_DIR) -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQFTP_WERROR=ON
	touch $@

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR)

# The edit loop: the engine, toolkit and window unit tests, without the
# real servers (their suites carry RealServer in their names, as does the one
# such case of a unit suite), the X drag and drop tests, the command line's
# suites and the sanitizers; `make test` stays the whole gate.
CHECK_TARGETS := downlib_tests toolkit_tests app_tests
CHECK_EXCLUDE := RealServer[A-Za-z]*\.|OnARealServer|DragAndDrop

check: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) --target $(CHECK_TARGETS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j2 --timeout 600 -L '^(downlib|toolkit|app)$$' -E '$(CHECK_EXCLUDE)'

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j2 --timeout 600
	$(MAKE) --no-print-directory screenshot
	$(MAKE) --no-print-directory e2e
	$(MAKE) --no-print-directory package-test
	$(MAKE) --no-print-directory tsan
	$(MAKE) --no-print-directory tsan-gui
	$(MAKE) --no-print-directory fuzz-smoke

# The connected window on a virtual X screen, kept as a test artifact, and the
# window's layout tests on a real X platform (the off-screen one shows and
# resizes windows in another order).
screenshot: build
	mkdir -p $(BUILD_DIR)/artifacts
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=xcb QFTP_SCREENSHOT_DIR=$(CURDIR)/$(BUILD_DIR)/artifacts \
	  xvfb-run -a -s "-screen 0 1280x800x24" tests/app_tests --gtest_filter='RealServerWindow.*:MainWindowTest.*:Servers/TlsRealServer.TheCertificateQuestion*/vsftpd'
	@ls $(BUILD_DIR)/artifacts/*.png

# Both programs with their desktop entry, icons, metainfo and manual pages
# under PREFIX; DESTDIR=/some/stage puts the tree there instead (no sudo).
install: build
	DESTDIR="$(DESTDIR)" $(if $(DESTDIR),,$(SUDO)) cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# The Debian package, $(BUILD_DIR)/quorvel-ftp_<version>-1_<arch>.deb.
package: build
	cd $(BUILD_DIR) && cpack -G DEB

# The package installed into a throw-away root and both programs run from
# it; screenshots of the installed window in $(BUILD_DIR)/artifacts/.
package-test: package
	$(SUDO) tests/package/package_test.sh $(BUILD_DIR)

# The program driven with real X key and mouse events on a virtual screen of
# its own: connect, browse, download a folder, create, rename, delete, close.
e2e: build
	/usr/bin/python3 tests/app/real_input_e2e.py $(BUILD_DIR)

# The threaded parts of the engine under ThreadSanitizer: the task runner,
# downloads and uploads; and the command line's mget and mput lanes (the
# program they run is the sanitized one, and a report ends it with an error).
tsan: deps
	cmake -S . -B build-tsan -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug -DQFTP_SANITIZE=thread -DQFTP_WITH_GUI=OFF
	cmake --build build-tsan --target downlib_tests tools_tests quorvel-ftp-cli
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j2 -R 'TaskRunner|TaskEventQueue|SegmentTable|Download|Upload|ConnectionCache|SessionReuse|CliMget\.Several|CliMput\.|CliConnectionLimit'

# The task queue, transfer driver and window uploads under ThreadSanitizer. Qt is not built for
# the sanitizer, so reports whose accesses lie only inside Qt are counted, and
# the run fails on any report that names the project's own code.
tsan-gui: deps
	cmake -S . -B build-tsan-gui -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug -DQFTP_SANITIZE=thread
	cmake --build build-tsan-gui --target app_tests
	tests/app/run_tsan.sh build-tsan-gui

asan: deps
	cmake -S . -B build-asan -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug -DQFTP_SANITIZE=address,undefined
	cmake --build build-asan
	cd build-asan && QT_QPA_PLATFORM=offscreen LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --output-on-failure -j2

# The libFuzzer targets of tests/fuzz in their own clang build. `make fuzz`
# runs each for FUZZ_SECONDS; `make test` runs each briefly from the seeds.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 300
FUZZ_SMOKE_SECONDS ?= 10

fuzz-build: deps
	cmake -S . -B $(FUZZ_DIR) -G Ninja $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DQFTP_FUZZ=ON
	cmake --build $(FUZZ_DIR) --target fuzz_targets

fuzz: fuzz-build
	tests/fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	tests/fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SMOKE_SECONDS) smoke

run: build
	scripts/run-demo.sh $(BUILD_DIR)

bench: build
	bench/run.sh $(BUILD_DIR)
	bench/window_bench.sh $(BUILD_DIR)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

# clang-tidy over the code we ship; a finding fails the target.
lint: build
	run-clang-tidy-14 -p $(BUILD_DIR) -j 2 -quiet '$(CURDIR)/(downlib|app|toolkit|tools)/[^/]*\.cpp$$' >$(BUILD_DIR)/lint.log 2>&1 || true
	@# Only findings in our own files count: the analyzer also walks into Qt's headers.
	@sed 's/\x1b\[[0-9;]*m//g' $(BUILD_DIR)/lint.log | grep -E '^$(CURDIR)/(downlib|app|toolkit|tools)/[^:]*:[0-9]+:[0-9]+: (warning|error):' | sort -u >$(BUILD_DIR)/lint-findings.txt || true
	@if [ -s $(BUILD_DIR)/lint-findings.txt ]; then cat $(BUILD_DIR)/lint-findings.txt; echo "lint: $$(wc -l <$(BUILD_DIR)/lint-findings.txt) findings (full output in $(BUILD_DIR)/lint.log)"; exit 1; fi
	@echo "lint: clean"

clean:
	rm -rf $(BUILD_DIR) build-tsan build-tsan-gui build-asan $(FUZZ_DIR)

# Set-up, build and test of quorvel-ftp on Debian 12. Every target installs what
# is missing first (apt-get as root, through sudo otherwise).
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev qt6-base-dev \
            python3 python3-pyftpdlib fonts-noto-cjk xvfb xauth curl lftp \
            libpam0g libpam-modules libcap2 libwrap0 libssl3 \
            xdotool libx11-6 qt6-translations-l10n
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test screenshot e2e run bench tsan tsan-gui asan format clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get -o DPkg::Lock::Timeout=900 update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get -o DPkg::Lock::Timeout=900 install -y -qq $$missing; \
	fi
	@scripts/fetch-servers.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j2 --timeout 600
	$(MAKE) --no-print-directory screenshot
	$(MAKE) --no-print-directory e2e
	$(MAKE) --no-print-directory tsan
	$(MAKE) --no-print-directory tsan-gui

# The connected window on a virtual X screen, kept as a test artifact, and the
# window's layout tests on a real X platform (the off-screen one shows and
# resizes windows in another order).
screenshot: build
	mkdir -p $(BUILD_DIR)/artifacts
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=xcb QFTP_SCREENSHOT_DIR=$(CURDIR)/$(BUILD_DIR)/artifacts \
	  xvfb-run -a -s "-screen 0 1280x800x24" tests/app_tests --gtest_filter='RealServerWindow.*:MainWindowTest.*'
	@ls $(BUILD_DIR)/artifacts/*.png

# The program driven with real X key and mouse events on a virtual screen of
# its own: connect, browse, download a folder, create, rename, delete, close.
e2e: build
	/usr/bin/python3 tests/app/real_input_e2e.py $(BUILD_DIR)

# The threaded parts of the engine under ThreadSanitizer.
tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQFTP_SANITIZE=thread -DQFTP_WITH_GUI=OFF
	cmake --build build-tsan --target downlib_tests
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j2 -R 'TaskRunner|Download'

# The task queue and transfer driver under ThreadSanitizer. Qt is not built for
# the sanitizer, so reports whose accesses lie only inside Qt are counted, and
# the run fails on any report that names the project's own code.
tsan-gui: deps
	cmake -S . -B build-tsan-gui -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQFTP_SANITIZE=thread
	cmake --build build-tsan-gui --target app_tests
	tests/app/run_tsan.sh build-tsan-gui

asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQFTP_SANITIZE=address,undefined
	cmake --build build-asan
	cd build-asan && QT_QPA_PLATFORM=offscreen LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --output-on-failure -j2

run: build
	scripts/run-demo.sh $(BUILD_DIR)

bench: build
	bench/run.sh $(BUILD_DIR)
	bench/window_bench.sh $(BUILD_DIR)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR) build-tsan build-tsan-gui build-asan

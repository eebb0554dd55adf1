# The two commands of the README: `make run` and `make test`.
BUILD_RELEASE ?= build/release
BUILD_ASAN    ?= build/asan
BUILD_TSAN    ?= build/tsan
BUILD_VM      ?= build/vm
BUILD_PACKAGE ?= build/package
BUILD_WINDOWS ?= build/windows
PREFIX        ?= /usr/local
JOBS          ?= $(shell nproc)
# ccache (when installed) lets several build trees and worktrees share objects.
CCACHE        := $(shell command -v ccache 2>/dev/null)
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
CMAKE_COMMON  := -G Ninja $(if $(CCACHE),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all setup build run install package test test-tsan test-vm windows test-windows test-vm-windows \
	package-windows screenshots bench clean

all: build

setup:
	@scripts/setup-deps

build: setup
	cmake -S . -B $(BUILD_RELEASE) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIS_TESTS=OFF
	cmake --build $(BUILD_RELEASE) -j $(JOBS)

run: build
	@scripts/run-window $(BUILD_RELEASE)/app/korvalis-uploader

# Installs the programs, the udev rule, menu entry, icons and manuals under
# PREFIX (DESTDIR is honoured), then makes a running udev apply the rule.
install: build
	cmake -S . -B $(BUILD_RELEASE) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build $(BUILD_RELEASE) -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD_RELEASE)
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" -eq 0 ] && [ -S /run/udev/control ]; then \
	    udevadm control --reload-rules && udevadm trigger --subsystem-match=hidraw --action=change; \
	fi

# The Debian package: a release build installed under /usr, packed by CPack.
package: setup
	cmake -S . -B $(BUILD_PACKAGE) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DKORVALIS_TESTS=OFF \
	    -DKORVALIS_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD_PACKAGE) -j $(JOBS)
	cd $(BUILD_PACKAGE) && cpack -G DEB

# The package is built first so the install tests can check and install it.
# The two windows targets run in one make, in order, so the Windows build they
# share is set up once.
test: setup package
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DKORVALIS_WERROR=ON \
	    "-DKORVALIS_SANITIZE=address;undefined" -DKORVALIS_BENCH=OFF \
	    -DKORVALIS_PACKAGE_DIR=$(abspath $(BUILD_PACKAGE))
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS) -LE 'tsan|vm'
	@$(MAKE) --no-print-directory test-tsan
	@$(MAKE) --no-print-directory test-vm
	@if scripts/setup-deps windows; then \
	    $(MAKE) --no-print-directory -j1 test-windows test-vm-windows; \
	else echo "test: MinGW-w64 or Wine cannot be installed; the windows tests are skipped"; fi
	@echo "make test: passed (ASan+UBSan, tsan, vm and the windows labels; any skip is said above)"

# The threaded HID layer again under ThreadSanitizer (tests labelled tsan).
test-tsan: setup
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIS_WERROR=ON \
	    -DKORVALIS_SANITIZE=thread -DKORVALIS_BENCH=OFF -DKORVALIS_GUI=OFF
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target korvalis_tsan_tests
	ctest --test-dir $(BUILD_TSAN) --output-on-failure -L tsan

# The real kernel path (uhid, hidraw, udev) in a virtual machine running Debian's
# kernel under QEMU (tests labelled vm). Without QEMU or the kernel the test is
# skipped and says why.
test-vm: setup
	@scripts/setup-deps vm || echo "test-vm: the VM packages are missing; the vm test will be skipped"
	cmake -S . -B $(BUILD_VM) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DKORVALIS_WERROR=ON \
	    -DKORVALIS_BENCH=OFF -DKORVALIS_GUI=OFF -DKORVALIS_WINDOWS_BUILD_DIR=$(abspath $(BUILD_WINDOWS))
	cmake --build $(BUILD_VM) -j $(JOBS) --target korvalis korvalis_vm_hotplug
	@scripts/vm-test --check
	ctest --test-dir $(BUILD_VM) --output-on-failure -L '^vm$$'

# korvalis.exe and the plain-C++ libraries and their tests cross-built for
# 64-bit Windows with MinGW-w64; static libjpeg-turbo, libpng (tests) and GoogleTest come from
# scripts/windows-deps into build/windows-sysroot.
windows:
	@scripts/setup-deps windows
	nice scripts/windows-deps
	cmake -S . -B $(BUILD_WINDOWS) $(CMAKE_COMMON) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIS_WERROR=ON -DKORVALIS_QT=OFF -DKORVALIS_GUI=OFF \
	    -DKORVALIS_BENCH=OFF
	cmake --build $(BUILD_WINDOWS) -j $(JOBS)

# The Windows installer (NSIS) and the portable .zip, from that build:
# build/windows/korvalis-uploader-<version>-setup.exe and ...-windows-x64.zip.
package-windows: windows
	scripts/package-windows $(BUILD_WINDOWS)

# Those tests under Wine (label windows), with one wineserver and one Xvfb for
# the whole run; the installer's test installs the package built first.
# korvalis.exe is compared with the Linux korvalis of the test build ($(BUILD_ASAN),
# configured as `make test` does; only the program is built here).
test-windows: package-windows
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DKORVALIS_WERROR=ON \
	    "-DKORVALIS_SANITIZE=address;undefined" -DKORVALIS_BENCH=OFF >/dev/null
	cmake --build $(BUILD_ASAN) -j $(JOBS) --target korvalis
	KORVALIS_LINUX_CLI=$(abspath $(BUILD_ASAN))/cli/korvalis \
	    scripts/wine-session ctest --test-dir $(BUILD_WINDOWS) --output-on-failure -j $(JOBS) -L windows

# korvalis.exe under Wine inside the VM of test-vm, against the kernel's uhid
# device through Wine's hidraw bus (label vm-windows); the Linux korvalis
# plays the device. Skipped, saying why, without QEMU, the kernel or Wine.
test-vm-windows: windows
	@scripts/setup-deps vm || echo "test-vm-windows: the VM packages are missing; the test will be skipped"
	cmake -S . -B $(BUILD_VM) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DKORVALIS_WERROR=ON \
	    -DKORVALIS_BENCH=OFF -DKORVALIS_GUI=OFF -DKORVALIS_WINDOWS_BUILD_DIR=$(abspath $(BUILD_WINDOWS))
	cmake --build $(BUILD_VM) -j $(JOBS) --target korvalis
	ctest --test-dir $(BUILD_VM) --output-on-failure -L '^vm-windows$$'

screenshots: build
	scripts/screenshots $(BUILD_RELEASE)

bench: setup
	cmake -S . -B build/bench $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DKORVALIS_TESTS=OFF
	cmake --build build/bench -j $(JOBS)
	@for b in build/bench/bench/*/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build

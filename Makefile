# The two commands of the README: `make run` and `make test`.
BUILD_RELEASE ?= build/release
BUILD_ASAN    ?= build/asan
BUILD_TSAN    ?= build/tsan
JOBS          ?= $(shell nproc)
CMAKE_COMMON  := -G Ninja -DKORVALIS_CORPUS_DIR=$(abspath ../shared/corpus)

.PHONY: all setup build run test test-tsan screenshots bench clean

all: build

setup:
	@scripts/setup-deps

build: setup
	cmake -S . -B $(BUILD_RELEASE) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIS_TESTS=OFF
	cmake --build $(BUILD_RELEASE) -j $(JOBS)

run: build
	@scripts/run-window $(BUILD_RELEASE)/app/korvalis-uploader

test: setup
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DKORVALIS_WERROR=ON \
	    "-DKORVALIS_SANITIZE=address;undefined" -DKORVALIS_BENCH=OFF
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS) -LE 'tsan|vm'
	@$(MAKE) --no-print-directory test-tsan

# The threaded HID layer again under ThreadSanitizer (tests labelled tsan).
test-tsan: setup
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALIS_WERROR=ON \
	    -DKORVALIS_SANITIZE=thread -DKORVALIS_BENCH=OFF -DKORVALIS_GUI=OFF
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target korvalis_tsan_tests
	ctest --test-dir $(BUILD_TSAN) --output-on-failure -L tsan

screenshots: build
	scripts/screenshots $(BUILD_RELEASE)

bench: setup
	cmake -S . -B build/bench $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DKORVALIS_TESTS=OFF
	cmake --build build/bench -j $(JOBS)
	@for b in build/bench/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build

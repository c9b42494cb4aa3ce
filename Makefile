# make demo: set up, build and show the example plant.   make test: set up, build, run every test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# The targets CI runs treat warnings as errors; a plain cmake build of the project does not.
WERROR ?= ON

.PHONY: all setup configure build test asan demo bench fuzz install clean

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEMA_WERROR=$(WERROR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	@bash scripts/setup.sh
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DZEMA_SANITIZE=ON -DZEMA_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD)-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)-asan --output-on-failure -j $(JOBS)

demo: build
	$(BUILD)/tools/zematag/zematag demo $(BUILD)/demo-plant

bench:
	@bash scripts/setup.sh --bench
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DZEMA_BUILD_BENCH=ON \
	  -DZEMA_BUILD_TESTS=OFF -DZEMA_BUILD_TOOLS=OFF -DZEMA_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD)-bench -j $(JOBS)
	bash bench/run.sh $(BUILD)-bench

fuzz:
	@bash scripts/setup.sh --fuzz
	ZEMA_WERROR=$(WERROR) bash fuzz/run.sh $(BUILD)-fuzz

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-bench $(BUILD)-fuzz

# Thin wrapper over CMake for the README's commands.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)

.PHONY: all demo test test-sanitize bench deps clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# The library and the cart-pole demo, built and run: a policy network keeps a
# simulated pole upright.
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target cartpole_demo
	$(BUILD)/examples/cartpole_demo examples/models/cartpole.tvxf

# Optimised build, whole suite through ctest.
test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The same suite under AddressSanitizer + UndefinedBehaviorSanitizer; any
# report fails the run.
test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVEX_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTOLVEX_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

# Installs what a fresh Debian 12 machine lacks (as root), or says what to install.
deps:
	@tools/install-deps.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Thin wrapper over CMake for the README's commands.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_CXX   ?= clang++-19
FUZZ_SECONDS ?= 60
STRESS_SECONDS ?= 5
JOBS       ?= $(shell nproc)
CROSS      ?= aarch64 ppc64le riscv64

.PHONY: all demo test test-sanitize test-tsan test-cross fuzz fuzz-build bench known-answers deps fuzz-deps clean

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

# The thread stress tests under ThreadSanitizer; any report fails the run (at
# exit, so that a report written while a test holds stderr still gets out).
# The tests that race loads against writes run for STRESS_SECONDS each here
# (passed on as TOLVEX_STRESS_SECONDS), half a second in `make test`.
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVEX_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tolvex_tests
	TSAN_OPTIONS=second_deadlock_stack=1 TOLVEX_STRESS_SECONDS=$(STRESS_SECONDS) \
	  ctest --test-dir $(TSAN_BUILD) -R '^Threads\.' --output-on-failure -j $(JOBS)

# Cross builds for other 64-bit little-endian Linux architectures, each
# suite run under qemu-user (tools/test-cross.sh says what runs there).
test-cross:
	@for arch in $(CROSS); do JOBS=$(JOBS) tools/test-cross.sh $$arch || exit 1; done

# The libFuzzer targets (clang, ASan + UBSan), each run for FUZZ_SECONDS on
# its seed corpus in fuzz/corpus; any finding fails the run.
fuzz-build: deps fuzz-deps
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTOLVEX_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

# Rewrites the known-answer corpus (tests/data/known_answers: the models and
# answers.txt) from tools/known_answers/corpus.cpp, after checking that every
# kernel path of this machine and the reference kernels agree. Only ever run
# on purpose: no build or test writes the corpus.
known-answers: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target known_answers
	$(BUILD)/tools/known_answers/known_answers tests/data/known_answers

# Installs what a fresh Debian 12 machine lacks (as root), or says what to install.
deps:
	@tools/install-deps.sh

fuzz-deps:
	@tools/install-deps.sh fuzz

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-cross-*

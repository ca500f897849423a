# Set-up and everyday commands. See README.md.
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
BUILD   ?= build
CMAKE   ?= cmake
CTEST   ?= ctest

REL  := $(BUILD)/release
SAN  := $(BUILD)/sanitize
TSAN := $(BUILD)/tsan
DBG  := $(BUILD)/debug

.PHONY: all deps build run test test-sanitize sanitize tsan bench debug clean

all: build

deps:
	@scripts/install-deps

$(REL)/CMakeCache.txt:
	$(CMAKE) -S . -B $(REL) -DCMAKE_BUILD_TYPE=Release

build: deps $(REL)/CMakeCache.txt
	$(CMAKE) --build $(REL) -j $(JOBS)

run: build
	@if [ -x $(REL)/bin/vkto ]; then \
		cd $(REL)/bin && exec ./vkto; \
	else \
		echo "vkto: the program is not there yet (only the libraries and tests build)"; \
	fi

test: build
	cd $(REL) && $(CTEST) -j $(JOBS) --output-on-failure --timeout 300

$(SAN)/CMakeCache.txt:
	$(CMAKE) -S . -B $(SAN) -DCMAKE_BUILD_TYPE=Sanitize -DVK_BENCH=OFF

sanitize: deps $(SAN)/CMakeCache.txt
	$(CMAKE) --build $(SAN) -j $(JOBS)

test-sanitize: sanitize
	cd $(SAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(CTEST) -j $(JOBS) --output-on-failure --timeout 600

$(TSAN)/CMakeCache.txt:
	$(CMAKE) -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=Tsan -DVK_BENCH=OFF

tsan: deps $(TSAN)/CMakeCache.txt
	$(CMAKE) --build $(TSAN) -j $(JOBS)
	cd $(TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		$(CTEST) -j $(JOBS) --output-on-failure --timeout 600 -R Concurrency

# Every benchmark program and bench/*.py script, BENCH_RUNS paired runs
# each: the ratio vkto/peer per pair (higher is better for vkto), min and
# median. BENCH_ONLY=name runs only the matching ones.
BENCH_RUNS ?= 5
BENCH_ONLY ?=
bench: build
	python3 bench/run_bench.py --bin $(REL)/bin --runs $(BENCH_RUNS) --only "$(BENCH_ONLY)"

debug: deps
	$(CMAKE) -S . -B $(DBG) -DCMAKE_BUILD_TYPE=Debug
	$(CMAKE) --build $(DBG) -j $(JOBS)

clean:
	rm -rf $(BUILD)

# Fuzz targets (libFuzzer, clang): build them in their own tree and run each
# for FUZZ_TIME seconds on its seed corpus; new inputs stay in the build tree.
FUZZ      := $(BUILD)/fuzz
FUZZ_TIME ?= 10
# A fixed seed makes the CI pass repeatable; FUZZ_SEED=0 draws a new one.
FUZZ_SEED ?= 1

.PHONY: fuzz
fuzz: deps
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ) -DVK_FUZZ=ON -DCMAKE_BUILD_TYPE=Release -DVK_BENCH=OFF
	$(CMAKE) --build $(FUZZ) --target fuzz_targets -j $(JOBS)
	@set -e; for src in tests/fuzz/fuzz_*.cpp; do \
		name=$$(basename $$src .cpp); f=$(FUZZ)/bin/$$name; seeds=tests/fuzz/corpus/$${name#fuzz_}; \
		work=$(FUZZ)/corpus/$$name; mkdir -p $$work $(FUZZ)/artifacts; \
		echo "== $$name"; \
		if ! $$f -seed=$(FUZZ_SEED) -max_total_time=$(FUZZ_TIME) -timeout=10 -rss_limit_mb=1024 \
			-artifact_prefix=$(FUZZ)/artifacts/$$name- $$work $$seeds > $(FUZZ)/$$name.log 2>&1; then \
			tail -n 40 $(FUZZ)/$$name.log; echo "$$name: FAILED (input saved in $(FUZZ)/artifacts)"; exit 1; \
		fi; \
		tail -n 1 $(FUZZ)/$$name.log; \
	done

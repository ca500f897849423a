# Set-up and everyday commands. See README.md.
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
BUILD   ?= build
CMAKE   ?= cmake
CTEST   ?= ctest

REL  := $(BUILD)/release
SAN  := $(BUILD)/sanitize
TSAN := $(BUILD)/tsan
DBG  := $(BUILD)/debug

# pipefail: a build whose output is filtered still fails when it fails.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory

.DEFAULT_GOAL := all
.PHONY: all help deps deps-run build run test test-sanitize sanitize tsan bench debug clean

# One line per target.
help:
	@echo "make                build the program (build/release/bin/vkto); installs only what it needs"
	@echo "make run            the same, then start vkto from its directory"
	@echo "make test           install the test packages, build everything, run every test"
	@echo "make build          install the test packages, build the program, tests and benchmarks"
	@echo "make sanitize       build the tests with AddressSanitizer and UBSan (build/sanitize)"
	@echo "make test-sanitize  the same, then run every test there"
	@echo "make tsan           build with ThreadSanitizer, run the concurrency and load tests (build/tsan)"
	@echo "make fuzz           build the fuzz targets with clang, run each for FUZZ_TIME seconds"
	@echo "make bench          run every benchmark beside its peer (BENCH_ONLY=, BENCH_RUNS=)"
	@echo "make debug          Debug build with the tests (build/debug)"
	@echo "make deps           install the packages of the program, tests and benchmarks (as root)"
	@echo "make deps-run       install the packages the program needs (as root)"
	@echo "make clean          remove every build tree (build/)"
	@echo "make help           this list"

# `make` and `make run` need only what builds and runs the program; `make
# test` and the other targets need the test frameworks, peers and oracles.
deps-run:
	@scripts/install-deps run

deps:
	@scripts/install-deps test

# CMake's and make's progress lines, left out of the output of the steps
# below (the compiler's warnings and errors and CMake's messages stay).
CMAKE_CHATTER := /^\[ *[0-9]+%\] (Building|Linking|Built target)|^Consolidate compiler generated|^Scanning dependencies|^-- (Configuring done|Generating done|Build files have been written)/d

# $(call configure,<tree>,<cmake options>): configures the tree when it has
# no cache yet or when an option -DNAME=VALUE differs from its cache.
define configure
	@set -e -o pipefail; need=; [ -f $(1)/CMakeCache.txt ] || need=1; \
	for o in $(2); do o=$${o#-D}; \
		grep -q "^$${o%%=*}:[A-Z]*=$${o#*=}$$" $(1)/CMakeCache.txt 2>/dev/null || need=1; \
	done; \
	if [ -n "$$need" ]; then \
		echo "== configure $(1)"; \
		$(CMAKE) -S . -B $(1) --log-level=NOTICE $(2) \
			| sed -E '$(CMAKE_CHATTER)'; \
	fi
endef

# $(call build_quietly,<tree>,<cmake --build options>): one line for the
# step; the compiler's warnings and errors come through in full.
define build_quietly
	@echo "== build $(1)$(if $(2), ($(2)))"
	@set -o pipefail; $(CMAKE) --build $(1) -j $(JOBS) $(2) 2>&1 \
		| sed -E '$(CMAKE_CHATTER)'
endef

build: deps
	$(call configure,$(REL),-DCMAKE_BUILD_TYPE=Release -DVK_TESTS=ON -DVK_BENCH=ON)
	$(call build_quietly,$(REL))

# Plain `make`: only the program and the libraries it links, with only the
# packages they need; no tests, no benchmarks.
all: deps-run
	$(call configure,$(REL),-DCMAKE_BUILD_TYPE=Release)
	$(call build_quietly,$(REL),--target vkto)

run: all
	@cd $(REL)/bin && exec ./vkto

# After ctest, run in its tree: why each skipped test was skipped and each
# case an end-to-end script left out, from ctest's log (ctest names the
# skipped tests but not their reasons). It never fails the target.
SKIP_NOTES := awk ' \
	/^[0-9]+\/[0-9]+ Testing: / { name = $$NF } \
	/: Skipped$$/ { why = ""; while ((getline l) > 0 && l !~ /^(\[  SKIPPED \]|<end of output>)/) why = why (why == "" ? "" : " ") l; \
		print "  " name ": skipped: " (why == "" ? "(no reason given)" : why) } \
	/^(left out|SKIP|skipped): / { print "  " name ": " $$0 }' \
	Testing/Temporary/LastTest.log 2>/dev/null | sed '1i == skipped or left out, and why:' || true

# $(call ctest_then_notes,<tree>,<ctest command>): the command's status
# stays the step's.
define ctest_then_notes
	@echo "cd $(1) && $(2)"
	@cd $(1) && { $(2); rc=$$?; $(SKIP_NOTES); exit $$rc; }
endef

test: build
	$(call ctest_then_notes,$(REL),$(CTEST) -j $(JOBS) --output-on-failure --timeout 300)

sanitize: deps
	$(call configure,$(SAN),-DCMAKE_BUILD_TYPE=Sanitize -DVK_TESTS=ON -DVK_BENCH=OFF)
	$(call build_quietly,$(SAN))

test-sanitize: sanitize
	$(call ctest_then_notes,$(SAN),ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(CTEST) -j $(JOBS) --output-on-failure --timeout 600)

# The concurrency tests, then the end-to-end load tests against the
# ThreadSanitizer build of vkto, their loads scaled down (VK_E2E_TSAN).
tsan: deps
	$(call configure,$(TSAN),-DCMAKE_BUILD_TYPE=Tsan -DVK_TESTS=ON -DVK_BENCH=OFF)
	$(call build_quietly,$(TSAN))
	cd $(TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		$(CTEST) -j $(JOBS) --output-on-failure --timeout 600 -R Concurrency
	cd $(TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 VK_E2E_TSAN=1 \
		$(CTEST) -j $(JOBS) --output-on-failure --timeout 600 -L load

# Every benchmark program and bench/*.py script, BENCH_RUNS paired runs
# each: the ratio vkto/peer per pair (higher is better for vkto), min and
# median. BENCH_ONLY=name runs only the matching ones.
BENCH_RUNS ?= 5
BENCH_ONLY ?=
bench: build
	python3 bench/run_bench.py --bin $(REL)/bin --runs $(BENCH_RUNS) --only "$(BENCH_ONLY)"

debug: deps
	$(call configure,$(DBG),-DCMAKE_BUILD_TYPE=Debug -DVK_TESTS=ON)
	$(call build_quietly,$(DBG))

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
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ) -DVK_FUZZ=ON -DCMAKE_BUILD_TYPE=Release -DVK_TESTS=OFF -DVK_BENCH=OFF
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

# Thin wrapper around CMake.  `make` builds build/kapsa; `make test` runs the
# suite in a release build, again under AddressSanitizer + UBSan, and runs the
# program built with ThreadSanitizer.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all configure kapsa cross test test-release test-asan test-tsan demo bench fuzz fuzz-build clean \
        install uninstall package

all: kapsa

# `make` and `make demo` build the program alone; the tests and the benchmark
# are built by the targets that run them.
configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

kapsa: configure
	cmake --build $(BUILD) -j $(JOBS) --target kapsa kapsa_zstd

# make cross: the same static program for aarch64, as $(BUILD)/kapsa-aarch64,
# built with Debian's cross compiler in a build folder of its own.
CROSS_BUILD = $(BUILD)/cross-aarch64
cross:
	cmake -S . -B $(CROSS_BUILD) -DCMAKE_BUILD_TYPE=Release -DKAPSA_PROGRAM_ONLY=ON \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux.cmake >/dev/null
	cmake --build $(CROSS_BUILD) -j $(JOBS) --target kapsa
	cp $(CROSS_BUILD)/kapsa $(BUILD)/kapsa-aarch64

# make demo and make test first install the Debian packages they need
# (scripts/prerequisites), or say which ones to install.  Every stage runs even
# when an earlier one failed; the last line gives each stage's result and
# time, and the status is 1 when any of them failed.
test:
	sh scripts/prerequisites test
	@failed=; summary=; \
	for stage in release asan tsan; do \
	  start=$$(date +%s); \
	  if $(MAKE) test-$$stage; then result=passed; else result=FAILED; failed=yes; fi; \
	  summary="$$summary, $$stage $$result ($$(( $$(date +%s) - start )) s)"; \
	done; \
	echo "make test: $${summary#, }"; \
	test -z "$$failed"

# The end-to-end tests run the aarch64 installer under qemu too.
test-release: configure cross
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The program built with ThreadSanitizer, run on real builds and
# extractions, a signalled one among them.
TSAN_BUILD ?= build-tsan
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAPSA_TSAN=ON \
	  -DKAPSA_TESTS=OFF >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target kapsa
	sh tests/tsan_run.sh $(TSAN_BUILD)/kapsa

# -O1: the sanitizers see the same faults, and the kapsa runs of the suite
# start and end sooner than at -O0.
test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKAPSA_SANITIZE=ON \
	  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The benchmark compares with gzip, pigz, igzip, libdeflate and zstd and
# reads peak memory from GNU time: scripts/prerequisites installs them.
bench:
	sh scripts/prerequisites bench
	$(MAKE) configure
	cmake --build $(BUILD) -j $(JOBS) --target kapsa kapsa_zstd kapsa_dynamic kapsa_inflate_bench
	python3 bench/run.py $(BUILD)

# make install [PREFIX=/usr/local] [DESTDIR=...]: the stripped program and
# its manual page, through CMake's install rules.
PREFIX ?= /usr/local
install: kapsa cross
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

uninstall:
	rm -f "$(DESTDIR)$(PREFIX)/bin/kapsa" "$(DESTDIR)$(PREFIX)/share/man/man1/kapsa.1.gz" \
	  "$(DESTDIR)$(PREFIX)/lib/kapsa/kapsa-x86_64" "$(DESTDIR)$(PREFIX)/lib/kapsa/kapsa-aarch64" \
	  "$(DESTDIR)$(PREFIX)/lib/kapsa/kapsa-zstd" \
	  "$(DESTDIR)$(PREFIX)/share/lintian/overrides/kapsa"
	rm -rf "$(DESTDIR)$(PREFIX)/share/doc/kapsa"
	-rmdir "$(DESTDIR)$(PREFIX)/lib/kapsa" 2>/dev/null

# make package: a Debian package in $(BUILD)/.
package: kapsa cross
	cd $(BUILD) && cpack -G DEB

demo:
	sh scripts/prerequisites demo
	$(MAKE) kapsa
	sh examples/demo.sh $(BUILD)/kapsa

# Fuzzing: the libFuzzer targets of fuzz/, built with clang into $(FUZZ_BUILD),
# each run for FUZZ_SECONDS (`make -j2 fuzz` runs two at a time).  The seeds
# in fuzz/corpus/<target> are only read; what a run adds goes to
# $(FUZZ_BUILD)/corpus/<target>, a failing input to $(FUZZ_BUILD)/artifacts/,
# and the run's output to $(FUZZ_BUILD)/<target>.log (its last lines are shown).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = fuzz_preamble fuzz_gzip fuzz_strsplit fuzz_mnttab fuzz_expand fuzz_deflate \
               fuzz_check fuzz_tar fuzz_sign
FUZZ_RUNS = $(FUZZ_TARGETS:%=fuzz-run-%)
# Each target has a dictionary of what it parses (fuzz/dict/<target>.dict).
# The locator reads 8,191 bytes at a time: its inputs must reach past that.
FUZZ_ARGS_fuzz_preamble = -max_len=12288
FUZZ_ARGS_fuzz_check = -max_len=12288
FUZZ_ARGS_fuzz_tar = -max_len=16384
.PHONY: $(FUZZ_RUNS)

fuzz: $(FUZZ_RUNS)

fuzz-build:
	sh scripts/prerequisites fuzz
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Absolute paths: fuzz_expand changes directory while it runs.
FUZZ_DIR = $(abspath $(FUZZ_BUILD))
$(FUZZ_RUNS): fuzz-run-%: fuzz-build
	@mkdir -p $(FUZZ_DIR)/corpus/$* $(FUZZ_DIR)/artifacts
	@echo "$*: fuzzing for $(FUZZ_SECONDS) s"
	@$(FUZZ_DIR)/$* -max_total_time=$(FUZZ_SECONDS) -timeout=10 -close_fd_mask=2 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/artifacts/$*- $(FUZZ_ARGS_$*) \
	  -dict=$(CURDIR)/fuzz/dict/$*.dict \
	  $(FUZZ_DIR)/corpus/$* $(CURDIR)/fuzz/corpus/$* >$(FUZZ_DIR)/$*.log 2>&1; \
	  status=$$?; grep -E '^#[0-9]+.*cov:' $(FUZZ_DIR)/$*.log | tail -n 1 | sed 's/^/$*: /'; \
	  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
	    $(FUZZ_DIR)/$*.log | sed 's/^/$*: /'; \
	  if [ $$status -ne 0 ]; then tail -n 40 $(FUZZ_DIR)/$*.log; fi; exit $$status

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

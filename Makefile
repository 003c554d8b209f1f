# Thin wrapper around CMake.  `make` builds build/kapsa; `make test` runs the
# suite in a release build and again under AddressSanitizer + UBSan.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all kapsa test test-release test-asan demo bench fuzz clean

all: kapsa

kapsa:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: test-release test-asan

test-release: kapsa
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKAPSA_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: kapsa
	python3 bench/run.py $(BUILD)

demo: kapsa
	sh examples/demo.sh $(BUILD)/kapsa

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Thin wrapper around CMake.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all build deps test demo bench clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) build
	@if [ -f examples/align_demo.m ]; then \
	  cd examples && octave --no-gui --norc --quiet --no-window-system --eval "addpath('../$(BUILD)/mex'); align_demo"; \
	else echo "no demo yet"; fi

bench: deps
	$(MAKE) build
	@if [ -x $(BUILD)/bench/bench_measures ]; then $(BUILD)/bench/bench_measures; else echo "no benchmark yet"; fi

clean:
	rm -rf $(BUILD)

# Thin wrapper around CMake.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all build deps test demo bench package clean

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
	  cd examples && octave --no-gui --norc --no-history --quiet --no-window-system --eval \
	    "addpath('$(abspath $(BUILD))/mex'); align_demo('$(abspath $(BUILD))/demo/align_demo.png')"; \
	else echo "no demo yet"; fi

bench: deps
	$(MAKE) build
	@if [ -x $(BUILD)/bench/bench_measures ]; then $(BUILD)/bench/bench_measures --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; else echo "no benchmark yet"; fi
	@for f in bench/bench_*.m; do [ -f "$$f" ] || continue; \
	  octave --no-gui --norc --no-history --quiet --no-window-system --eval "addpath('$(BUILD)/mex'); addpath('bench'); $$(basename $$f .m)"; done

# The Octave package imgalign-<version>.tar.gz, for pkg install (see the README).
package:
	@scripts/make-package $(BUILD)

clean:
	rm -rf $(BUILD)

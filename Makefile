# The two commands of this project: `make run` and `make test`.
PRESET ?= default
BOARD  ?= build/board
JOBS   ?= $(shell nproc)
# Extra arguments for the configure step, e.g. CMAKE_ARGS=-DTORVEX_WERROR=ON.
CMAKE_ARGS ?=

.PHONY: run test deps configure build bench clean

deps:
	@bash tools/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

# Build the firmware and start it on the simulated board kept in $(BOARD).
run: configure
	@cmake --build --preset $(PRESET) -j $(JOBS) --target torvex
	exec build/$(PRESET)/tools/torvex/torvex --root $(BOARD) --log-stderr

# Install what is missing, build everything and run every test.
test: build
	ctest --preset $(PRESET)

# Build and run the benchmarks; they print figures, nothing is asserted.
bench: build
	@for b in build/$(PRESET)/tests/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build

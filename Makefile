# Front door. `make test` is what CI runs.
.PHONY: all deps build test test-release test-asan bench lint format clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset release
	cmake --build --preset release

test: deps test-release test-asan

test-release:
	cmake --preset release
	cmake --build --preset release
	ctest --preset release

test-asan:
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

bench: build
	build/release/bench/step_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
	build/release/bench/lookup_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true

lint:
	scripts/lint

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build

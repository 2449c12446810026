# Front door. `make test` is what CI runs.
# What users build (build, tools, python, windows, install) takes warnings as warnings, so that a
# newer compiler's new warning does not stop it; the steps of make test and make bench build the
# -strict presets (and the others CI alone builds), where warnings are errors.
.PHONY: all deps build tools demo python python-module python-strict test-python install uninstall package test \
	test-release check-package test-portable test-asan test-tsan check-memory bench fuzz fuzz-check \
	lint format clean windows test-windows check-windows-zip web web-serve test-web

all: build

deps:
	scripts/install-deps

build: deps
	cmake --preset release
	cmake --build --preset release

# The three tools alone, in build/tools: needs only the compiler, CMake and Ninja.
tools:
	scripts/install-deps tools
	cmake --preset tools
	cmake --build --preset tools

# Sample models packed into an archive and extracted again, in build/demo.
demo: tools
	scripts/demo build/tools

# The Python module, in build/python: `PYTHONPATH=build/python python3 -c 'import archive_extract'`.
# Needs pybind11 and Python's headers (installed here; python-module builds without asking).
python:
	scripts/install-deps python
	$(MAKE) python-module

python-module:
	cmake --preset python
	cmake --build --preset python

python-strict:
	scripts/install-deps python
	cmake --preset python-strict
	cmake --build --preset python-strict

# The module's tests (pytest, against the tools of the same build), and its package.
test-python: python-strict
	ctest --preset python
	scripts/check-package build/python

# The tools into $(PREFIX)/bin, their manual pages and bash completion under $(PREFIX)/share;
# the Python module where Debian's python3 finds it under $(PREFIX) when pybind11 and Python's
# headers are installed (make deps installs them), otherwise it says it skipped it.
PREFIX ?= /usr/local
HAVE_PYTHON_MODULE = $(and $(wildcard /usr/lib/cmake/pybind11/pybind11Config.cmake \
  /usr/share/cmake/pybind11/pybind11Config.cmake),$(wildcard /usr/include/python3*/Python.h))
install: tools
ifneq ($(HAVE_PYTHON_MODULE),)
	$(MAKE) python-module
	scripts/new-folders "$(PREFIX)" build/tools build/python:python > $(INSTALL_FOLDERS)
	cmake --install build/tools --prefix "$(PREFIX)"
	cmake --install build/python --prefix "$(PREFIX)" --component python
else
	scripts/new-folders "$(PREFIX)" build/tools > $(INSTALL_FOLDERS)
	cmake --install build/tools --prefix "$(PREFIX)"
	rm -f $(PYTHON_MANIFEST)
	@echo "make install: skipped the Python module: pybind11 or Python's headers are not installed (make deps installs them)"
endif

# The files the last install put in place, as CMake listed them; refused when the list is missing
# or names a file outside PREFIX (give the PREFIX the install was given).
# The Python module's list, when it was installed, too.
INSTALL_MANIFEST = build/tools/install_manifest.txt
# The folders the last install created (deepest first), removed again when they are empty.
INSTALL_FOLDERS = build/tools/install_folders.txt
PYTHON_MANIFEST = build/python/install_manifest_python.txt
uninstall:
	@if [ ! -f $(INSTALL_MANIFEST) ]; then \
	  echo "make uninstall: $(INSTALL_MANIFEST) is missing: nothing was installed from build/tools" >&2; \
	  exit 1; \
	fi; \
	for manifest in $(INSTALL_MANIFEST) $(wildcard $(PYTHON_MANIFEST)); do \
	  if awk -v p="$(PREFIX:%/=%)/" 'index($$0, p) != 1 { found = 1 } END { exit !found }' \
	    $$manifest; then \
	    echo "make uninstall: $$manifest lists files outside $(PREFIX)" >&2; \
	    exit 1; \
	  fi; \
	done; \
	awk 1 $(INSTALL_MANIFEST) $(wildcard $(PYTHON_MANIFEST)) | tr '\n' '\0' | xargs -0 -r rm -fv --; \
	if [ -f $(INSTALL_FOLDERS) ]; then \
	  tr '\n' '\0' < $(INSTALL_FOLDERS) | xargs -0 -r rmdir -v --ignore-fail-on-non-empty --; \
	fi

# A .deb of the same, in build/tools, checked (and, as root, installed and removed again).
package: tools
	scripts/install-deps package
	scripts/check-package build/tools

# The three tools as 64-bit Windows .exe files (mingw-w64, statically linked) in build/windows,
# and the zip users download, with its SHA-256.
windows:
	scripts/install-deps windows
	cmake --preset windows
	cmake --build --preset windows
	scripts/windows-zip build/windows

# The page in a browser tab: the library in WebAssembly, the page and its scripts, in build/web,
# and the zip to host it (build/archive-extract-web-VERSION.zip). Needs Debian's emscripten.
web:
	scripts/install-deps web
	scripts/build-web

# build/web served on http://127.0.0.1:8000/ (PORT=...), with the page's Content Security Policy.
PORT ?= 8000
web-serve: web
	scripts/serve-web build/web $(PORT)

# The WebAssembly module in Node and the page in headless Chromium, against archive-extract on the
# archives of web-fixtures.
test-web: test-release
	scripts/install-deps web
	WERROR=ON scripts/build-web
	scripts/web-test-setup
	SITE=build/web TOOLS=build/release FIXTURES=build/web-fixtures NPM=build/web-npm \
	  node --test web/tests/

# Each step in turn, with the time it took; a step done is not made again by a later one that
# depends on it (make -o).
TEST_STEPS = deps test-release check-package test-python test-web test-portable test-windows \
	test-asan test-tsan check-memory fuzz-check
test:
	@done=""; for step in $(TEST_STEPS); do \
	  start=$$(date +%s); \
	  $(MAKE) --no-print-directory $$done $$step || exit 1; \
	  echo "make test: $$step took $$(($$(date +%s) - start)) s"; \
	  done="$$done -o $$step"; \
	done

# The tests record what GNU as and objdump answer them, for the Windows tests (test-windows).
test-release:
	cmake --preset release-strict
	cmake --build --preset release-strict
	rm -f build/release/test-tools-answers
	ctest --preset release

# The package built from the release build the tests just used.
check-package: test-release
	scripts/check-package build/release

# The POSIX code alone, as on a POSIX system other than Linux: its fallbacks (named temporary files,
# copies through memory) built and tested here.
test-portable:
	cmake --preset portable
	cmake --build --preset portable
	ctest --preset portable

# The Windows build's tests under Wine, each test executable once (Wine's start-up is heavy), with
# the answers GNU as and objdump gave the release build's tests, beside an X server without a
# screen (a test opens a console window, which Wine draws with X); then the zip users download,
# made of the same build.
test-windows: test-release
	cmake --preset windows-tests
	cmake --build --preset windows-tests
	xvfb-run -a ctest --preset windows-tests
	scripts/windows-zip build/windows-tests
	$(MAKE) --no-print-directory check-windows-zip ZIP="$$(ls build/windows-tests/archive-extract-*-win64.zip)"

# The zip holds the three tools, README.txt for users and the three pages as text, nothing else;
# the pages name the version and README.txt has Windows line ends.
check-windows-zip:
	@test "$$(unzip -Z1 $(ZIP) | grep -v '/$$' | sed 's|^[^/]*/||' | LC_ALL=C sort | tr '\n' ' ')" = \
	  "README.txt archive-extract.exe archive-extract.txt archive-pack.exe archive-pack.txt guest-run.exe guest-run.txt " \
	  || { echo "check-windows-zip: $(ZIP) holds:"; unzip -Z1 $(ZIP); exit 1; }
	@version=$$(sed -n 's/^project(archive_extract VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt); \
	for page in archive-extract archive-pack guest-run; do \
	  unzip -p $(ZIP) "*/$$page.txt" | grep -q "$$page $$version" \
	    || { echo "check-windows-zip: $$page.txt does not name version $$version"; exit 1; }; \
	done
	@test "$$(unzip -p $(ZIP) '*/README.txt' | grep -cv "$$(printf '\r')$$")" = 0 \
	  || { echo "check-windows-zip: README.txt has lines without CR LF"; exit 1; }

test-asan:
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# The extraction's and the mount's tests once with ThreadSanitizer in the tools and the tests: a
# data race or a lock-order problem in the worker pool or the mount's cache makes the process
# report it and fail its test.
test-tsan:
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# The end-to-end tests once more with every process they start under valgrind's memcheck: an
# invalid access or a definite leak in archive-extract or archive-pack makes the process exit
# with status 99, which fails its test. Reports go to build/valgrind (an absolute path: the
# tests run the tools in folders of their own). The case that runs the tool as nobody is left
# out: valgrind, forked as root, cannot reopen its log once the child has changed user.
check-memory: test-release
	rm -rf build/valgrind && mkdir -p build/valgrind
	valgrind --quiet --trace-children=yes --error-exitcode=99 --leak-check=full \
	  --errors-for-leak-kinds=definite --log-file=$(CURDIR)/build/valgrind/%p.log \
	  build/release/tests/e2e_extract_test --gtest_filter=-*SkipsAFolderItCannotUse* \
	  || { cat build/valgrind/*.log; exit 1; }

bench:
	scripts/install-deps bench
	cmake --preset release-strict
	cmake --build --preset release-strict
	build/release/bench/step_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
	build/release/bench/lookup_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
	build/release/bench/codec_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
	build/release/bench/selection_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
	scripts/bench-extract
	scripts/bench-update
	scripts/bench-test
	scripts/bench-mount
	$(MAKE) python-strict
	scripts/bench-python

# libFuzzer with ASan and UBSan, each target for FUZZ_SECONDS seconds. New inputs go to
# build/fuzz/work, and a crashing input to build/fuzz/TARGET-crash-... (an absolute path, so that
# it does not depend on where a target works); the committed seeds in fuzz/corpus are only read.
# The targets' stdout (paths, the machine's fault lines) is closed. CMakeLists.txt lists the same
# targets.
FUZZ_SECONDS ?= 60
FUZZERS = decompress interpreter extract inspect update
fuzz:
	scripts/install-deps fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz --target $(FUZZERS:%=%_fuzz)
	for f in $(FUZZERS); do \
	  mkdir -p build/fuzz/work/$$f && \
	  build/fuzz/$${f}_fuzz -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=1 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/build/fuzz/$$f- build/fuzz/work/$$f fuzz/corpus/$$f || exit 1; \
	done

# The same libFuzzer build in make test: each target runs its committed seeds and then a fixed
# number of mutated inputs from a fixed seed (no time limit, so a loaded machine does the same
# work, only slower), starting from an empty folder each time. The counts keep the whole check,
# build included, to about three minutes on two cores.
FUZZ_CHECK_RUNS = decompress=200000 interpreter=100000 extract=8000 inspect=16000 update=150
fuzz-check:
	scripts/install-deps fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz --target $(FUZZERS:%=%_fuzz)
	for run in $(FUZZ_CHECK_RUNS); do \
	  f=$${run%=*}; rm -rf build/fuzz/check/$$f && mkdir -p build/fuzz/check/$$f && \
	  build/fuzz/$${f}_fuzz -runs=$${run#*=} -seed=1 -verbosity=0 -close_fd_mask=1 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/build/fuzz/$$f- build/fuzz/check/$$f fuzz/corpus/$$f || exit 1; \
	done

lint:
	scripts/lint

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build

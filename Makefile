# Set-up and everyday commands. `make demo` and `make test` work on a fresh
# Debian machine (as root, or with sudo): they install what is missing.

SHELL := /bin/bash
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
ASAN_BUILD ?= build/asan
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
CPP_BUILD ?= build/cpp

DEB_PACKAGES := build-essential pkg-config python3-dev python3-venv libicu-dev nlohmann-json3-dev \
	librust-unicode-categories-dev librust-deunicode-dev unicode-data mariadb-server mariadb-client strace \
	postgresql icu-devtools binutils dpkg-dev chromium chromium-driver

.PHONY: check-tree deps venv install demo test test-python test-cpp test-asan test-tsan fuzz-python test-abi3 stubtest wheel wheel-check wheel-check-aarch64 wheel-check-aarch64-quick fuzz tables-check bench ci clean

deps: ## Debian packages (skipped when all are present)
	@missing=$$(for p in $(DEB_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: deps $(PY)
	$(PY) -m pip install -q scikit-build-core cmake ninja pytest hypothesis

install: venv ## build and install the package into the virtual environment
	$(PY) -m pip install -q ".[test]"

demo: install ## the pipeline's main job on the bundled sample data
	$(VENV)/bin/zemo-etl demo --fresh --workdir build/demo

test: install test-cpp test-python ## the whole test suite

# pytest runs from tests/ so that the installed package, not the source
# folder without its extension, is imported.
test-python:
	cd tests && ../$(VENV)/bin/pytest -q -p no:cacheprovider .

test-cpp: venv
	BUILD_TYPE=Debug PYTHON=$(PY) tools/dev-build.sh $(CPP_BUILD)
	$(CPP_BUILD)/zemo_cpp_tests
	if [ -x $(CPP_BUILD)/zemo_shell_tests ]; then $(CPP_BUILD)/zemo_shell_tests; fi

test-asan: venv ## extension and C++ runner under AddressSanitizer + UBSan
	BUILD_TYPE=RelWithDebInfo PYTHON=$(PY) tools/dev-build.sh $(ASAN_BUILD) -DZEMO_SANITIZE=ON
	ASAN_OPTIONS=detect_leaks=0 $(ASAN_BUILD)/zemo_cpp_tests
	if [ -x $(ASAN_BUILD)/zemo_shell_tests ]; then ASAN_OPTIONS=detect_leaks=0 $(ASAN_BUILD)/zemo_shell_tests; fi
	cd tests && LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:detect_odr_violation=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ZEMO_INTERRUPT_LIMIT=1.0 \
	  PYTHONPATH=../$(ASAN_BUILD)/pkg ../$(PY) -m pytest -q -p no:cacheprovider -x .

TSAN_BUILD ?= build/tsan

# The C++ runner's pool, fork and interruption tests with 8 workers under
# ThreadSanitizer (the rest of the runner is single-threaded).
test-tsan: venv ## the worker pool under ThreadSanitizer
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEMO_TSAN=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	cmake --build $(TSAN_BUILD) --target zemo_cpp_tests
	ZEMO_ETL_NUM_THREADS=8 TSAN_OPTIONS=halt_on_error=1:die_after_fork=0 $(TSAN_BUILD)/zemo_cpp_tests fuzzy_pool

stubtest: install
	$(PY) -m pip install -q mypy
	cd tests && ../$(PY) -m mypy.stubtest zemo_etl --allowlist ../tools/stubtest-allowlist.txt

# The sdist, and from it alone the portable wheels (cp39-abi3, manylinux_2_28,
# x86_64 and aarch64): zig's compilers for glibc 2.28 (pinned in
# tools/wheel-requirements.txt), ICU compiled in from Debian's source package
# with only the data the module loads (tools/static-icu.sh); tagged by
# auditwheel and audited by tools/audit-wheel.sh. `pip install .` still builds
# with the system's compiler and ICU.
WHEEL_ARCHS := x86_64 aarch64
STATIC_ICU ?= build/static-icu

wheel: venv ## dist/: the sdist and the x86_64 and aarch64 manylinux_2_28 wheels
	rm -rf dist build/dist-raw
	$(PY) -m pip install -q -r tools/wheel-requirements.txt
	tools/static-icu.sh $(STATIC_ICU)
	$(PY) -m build -q --sdist --no-isolation --outdir dist .
	@for arch in $(WHEEL_ARCHS); do tools/zig-wheel.sh dist/*.tar.gz $$arch $(STATIC_ICU) dist $(PY) || exit 1; done
	@ls -l dist/

wheel-check: wheel ## the x86_64 wheel in a fresh venv without the system's ICU, and the suite against it
	tools/check-wheel.sh dist/*_x86_64.whl $(PYTHON)

# The one abi3 wheel under the oldest and newest interpreters this machine has
# (pyenv's, where present), beside the default one, checked the same way but
# with pytest and hypothesis only (the tests of optional libraries skip).
PYENV_ROOT_DIR := $(shell pyenv root 2>/dev/null)
OTHER_PYTHONS := $(wildcard $(PYENV_ROOT_DIR)/versions/3.9*/bin/python3 $(PYENV_ROOT_DIR)/versions/3.13*/bin/python3)

test-abi3: wheel ## the suite against the same wheel on Python 3.9 and 3.13
	@if [ -z "$(OTHER_PYTHONS)" ]; then echo "test-abi3: no other Python found, skipped"; fi
	@for py in $(OTHER_PYTHONS); do echo "== $$py"; tools/check-wheel.sh dist/*_x86_64.whl $$py pytest hypothesis || exit 1; done

# The aarch64 wheel under qemu-aarch64-static on Debian's arm64 Python
# (tools/check-wheel-aarch64.sh), and the sample data's results compared with
# the x86_64 wheel's. CI runs AARCH64_QUICK, the subset below.
AARCH64_PACKAGES := qemu-user-static debootstrap
AARCH64_QUICK := test_text_forms.py test_fuzzy_metrics.py test_fuzzy_classify.py test_parser_mysql.py test_state_file.py test_index_explain.py
# Left out under emulation: resident memory there is qemu's, translation cache
# included; and qemu's signal forwarding can let one SIGINT of the interrupt
# test's 5 ms barrage end the child as it exits.
AARCH64_TESTS ?= -k "not test_calls_and_error_paths_leak_nothing and not test_sigint_stops_the_call_and_the_next_call_works"

wheel-check-aarch64: wheel ## the whole suite against the aarch64 wheel under qemu
	$(call aarch64_check,$(AARCH64_TESTS),numpy pandas pyarrow)

wheel-check-aarch64-quick: wheel ## the same with the tests of AARCH64_QUICK only (CI)
	$(call aarch64_check,$(AARCH64_QUICK))

define aarch64_check
	@missing=$$(for p in $(AARCH64_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; fi
	DEPS="$(2)" tools/check-wheel-aarch64.sh dist/*_aarch64.whl dist/*_x86_64.whl $(PY) $(1)
endef

FUZZ_PACKAGES := clang libclang-rt-14-dev
# Targets to leave out of a run, by name.
FUZZ_SKIP ?=
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build/fuzz
# Small inputs keep every target at thousands of executions a second.
FUZZ_MAX_LEN ?= 4096
# Seconds one input may take: a crafted file must not make work without bound.
FUZZ_TIMEOUT ?= 10

fuzz: ## each libFuzzer target for FUZZ_SECONDS (clang, ASan + UBSan), from the seed corpora
	@missing=$$(for p in $(FUZZ_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; fi
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEMO_FUZZ=ON -DZEMO_CPP_TESTS=OFF >/dev/null
	cmake --build $(FUZZ_BUILD)
	$(if $(wildcard $(PY)),$(PY),$(PYTHON)) fuzz/make_corpora.py $(FUZZ_BUILD)
	@for t in $(FUZZ_BUILD)/*_fuzz; do \
	  [ -f $$t ] && [ -x $$t ] || continue; \
	  case " $(FUZZ_SKIP) " in *" $$(basename $$t) "*) echo "== $$(basename $$t): skipped (FUZZ_SKIP)"; continue ;; esac; \
	  mkdir -p $$t.corpus; echo "== $$(basename $$t)"; \
	  $$t -max_total_time=$(FUZZ_SECONDS) -max_len=$(FUZZ_MAX_LEN) -rss_limit_mb=2048 -timeout=$(FUZZ_TIMEOUT) -print_final_stats=1 $$t.corpus 2>&1 \
	    | grep -E '^(Done|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' ; \
	  test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

ATHERIS_SECONDS ?= 60

# Runs from build/ so that the installed package, not the source folder, is imported.
# Uses the installed package (CI has just installed it), installing it only when missing.
fuzz-python: venv ## the atheris harness over the Python surface for ATHERIS_SECONDS
	@mkdir -p build && cd build && ../$(PY) -c 'import zemo_etl._ext' 2>/dev/null || $(MAKE) -C .. install
	$(PY) -m pip install -q atheris
	mkdir -p build/atheris && cd build/atheris && \
	  ../../$(PY) ../../fuzz/python_surface_fuzz.py -max_total_time=$(ATHERIS_SECONDS) -max_len=512 2>&1 \
	  | grep -Ev '^(#|INFO|WARNING|"|This may)'; test $${PIPESTATUS[0]} -eq 0

tables-check: ## the committed Unicode tables match the Debian data packages
	$(PYTHON) tools/gen_unicode_tables.py --check

# The store benchmarks compare with the sqlite3 shell's .import.
BENCH_PACKAGES := sqlite3

bench: install
	@missing=$$(for p in $(BENCH_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; fi
	$(PY) -m pip install -q ".[bench]"
	cd bench && ../$(PY) run.py

check-tree: ## no conflict markers or fuzzer artefacts committed
	tools/check-tree.sh

# CI checks the tree first, then gives each libFuzzer target 20 s and the
# Python-surface fuzzer 60 s.
ci: check-tree test wheel-check test-abi3 wheel-check-aarch64-quick stubtest test-asan test-tsan tables-check
	$(MAKE) fuzz FUZZ_SECONDS=20
	$(MAKE) fuzz-python ATHERIS_SECONDS=60

clean:
	rm -rf build dist $(VENV)

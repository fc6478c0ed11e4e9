# Front door: `make example` and `make test` do all set-up on a fresh machine.
PYPY    ?= pypy3
CPYTHON ?= /usr/bin/python3
WERROR  ?= $(if $(CI),true,false)
MESON_FLAGS ?= -Dwerror=$(WERROR)

B_PYPY    := build/pypy
B_CPYTHON := build/cpython

# NumPy for PyPy: there is none to install here, so the set-up builds it
# offline from the source archive beside the clone (../shared) into a cache
# outside the clone, which every later clone on this machine reuses. The
# PyPy tests and `make example` put it first on PyPy's path.
PYVEXA_CACHE ?= $(if $(HOME),$(HOME)/.cache/pyvexa,$(CURDIR)/build/cache)
NUMPY_PYPY   ?= $(PYVEXA_CACHE)/numpy-1.24.4-pypy39

.PHONY: all setup configure build test check-stress example format clean bench

all: build

setup:
	@NUMPY_PYPY="$(NUMPY_PYPY)" bash scripts/setup.sh

$(B_PYPY)/build.ninja: | setup
	meson setup $(B_PYPY) -Dpython=$(PYPY) -Dpypy_numpy="$(NUMPY_PYPY)" $(MESON_FLAGS)

# The model tests run once, in the PyPy build directory.
$(B_CPYTHON)/build.ninja: | setup
	meson setup $(B_CPYTHON) -Dpython=$(CPYTHON) -Dmodel_tests=false $(MESON_FLAGS)

configure: $(B_PYPY)/build.ninja $(B_CPYTHON)/build.ninja

build: configure
	ninja -C $(B_PYPY)
	ninja -C $(B_CPYTHON)

# Every test but the stress tier and the installs: the model and the
# module (the pytest suites' output with their ten slowest tests, the model
# suite's ten slowest after it), then the viewer's, checker's and examples'
# tests under both interpreters (check-examples).
test: build
	meson test -C $(B_PYPY) --print-errorlogs --verbose
	$(CPYTHON) scripts/slowest_tests.py $(B_PYPY) model
	meson test -C $(B_CPYTHON) --print-errorlogs --verbose
	$(MAKE) --no-print-directory check-examples

# The stress tier: the leak check at 100,000 calls a case and the large
# thread stress, under both interpreters (docs/reliability.md).
check-stress: build
	meson test -C $(B_PYPY) --print-errorlogs --verbose --suite stress
	meson test -C $(B_CPYTHON) --print-errorlogs --verbose --suite stress

# The example shows the envelope, which needs NumPy: --envelope makes a PyPy
# without its NumPy an error here, not a silent skip.
example: build
	PYTHONPATH="$(NUMPY_PYPY):$(B_PYPY)/pyvexa" $(PYPY) examples/session.py --envelope \
	    build/session.vexa || { echo "make example: FAILED. PyPy needs a NumPy of its own for" \
	    "the envelope: 'make setup' builds one into NUMPY_PYPY=$(NUMPY_PYPY) from" \
	    "../shared/vendor, or pass NUMPY_PYPY=DIR (README: NumPy for PyPy)." >&2; exit 1; }

# Benchmarks: both interpreters, each in its own build directory with the
# `bench` option on (the micro benchmarks and the no-op extension that
# bench.py compares calls with); PyPy with the NumPy built for it first on
# its path. Figures depend on machine load: bench.py prints the load
# average before and after (docs/performance.md).
B_BENCH_PYPY    ?= build/bench-pypy
B_BENCH_CPYTHON ?= build/bench-cpython
BENCH_ARGS      ?= --runs 7
MICRO_ARGS      ?= --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

bench: | setup
	test -f $(B_BENCH_PYPY)/build.ninja || meson setup $(B_BENCH_PYPY) -Dpython=$(PYPY) -Dbench=true -Dmodel_tests=false $(MESON_FLAGS)
	test -f $(B_BENCH_CPYTHON)/build.ninja || meson setup $(B_BENCH_CPYTHON) -Dpython=$(CPYTHON) -Dbench=true -Dmodel_tests=false $(MESON_FLAGS)
	ninja -C $(B_BENCH_PYPY)
	ninja -C $(B_BENCH_CPYTHON)
	$(B_BENCH_CPYTHON)/bench/micro $(MICRO_ARGS)
	PYTHONPATH=$(B_BENCH_CPYTHON)/pyvexa:$(B_BENCH_CPYTHON)/bench $(CPYTHON) bench/bench.py $(BENCH_ARGS)
	PYTHONPATH=$(NUMPY_PYPY):$(B_BENCH_PYPY)/pyvexa:$(B_BENCH_PYPY)/bench $(PYPY) bench/bench.py $(BENCH_ARGS)
	PYTHONPATH=$(B_BENCH_CPYTHON)/pyvexa $(CPYTHON) bench/save_bench.py
	PYTHONPATH=$(B_BENCH_PYPY)/pyvexa $(PYPY) bench/save_bench.py
	PYTHONPATH=$(B_BENCH_CPYTHON)/pyvexa $(CPYTHON) bench/viewer_bench.py --runs 5
	PYTHONPATH=$(NUMPY_PYPY):$(B_BENCH_PYPY)/pyvexa $(PYPY) bench/viewer_bench.py --runs 5
	PYTHONPATH=$(B_BENCH_CPYTHON)/pyvexa $(CPYTHON) bench/lint_bench.py
	PYTHONPATH=$(NUMPY_PYPY):$(B_BENCH_PYPY)/pyvexa $(PYPY) bench/lint_bench.py

# Packaging checks. check-stubs: stubtest compares pyvexa.pyi with the built
# CPython module (no allowlist needed), then mypy --strict checks the
# examples and the viewer package against the stubs. check-examples (run
# by `make test`): the viewer's and checker's tests, the examples and the
# stub tests under both interpreters (each also runs the scripts codify
# writes under the other).
# check-install: pip install into throwaway CPython and PyPy venvs and a
# meson install for PyPy, each used from outside the tree (a few minutes).
MYPY_ENV    = MYPYPATH=pyvexa:tools MYPY_CACHE_DIR=$(B_CPYTHON)/mypy-cache PYTHONDONTWRITEBYTECODE=1
TOOLS_TEST := -m pytest -q -p no:cacheprovider --durations=10 tools/tests

.PHONY: check-stubs check-examples check-install check-package

check-stubs: build
	# stubtest keeps its cache in the working directory whatever it is told.
	cd $(B_CPYTHON) && MYPYPATH=$(CURDIR)/pyvexa PYTHONPATH=pyvexa PYTHONDONTWRITEBYTECODE=1 \
	    $(CPYTHON) -m mypy.stubtest pyvexa
	$(MYPY_ENV) $(CPYTHON) -m mypy --strict examples tools/vexa_view.py tools/pyvexa_tools

check-examples: build
	PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$(B_CPYTHON)/pyvexa \
	    VEXA_OTHER_PYTHON=$(PYPY) VEXA_OTHER_PYTHONPATH=$(NUMPY_PYPY):$(CURDIR)/$(B_PYPY)/pyvexa \
	    $(CPYTHON) $(TOOLS_TEST) -m "not install"
	PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$(NUMPY_PYPY):$(B_PYPY)/pyvexa:/usr/lib/python3/dist-packages \
	    VEXA_OTHER_PYTHON=$(CPYTHON) VEXA_OTHER_PYTHONPATH=$(CURDIR)/$(B_CPYTHON)/pyvexa \
	    $(PYPY) $(TOOLS_TEST) -m "not install"

check-install: | setup
	PYTHONDONTWRITEBYTECODE=1 $(CPYTHON) $(TOOLS_TEST) -m install

# The examples' and tools' tests are part of `make test`.
check-package: check-stubs check-install

# Reliability checks (README, "Reliability"). check-sanitize: the model
# tests and the CPython module built with AddressSanitizer (leaks on) and
# UndefinedBehaviorSanitizer in build/sanitize, every test run against that
# build; any report fails it. check-fuzz: each libFuzzer harness of fuzz/
# for FUZZ_SECONDS (20 s in CI); fuzz: the same for as long as you like,
# e.g. make fuzz FUZZ_SECONDS=14400 (four hours each).
FUZZ_SECONDS ?= 20

.PHONY: check-sanitize check-fuzz fuzz check-reliability

check-sanitize: | setup
	MESON_FLAGS="$(MESON_FLAGS)" CPYTHON=$(CPYTHON) bash scripts/check-sanitize.sh

check-fuzz: | setup
	MESON_FLAGS="$(MESON_FLAGS)" bash scripts/fuzz.sh 20

fuzz: | setup
	MESON_FLAGS="$(MESON_FLAGS)" bash scripts/fuzz.sh $(FUZZ_SECONDS)

check-reliability: check-sanitize check-fuzz

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build

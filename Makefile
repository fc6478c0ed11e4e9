# Front door: `make example` and `make test` do all set-up on a fresh machine.
PYPY    ?= pypy3
CPYTHON ?= /usr/bin/python3
WERROR  ?= $(if $(CI),true,false)
MESON_FLAGS ?= -Dwerror=$(WERROR)

B_PYPY    := build/pypy
B_CPYTHON := build/cpython

.PHONY: all setup configure build test test-model test-module example format clean

all: build

setup:
	@bash scripts/setup.sh

$(B_PYPY)/build.ninja: | setup
	meson setup $(B_PYPY) -Dpython=$(PYPY) $(MESON_FLAGS)

# The model tests run once, in the PyPy build directory.
$(B_CPYTHON)/build.ninja: | setup
	meson setup $(B_CPYTHON) -Dpython=$(CPYTHON) -Dmodel_tests=false $(MESON_FLAGS)

configure: $(B_PYPY)/build.ninja $(B_CPYTHON)/build.ninja

build: configure
	ninja -C $(B_PYPY)
	ninja -C $(B_CPYTHON)

test: build
	meson test -C $(B_PYPY) --print-errorlogs
	meson test -C $(B_CPYTHON) --print-errorlogs

example: build
	PYTHONPATH=$(B_PYPY)/pyvexa $(PYPY) examples/session.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build

# The README's commands. Each sets up what it needs itself: a virtual environment in .venv with
# the package installed, GoogleTest from Debian's packages for the C++ tests, and Chromium with
# its driver for the tests that open our HTML in a browser. `make test`
# also tests the oldest supported stack (constraints-oldest.txt) in .venv-oldest when CPython 3.8
# is on the machine.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
OLDEST_VENV := .venv-oldest
OLDEST_VPY := $(OLDEST_VENV)/bin/python
# CPython 3.8: python3.8 on PATH, else one of pyenv's versions; empty when there is none.
PYTHON38 ?= $(shell for p in "$$(command -v python3.8)" \
                      "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.8*/bin/python3.8; do \
                      [ -x "$$p" ] && "$$p" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 8))' \
                        >/dev/null 2>&1 && { echo "$$p"; break; }; \
                    done)
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
JOBS ?= 2

.PHONY: demo test install format format-check cpp-test cpp-sanitize pytest pytest-oldest \
        install-oldest bench gtest browser clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

install: $(VPY)
	$(VPY) -m pip install -q -c constraints.txt scikit-build-core pybind11 ninja cmake
	$(VPY) -m pip install -q -c constraints.txt --no-build-isolation '.[test,dask]'

demo: install
	$(VPY) examples/demo.py

test: install format-check cpp-test cpp-sanitize pytest pytest-oldest

# The C++ sources follow .clang-format (`make format` applies it); no source file is over 500
# lines and no function over 80 (tools/check-sizes).
CPP_SOURCES = $(shell find cpp -name '*.cpp' -o -name '*.hpp' | sort)

format-check: $(VPY)
	$(VPY) -m pip install -q -c constraints.txt clang-format
	$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(VPY) tools/check-sizes

format: $(VPY)
	$(VPY) -m pip install -q -c constraints.txt clang-format
	$(VENV)/bin/clang-format -i $(CPP_SOURCES)

pytest: install browser
	$(VPY) -m pytest -q -p no:cacheprovider

# The oldest supported stack: the same pytest run on CPython 3.8 (the C++ core tests do not
# depend on it). A machine without 3.8 skips it and says so.
$(OLDEST_VPY):
	$(PYTHON38) -m venv $(OLDEST_VENV)
	$(OLDEST_VPY) -m pip install -q --upgrade pip

install-oldest: $(OLDEST_VPY)
	$(OLDEST_VPY) -m pip install -q -c constraints-oldest.txt scikit-build-core pybind11 ninja cmake
	$(OLDEST_VPY) -m pip install -q -c constraints-oldest.txt --no-build-isolation '.[test,dask]'

pytest-oldest: browser
ifeq ($(strip $(PYTHON38)),)
	@echo "CPython 3.8 not found: the oldest supported stack is not tested"
else
	@echo "== the oldest supported stack: $(PYTHON38), constraints-oldest.txt"
	$(MAKE) --no-print-directory install-oldest
	$(OLDEST_VPY) -m pytest -q -p no:cacheprovider
endif

# GoogleTest: from Debian's packages when missing and we may install them.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev) >/dev/null; \
	  else \
	    echo "GoogleTest is missing: install Debian's libgtest-dev"; exit 1; \
	  fi; \
	fi

# Chromium and its driver, for the tests that open the reports in a browser: from Debian's
# packages when missing and we may install them (elsewhere those tests skip and say so).
browser:
	@if ! command -v chromium >/dev/null || ! command -v chromedriver >/dev/null; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium chromium-driver) >/dev/null; \
	  else \
	    echo "Chromium is missing: install Debian's chromium and chromium-driver (the browser tests skip without them)"; \
	  fi; \
	fi

cpp-test: gtest $(VPY)
	$(VPY) -m pip install -q -c constraints.txt ninja cmake
	cmake -S . -B build/cpp-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF >/dev/null
	cmake --build build/cpp-test -j $(JOBS)
	build/cpp-test/movra_core_tests --gtest_brief=1

cpp-sanitize: gtest $(VPY)
	$(VPY) -m pip install -q -c constraints.txt ninja cmake
	cmake -S . -B build/cpp-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF -DMOVRA_SANITIZE=ON >/dev/null
	cmake --build build/cpp-sanitize -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  build/cpp-sanitize/movra_core_tests --gtest_brief=1

bench: install
	for b in benchmarks/bench_*.py; do echo "== $$b"; $(VPY) $$b || exit 1; done

clean:
	rm -rf build out

# The README's commands. Each sets up what it needs itself: a virtual environment in .venv with
# the package installed, and GoogleTest from Debian's packages for the C++ tests.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
JOBS ?= 2

.PHONY: demo test install cpp-test cpp-sanitize pytest bench gtest clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

install: $(VPY)
	$(VPY) -m pip install -q -c constraints.txt scikit-build-core pybind11 ninja cmake
	$(VPY) -m pip install -q -c constraints.txt --no-build-isolation '.[test]'

demo: install
	$(VPY) examples/demo.py

test: install cpp-test cpp-sanitize pytest

pytest: install
	$(VPY) -m pytest -q -p no:cacheprovider

# GoogleTest: from Debian's packages when missing and we may install them.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev) >/dev/null; \
	  else \
	    echo "GoogleTest is missing: install Debian's libgtest-dev"; exit 1; \
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

# Every target runs inside tools/dev (CPython 3.14, NumPy 2, GoogleTest, g++, CMake, Ninja).
DEV := tools/dev
JOBS ?= $(shell nproc)
PYTEST_ARGS ?=
# BUILD names the build directory under build/; any other than release keeps its module
# in a package of its own (build/NAME/python), so several builds can run side by side.
BUILD ?= release
BDIR := build/$(BUILD)
ifeq ($(BUILD),release)
OWN :=
PKGENV :=
PKGPATH := $$PWD
else
OWN := -DCORVANTILE_OWN_PACKAGE=ON
PKGENV := CORVANTILE_PKG_ROOT=$$PWD/$(BDIR)/python
PKGPATH := $$PWD/$(BDIR)/python
endif

.PHONY: build test asan wheel demo bench leaks clean

build:
	$(DEV) sh -c 'cmake -S . -B $(BDIR) -G Ninja -DCMAKE_BUILD_TYPE=Release $(OWN) >/dev/null && cmake --build $(BDIR) -j $(JOBS)'

test:
	$(DEV) sh -c 'set -e; \
	  cmake -S . -B $(BDIR) -G Ninja -DCMAKE_BUILD_TYPE=Release $(OWN) >/dev/null; \
	  cmake --build $(BDIR) -j $(JOBS); \
	  ctest --test-dir $(BDIR) --output-on-failure -j $(JOBS); \
	  $(PKGENV) python3 -m pytest $(PYTEST_ARGS)'

asan:
	$(DEV) sh -c 'set -e; \
	  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTILE_SANITIZE=ON >/dev/null; \
	  cmake --build build/asan -j $(JOBS); \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS); \
	  CORVANTILE_PKG_ROOT=$$PWD/build/asan/python \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  python3 -m pytest $(PYTEST_ARGS)'

wheel:
	$(DEV) sh -c 'set -e; rm -rf build/wheel build/venv; \
	  python3 -m pip wheel --no-build-isolation --no-index --no-deps -w build/wheel . ; \
	  python3 -m venv --system-site-packages build/venv; \
	  build/venv/bin/pip install --no-index --no-deps build/wheel/corvantile-*.whl; \
	  cd build && venv/bin/python -c "import corvantile, corvantile._core as c; print(\"wheel ok:\", c.__name__, corvantile.__file__)"'

demo: build
	$(DEV) sh -c 'PYTHONPATH=$(PKGPATH) python3 examples/quickstart.py'

bench: build
	$(DEV) sh -c '$(PKGENV) CORVANTILE_BENCH_FLOOR=$$PWD/$(BDIR)/bench/libbench_floor.so python3 benchmarks/run.py $(BENCH_ARGS)'

# Reference and memory leak hunt: many runs of each call, then counts and memory compared.
leaks: build
	$(DEV) sh -c '$(PKGENV) python3 benchmarks/leaks.py $(LEAKS_ARGS)'


clean:
	rm -rf build corvantile/*.so

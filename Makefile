# Every target runs inside tools/dev (CPython 3.14, NumPy 2, GoogleTest, g++, CMake, Ninja).
DEV := tools/dev
JOBS ?= $(shell nproc)
PYTEST_ARGS ?=

.PHONY: build test asan wheel demo bench clean

build:
	$(DEV) sh -c 'cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build build/release -j $(JOBS)'

test:
	$(DEV) sh -c 'set -e; \
	  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null; \
	  cmake --build build/release -j $(JOBS); \
	  ctest --test-dir build/release --output-on-failure -j $(JOBS); \
	  python3 -m pytest $(PYTEST_ARGS)'

asan:
	$(DEV) sh -c 'set -e; \
	  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTILE_SANITIZE=ON >/dev/null; \
	  cmake --build build/asan -j $(JOBS); \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS); \
	  CORVANTILE_PKG_ROOT=$$PWD/build/asan/python \
	  LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	  python3 -m pytest $(PYTEST_ARGS)'

wheel:
	$(DEV) sh -c 'set -e; rm -rf build/wheel build/venv; \
	  python3 -m pip wheel --no-build-isolation --no-index --no-deps -w build/wheel . ; \
	  python3 -m venv --system-site-packages build/venv; \
	  build/venv/bin/pip install --no-index --no-deps build/wheel/corvantile-*.whl; \
	  cd build && venv/bin/python -c "import corvantile, corvantile._core as c; print(\"wheel ok:\", c.__name__, corvantile.__file__)"'

demo: build
	$(DEV) python3 examples/quickstart.py

bench: build
	$(DEV) python3 benchmarks/run.py

clean:
	rm -rf build corvantile/*.so

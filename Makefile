# The front door: installs whatever this Debian 12 machine is missing, then
# hands over to CMake and CTest. Everything else lives in CMakeLists.txt.

PACKAGES := cmake g++ clang libclang-rt-14-dev googletest libgtest-dev \
            g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
            binutils-mingw-w64-x86-64 wine64 python3

PYTHON_DIR ?=
FIRSTRUN ?= sample/firstrun.py
VERSION = $$(cat build/windows/version.txt)

.PHONY: all deps build demo dist bench test test-native test-windows clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' \
	        || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -q && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	fi

build: deps
	cmake --preset windows
	cmake --build --preset windows --target Harbor-Lantern
	@echo "built build/windows/Harbor-Lantern.exe"

# Packs the launcher with the test stand-in as python.exe and the sample
# firstrun.py, unpacks it and starts it under Wine.
demo: deps
	cmake --preset windows
	cmake --build --preset windows --target Harbor-Lantern stand_in_python
	python3 tools/demo.py --build build/windows

dist: build
	python3 tools/package.py --exe build/windows/Harbor-Lantern.exe \
	    --version "$(VERSION)" --python-dir "$(PYTHON_DIR)" --firstrun "$(FIRSTRUN)" \
	    --out "dist/Harbor-Lantern-$(VERSION)-win64.zip"

bench: deps
	cmake --preset windows
	cmake --build --preset windows --target Harbor-Lantern stand_in_python bench
	python3 tools/bench.py --build build/windows

test-native: deps
	cmake --preset native
	cmake --build --preset native
	ctest --preset native

test-windows: deps
	cmake --preset windows
	cmake --build --preset windows
	ctest --preset windows

test: test-native test-windows

clean:
	rm -rf build dist

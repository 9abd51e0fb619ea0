# The front door: installs whatever this Debian 12 machine is missing, then
# hands over to CMake and CTest. Everything else lives in CMakeLists.txt.

PACKAGES := cmake g++ clang libclang-rt-14-dev googletest libgtest-dev \
            g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
            binutils-mingw-w64-x86-64 wine64 python3

.PHONY: all deps build test test-native test-windows clean

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

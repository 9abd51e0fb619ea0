# The front door: installs whatever this Debian 12 machine is missing, then
# hands over to CMake and CTest. Everything else lives in CMakeLists.txt.

PACKAGES := cmake g++ clang libclang-rt-14-dev googletest libgtest-dev \
            g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
            binutils-mingw-w64-x86-64 wine64 python3 python3-pip \
            python3-setuptools python3-wheel osslsigncode openssl

# Debian's own Python and pip pack the zips: the wheels they pick for
# Windows do not depend on whichever Python comes first on PATH.
PYTHON := /usr/bin/python3
LAUNCHER_VERSION = $$(cat build/windows/version.txt)

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
	$(PYTHON) tools/demo.py --build build/windows

# The inputs are described in the README; an empty one is not given.
dist: build
	$(PYTHON) tools/package.py --launcher-x64 build/windows/Harbor-Lantern.exe \
	    --launcher-version "$(LAUNCHER_VERSION)" --out-dir dist \
	    --python-dir="$(PYTHON_DIR)" --python-zip="$(PYTHON_ZIP)" \
	    --firstrun="$(FIRSTRUN)" --app-dir="$(APP_DIR)" \
	    --requirements="$(REQUIREMENTS)" --wheels="$(WHEELS)" \
	    --name="$(NAME)" --version="$(VERSION)" --icon="$(ICON)" \
	    --sign-cert="$(SIGN_CERT)" --sign-key="$(SIGN_KEY)" \
	    --sign-pkcs12="$(SIGN_PKCS12)" --sign-password-file="$(SIGN_PASSWORD_FILE)" \
	    --sign-timestamp-url="$(SIGN_TIMESTAMP_URL)"

bench: deps
	cmake --preset windows
	cmake --build --preset windows --target Harbor-Lantern stand_in_python bench
	$(PYTHON) tools/bench.py --build build/windows

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

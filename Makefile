# The front door: installs whatever this Debian 12 machine is missing, then
# hands over to CMake and CTest. Everything else lives in CMakeLists.txt.

PACKAGES := cmake g++ clang libclang-rt-14-dev googletest libgtest-dev \
            g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
            binutils-mingw-w64-x86-64 wine64 python3 python3-pip \
            python3-setuptools python3-wheel python3-venv python3-pefile osslsigncode openssl \
            clang-14 lld-14 lld llvm-14
# Windows' dialogs under Wine need a display: Xvfb, driven by xdotool.
PACKAGES += xvfb xdotool
# The readers the zips are checked with: libarchive (what Windows 11's
# Explorer extracts with), Info-ZIP and 7-Zip.
PACKAGES += libarchive-tools unzip p7zip-full
# Other x86-64 CPUs, emulated: the zip's bytes must not depend on the CPU.
PACKAGES += qemu-user-static
# The MSI builder (wixl) and its tools, for pack --msi.
PACKAGES += wixl msitools
# For the release's checks (make release-check).
PACKAGES += curl ca-certificates
# A real PKCS#11 token for the signing tests, and the engine osslsigncode
# signs through.
PACKAGES += softhsm2 opensc libengine-pkcs11-openssl
# Only for running ARM64 programs under emulation (make test-arm64).
ARM64_PACKAGES := qemu-user-static binfmt-support debootstrap

# Debian's own Python runs the packer, whichever Python comes first on PATH.
PYTHON := /usr/bin/python3
# The packer's run-time dependencies, at the versions the tests pin: fetched
# once from the package index into build/wheelhouse and installed beside the
# checkout's packer in build/pydeps, where the uv package finds its own binary.
PYDEPS_PINS := uv==0.13.13 packaging==26.4 zlib-ng==1.1.0 deflate==0.9.0 pathspec==1.1.1 validate-pyproject==0.27
WHEELHOUSE := build/wheelhouse
PYDEPS := build/pydeps
PYDEPS_STAMP := $(PYDEPS)/.pins-$(shell echo $(PYDEPS_PINS) | md5sum | cut -c1-12)

.PHONY: all deps pydeps release-check build package wheel demo dist bench bench-pack test test-native test-windows test-arm64-build test-wheel \
        arm64-root test-arm64 clean

all: build

# Installs those of the packages named in $(1) that this machine is missing.
define install_missing
	@missing=""; \
	for p in $(1); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' \
	        || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -q && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

pydeps: deps
	@test -f $(PYDEPS_STAMP) || { \
	    $(PYTHON) -m pip download -q --disable-pip-version-check --only-binary=:all: \
	        -d $(WHEELHOUSE) $(PYDEPS_PINS) && \
	    rm -rf $(PYDEPS) && \
	    $(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-index \
	        --find-links $(WHEELHOUSE) --target $(PYDEPS) $(PYDEPS_PINS) && \
	    touch $(PYDEPS_STAMP); }

build: deps
	cmake --preset windows
	cmake --build --preset windows --target Harbor-Lantern Harbor-Lantern-windowed Harbor-Lantern-tool
	cmake --preset windows-arm64
	cmake --build --preset windows-arm64 --target Harbor-Lantern Harbor-Lantern-windowed Harbor-Lantern-tool
	@echo "built build/windows/Harbor-Lantern.exe (x64, for x64 runtimes)"
	@echo "built build/windows-arm64/Harbor-Lantern.exe (ARM64, for ARM64 runtimes)"

# Packs the sample firstrun.py on python.org's CPython 3.13.2 (fetched once
# from the package index; without it, the test stand-in), unpacks it and
# starts it under Wine.
demo: deps pydeps
	cmake --preset windows
	cmake --build --preset windows --target Harbor-Lantern stand_in_python
	$(PYTHON) tools/demo.py --build build/windows

# The harbor_lantern package with the launchers of this commit in it: what
# the wheel holds, and what make dist runs from.
PACKAGE_DIR := build/package
package: build pydeps
	$(PYTHON) tools/stage_package.py $(PACKAGE_DIR) \
	    --launcher x64/console.exe=build/windows/Harbor-Lantern.exe \
	    --launcher arm64/console.exe=build/windows-arm64/Harbor-Lantern.exe \
	    --launcher x64/windowed.exe=build/windows/Harbor-Lantern-windowed.exe \
	    --launcher arm64/windowed.exe=build/windows-arm64/Harbor-Lantern-windowed.exe \
	    --launcher x64/tool.exe=build/windows/Harbor-Lantern-tool.exe \
	    --launcher arm64/tool.exe=build/windows-arm64/Harbor-Lantern-tool.exe

# Debian's pip and setuptools build it offline; the commit's time stamps
# every entry, so two clones give the same bytes.
wheel: package
	rm -rf $(PACKAGE_DIR)/build $(PACKAGE_DIR)/src/*.egg-info
	SOURCE_DATE_EPOCH=$$(git log -1 --format=%ct 2>/dev/null || echo 315532800) \
	    $(PYTHON) -m pip wheel --no-build-isolation --no-deps --no-index \
	    --disable-pip-version-check -q -w dist $(PACKAGE_DIR)
	@ls dist/harbor_lantern-*.whl

# What a release checks before it publishes (tools/release-check.py), as the
# release workflow runs it; TAG=vX.Y.Z checks the tag against the version.
# actionlint is built from the Go module proxy: its package on the Python
# index fetches the binary from GitHub when installed. Without a Go, the
# Go toolchain comes from the same proxy.
ACTIONLINT_VERSION := v1.7.12
GO_VERSION := 1.26.8
RELEASE_TOOLS := build/release-tools
$(RELEASE_TOOLS)/actionlint:
	@go=$$(command -v go || ls /usr/local/go/bin/go 2>/dev/null); \
	if [ -z "$$go" ]; then \
	    mkdir -p build && curl -sSfL -o build/go.zip \
	        https://proxy.golang.org/golang.org/toolchain/@v/v0.0.1-go$(GO_VERSION).linux-$$(dpkg --print-architecture).zip && \
	    rm -rf build/go && unzip -q build/go.zip -d build/go && \
	    go=$$(ls -d $(CURDIR)/build/go/golang.org/toolchain@*/bin/go); \
	fi; \
	GOBIN=$(CURDIR)/$(RELEASE_TOOLS) GOFLAGS=-mod=mod \
	    $$go install github.com/rhysd/actionlint/cmd/actionlint@$(ACTIONLINT_VERSION)

release-check: wheel $(RELEASE_TOOLS)/actionlint
	$(PYTHON) tools/release-check.py $(if $(TAG),--tag $(TAG))

# harbor-lantern pack from the checkout; the inputs are described in the
# README, and an empty one is not given.
dist: package
	PYTHONPATH=$(PACKAGE_DIR)/src:$(PYDEPS) $(PYTHON) -m harbor_lantern pack "$(APP_DIR)" \
	    --firstrun="$(FIRSTRUN)" --python-zip="$(PYTHON_ZIP)" \
	    --python-dir="$(PYTHON_DIR)" --python="$(PYTHON_VERSION)" --arch="$(ARCH)" \
	    $(if $(WINDOWED),--windowed) $(if $(CONSOLE_TOOL),--console-tool) \
	    $(if $(TKINTER),--tkinter) --tkinter-from="$(TKINTER_FROM)" \
	    $(if $(BYTECODE),--bytecode=$(BYTECODE)) $(if $(COMPRESSION),--compression=$(COMPRESSION)) \
	    --requirements="$(REQUIREMENTS)" --wheels="$(WHEELS)" --index-url="$(INDEX_URL)" \
	    --name="$(NAME)" --app-version="$(VERSION)" --icon="$(ICON)" \
	    --sign-cert="$(SIGN_CERT)" --sign-key="$(SIGN_KEY)" \
	    --sign-pkcs12="$(SIGN_PKCS12)" --sign-password-file="$(SIGN_PASSWORD_FILE)" \
	    --sign-pkcs11-module="$(SIGN_PKCS11_MODULE)" --sign-pin-file="$(SIGN_PIN_FILE)" \
	    --sign-command="$(SIGN_COMMAND)" \
	    --sign-timestamp-url="$(SIGN_TIMESTAMP_URL)" --out dist

# Not a test: a branded pack of the real runtime against zipfile's floor, and
# more (tools/bench-pack.py); PARTS="big-app real-files" runs only those.
bench-pack: package
	PYTHONPATH=$(PACKAGE_DIR)/src:$(PYDEPS) $(PYTHON) tools/bench-pack.py $(PARTS)

bench: deps
	cmake --preset windows
	cmake --build --preset windows --target Harbor-Lantern stand_in_python bench
	$(PYTHON) tools/bench.py --build build/windows

test-native: deps
	cmake --preset native
	cmake --build --preset native
	ctest --preset native

test-windows: deps pydeps
	cmake --preset windows
	cmake --build --preset windows
	ctest --preset windows

# The ARM64 build read back; its behaviour is tested under emulation below.
test-arm64-build: deps
	cmake --preset windows-arm64
	cmake --build --preset windows-arm64
	ctest --preset windows-arm64

# The wheel installed into a fresh venv and run from there alone.
test-wheel: wheel
	HL_WHEEL=$$(ls dist/harbor_lantern-*.whl) HL_WHEELHOUSE=$(WHEELHOUSE) \
	    HL_REAL_RUNTIME=$$(sed -n 's/^HL_REAL_RUNTIME:FILEPATH=//p' build/windows/CMakeCache.txt) \
	    $(PYTHON) tests/test_wheel.py -v

test: test-native test-windows test-arm64-build test-wheel

ARM64_ROOT := build/arm64-root

arm64-root: deps
	$(call install_missing,$(ARM64_PACKAGES))
	sh tools/arm64-root.sh setup $(ARM64_ROOT)

test-arm64: arm64-root
	cmake --preset windows-arm64
	cmake --build --preset windows-arm64
	sh tests/e2e/run-arm64.sh $(ARM64_ROOT) build/windows-arm64

# Never remove the build folder through a mount of the ARM64 root.
clean:
	if [ -d $(ARM64_ROOT) ]; then sh tools/arm64-root.sh unmount $(ARM64_ROOT); fi
	rm -rf build dist

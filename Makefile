# make        build the three programs into build/bin/
# make test   run every test (native and under Wine)
# make demo   the setup program under Wine and Xvfb against a simulated bootloader
# make windows-kit   the Windows test programs and their runner, for a Windows VM (build/windows-kit)
# make release REDIST=<dir>   the release programs from Microsoft's co-installers in <dir>/x86
#             and <dir>/amd64, into dist/ with SHA256SUMS (SIGN_PFX=<pfx> SIGN_PASS=... signs them)
# Each target installs the Debian packages it needs, once.
BUILD   := build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release

.PHONY: all programs build-all test demo release clean deps-build deps-test deps-demo deps-release native windows-kit

# Each entry point installs what it needs before anything else runs, also under make -j.
all: deps-build
	$(MAKE) --no-print-directory programs

# Explicit rules: make searches no pattern rule for a phony target.
deps-build deps-test deps-demo deps-release:
	@scripts/ensure-deps.sh $(patsubst deps-%,%,$@)

# Each tree is configured once, with what it builds fixed (the table in CMakeLists.txt).
$(BUILD)/x64/CMakeCache.txt:
	cmake -S . -B $(BUILD)/x64 -DVESK_TREE=x64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-mingw.cmake $(CMAKE_FLAGS)
$(BUILD)/x86/CMakeCache.txt:
	cmake -S . -B $(BUILD)/x86 -DVESK_TREE=x86 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake \
	  -DVESK_INSTALLER_X64=$(abspath $(BUILD)/x64/bin/installer_x64.exe) $(CMAKE_FLAGS)
$(BUILD)/x64-setup/CMakeCache.txt:
	cmake -S . -B $(BUILD)/x64-setup -DVESK_TREE=x64-setup -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-mingw.cmake \
	  -DVESK_INSTALLER_X86=$(abspath $(BUILD)/x86/bin/installer_x86.exe) $(CMAKE_FLAGS)
$(BUILD)/native/CMakeCache.txt:
	cmake -S . -B $(BUILD)/native -DVESK_TREE=native -DCMAKE_BUILD_TYPE=Debug

# The 64-bit installer (and co-installer stand-ins) first: the setup program carries them.
programs: $(BUILD)/x64/CMakeCache.txt $(BUILD)/x86/CMakeCache.txt
	cmake --build $(BUILD)/x64 -j $(JOBS) --target installer_x64 vesk_standins
	cmake --build $(BUILD)/x86 -j $(JOBS) --target installer_x86 Morvane-Windows-Driver-Setup
	@mkdir -p $(BUILD)/bin
	cp $(BUILD)/x86/bin/Morvane-Windows-Driver-Setup.exe $(BUILD)/x86/bin/installer_x86.exe \
	   $(BUILD)/x64/bin/installer_x64.exe $(BUILD)/bin/
	@echo "Programs in $(BUILD)/bin/"

# On a machine whose kernel cannot run 32-bit programs, Wine cannot run the x86 tree: the tree
# x64-setup then builds a 64-bit setup program and the setup side's tests from the x86 tree's
# installer_x86 (so it comes after the x86 tree). Asked on every run: `make` may come before the
# test packages are installed. No tree is reconfigured for it.
NO_32BIT = $(shell tests/wine/can-run-32.sh || echo yes)
build-all: programs $(BUILD)/native/CMakeCache.txt
	cmake --build $(BUILD)/x86 -j $(JOBS)
	cmake --build $(BUILD)/x64 -j $(JOBS)
	$(if $(NO_32BIT),$(MAKE) --no-print-directory $(BUILD)/x64-setup/CMakeCache.txt && cmake --build $(BUILD)/x64-setup -j $(JOBS))
	cmake --build $(BUILD)/native -j $(JOBS)

test: deps-test
	$(MAKE) --no-print-directory build-all
	scripts/run-tests.sh $(BUILD)

# The Windows test programs of both trees with run-tests.cmd and a README, for a Windows VM
# (build/windows-kit/ and build/windows-kit.zip).
windows-kit: deps-test
	$(MAKE) --no-print-directory build-all
	scripts/windows-kit.py $(BUILD) $(BUILD)/windows-kit

demo: deps-demo
	$(MAKE) --no-print-directory build-all
	scripts/demo.sh $(BUILD)

# Its own trees, never the test build's: nothing of a test build can end up in a release.
RELEASE_BUILD ?= build-release
DIST ?= dist
export SIGN_PFX SIGN_PASS SIGN_TIMESTAMP REDIST_CA
release: deps-release
	scripts/build-release.sh "$(REDIST)" $(RELEASE_BUILD) $(DIST)

clean:
	rm -rf $(BUILD) $(RELEASE_BUILD)

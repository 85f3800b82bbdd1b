# ZRACleanupUtility: build, test and demo.
#
#   make           build the 32-bit ZRACleanupUtility.exe (build/win32)
#   make test      install what is missing, build, run every test under Wine
#   make demo      clean up a simulated agent installation in a sandbox prefix
#   make bench     run the benchmarks
#
# The product is the 32-bit build, and the tests run it: natively, or through
# qemu-i386 user emulation where the kernel has no 32-bit user mode (set up
# by tools/setup-emulation.sh). Only where neither works do the tests run a
# 64-bit build of the same sources in build/win64, and say so.

JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build build64 test demo bench clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build build/win32 -j $(JOBS)

build64: deps
	cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build build/win64 -j $(JOBS)

test: build
	@tools/run-tests.sh

demo: build
	@tools/demo.sh

bench: build
	@tools/run-bench.sh

clean:
	rm -rf build

# Entry points of the project. Every target first runs the bootstrap, which
# installs what is missing and is quick when everything is in place.
#
#   make run     set up, build the UEFI image and the host programs, and run
#                the main job on the simulated platform
#   make test    set up, build, and run every test
#   make bench   set up, build, and run the benchmarks
#   make image   set up and build build/Quandrel520Gop.efi and .rom only

BUILD  ?= build
CMAKE  ?= cmake
CTEST  ?= ctest
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: setup configure build image run test bench clean

setup:
	@Tools/bootstrap.sh >/dev/null

configure: setup
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DEDK2_PATH="$$(cat $(BUILD)/.edk2-path)" >/dev/null

build: configure
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

image: configure
	@$(CMAKE) --build $(BUILD) --target Quandrel520Gop Quandrel520GopRom

run: build
	@$(BUILD)/Tools/qd520-run --output $(BUILD)/run

test: build
	@$(CTEST) --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: build
	@$(BUILD)/Benchmarks/qd520-bench

clean:
	rm -rf $(BUILD)

# Entry points of the project. Every target first runs the bootstrap, which
# installs what is missing and is quick when everything is in place.
#
#   make run     set up, build the UEFI image and the host programs, and run
#                the main job on the simulated platform
#   make test    set up, build, and run every test: the whole suite, then the
#                host suite again built with AddressSanitizer and
#                UndefinedBehaviorSanitizer (with a bounded fuzzing pass)
#   make fuzz    set up, build, and fuzz the graphics output protocol until
#                stopped (FUZZ_ARGS adds libFuzzer options, e.g.
#                FUZZ_ARGS=-max_total_time=3600)
#   make bench   set up, build, and run the benchmarks
#   make image   set up and build build/Quandrel520Gop.efi and .rom and the
#                production build/production/Quandrel520Gop.efi and .rom only
#   make qemu [ROM=...]
#                set up, build, and boot OVMF on the emulated QD520 with the
#                option ROM (default build/Quandrel520Gop.rom): the screen on
#                VNC and in a viewer's window where there is a display, the
#                serial port on the terminal; Ctrl-C stops it
#   make sign KEY=signer.key CERT=signer.pem [CHAIN=intermediates.pem]
#             [PASSIN=pass:...|env:VAR|file:PATH]
#                set up and build build/Quandrel520Gop.signed.efi (and the
#                signed AArch64 and RISC-V 64 images) and .signed.rom,
#                each image signed with that pair, the intermediate CA
#                certificates of CHAIN embedded (kept for later builds);
#                without KEY and CERT: Debian's snakeoil TEST pair, as the
#                default build uses

BUILD  ?= build
SANITIZE_BUILD ?= build-sanitize
CMAKE  ?= cmake
CTEST  ?= ctest
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: setup configure build sanitize-configure sanitize-build image sign run qemu test fuzz bench clean

setup:
	@Tools/bootstrap.sh >/dev/null

configure: setup
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DEDK2_PATH="$$(cat $(BUILD)/.edk2-path)" \
	  -DEDK2_CURRENT_PATH="$$(cat $(BUILD)/.edk2-current-path)" >/dev/null

build: configure
	@Tools/step.sh $(BUILD)/logs/build.log "build: the UEFI images and the host programs" \
	  $(CMAKE) --build $(BUILD) -j $(JOBS)

sanitize-configure: setup
	@$(CMAKE) -S . -B $(SANITIZE_BUILD) -G Ninja -DEDK2_PATH="$$(cat $(BUILD)/.edk2-path)" \
	  -DQD520_HOST_ONLY=ON -DQD520_SANITIZE=address,undefined -DQD520_FUZZ=ON >/dev/null

sanitize-build: sanitize-configure
	@Tools/step.sh $(SANITIZE_BUILD)/logs/build.log "build: the host programs with the sanitizers and the fuzzer" \
	  $(CMAKE) --build $(SANITIZE_BUILD) -j $(JOBS)

image: configure
	@$(CMAKE) --build $(BUILD) --target Quandrel520Gop Quandrel520GopRom Quandrel520Gop_production \
	  Quandrel520GopRom_production

sign: configure
	@$(CMAKE) -S . -B $(BUILD) -DQD520_SIGN_KEY="$(if $(KEY),$(abspath $(KEY)))" \
	  -DQD520_SIGN_CERT="$(if $(CERT),$(abspath $(CERT)))" -DQD520_SIGN_CHAIN="$(if $(CHAIN),$(abspath $(CHAIN)))" \
	  -DQD520_SIGN_PASSIN="$(PASSIN)" >/dev/null
	@$(CMAKE) --build $(BUILD) --target Quandrel520GopSigned

run: build
	@$(BUILD)/Tools/qd520-run --output $(BUILD)/run

qemu: image
	@Tools/qemu-look.sh $(if $(ROM),$(abspath $(ROM)))

test: build sanitize-build
	@$(CTEST) --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@$(CTEST) --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)
	@if [ -f $(BUILD)/ovmf/unavailable ]; then echo "qd520_end_to_end_secure_boot skipped: $$(cat $(BUILD)/ovmf/unavailable)"; fi

fuzz: sanitize-build
	@Fuzz/run-fuzzer.sh $(SANITIZE_BUILD) $(FUZZ_ARGS)

bench: build
	@$(BUILD)/Benchmarks/qd520-bench

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)

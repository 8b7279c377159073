# Entry points of the project. Every target first runs the bootstrap with
# the parts it uses (Tools/bootstrap.sh: each part sets up once what it
# stands for and says so in one line; a part in place only checks).
#
#   make run     set up the packages and the kit, build the main job, and
#                run it on the simulated platform
#   make test    set up everything, build, and run every test: the whole
#                suite (host tests, kit builds, firmware boots, the UEFI SCT,
#                boot loaders and Linux), then the host suite again built
#                with AddressSanitizer and UndefinedBehaviorSanitizer (with a
#                bounded fuzzing pass)
#   make sct-full
#                the UEFI SCT's exhaustive graphics output stress tests on the
#                QD520 in firmware (7 to 10 minutes; not part of make test)
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

# The parts of Tools/bootstrap.sh each target sets up (with the parts they
# need); a target's value holds for everything it depends on.
PARTS  = packages kit
test:     PARTS = packages kit current-kit basetools cross qemu ovmf riscv-firmware sbom-check sct bootdisk
image:    PARTS = packages kit current-kit
sign:     PARTS = packages kit current-kit
qemu:     PARTS = packages kit current-kit qemu
sct-full: PARTS = packages kit current-kit qemu sct-full

IMAGES = Quandrel520Gop Quandrel520GopRom Quandrel520Gop_production Quandrel520GopRom_production
# What the image target makes in build/ and in build/production/.
UNSIGNED = Quandrel520Gop.efi Quandrel520Gop.aarch64.efi Quandrel520Gop.riscv64.efi Quandrel520Gop.rom

.PHONY: setup configure build sanitize-configure sanitize-build image sign run qemu test sct-full fuzz bench clean

setup:
	@Tools/bootstrap.sh $(PARTS) >/dev/null

configure: setup
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DEDK2_PATH="$$(cat $(BUILD)/.edk2-path)" \
	  -DEDK2_CURRENT_PATH="$$(cat $(BUILD)/.edk2-current-path 2>/dev/null)" >/dev/null

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
	@Tools/step.sh $(BUILD)/logs/build.log "build: the debug and production images and ROMs" \
	  $(CMAKE) --build $(BUILD) -j $(JOBS) --target $(IMAGES)
	@cd $(BUILD) && stat -c '  %n: %s bytes' $(UNSIGNED) $(addprefix production/,$(UNSIGNED))

sign: configure
	@$(CMAKE) -S . -B $(BUILD) -DQD520_SIGN_KEY="$(if $(KEY),$(abspath $(KEY)))" \
	  -DQD520_SIGN_CERT="$(if $(CERT),$(abspath $(CERT)))" -DQD520_SIGN_CHAIN="$(if $(CHAIN),$(abspath $(CHAIN)))" \
	  -DQD520_SIGN_PASSIN="$(PASSIN)" >/dev/null
	@Tools/step.sh $(BUILD)/logs/build.log "build: the signed images and ROM" \
	  $(CMAKE) --build $(BUILD) -j $(JOBS) --target Quandrel520GopSigned
	@cd $(BUILD) && stat -c '  %n: %s bytes' Quandrel520Gop*.signed.efi Quandrel520Gop.signed.rom

run: configure
	@Tools/step.sh $(BUILD)/logs/build.log "build: the driver and the simulated platform, the main job" \
	  $(CMAKE) --build $(BUILD) -j $(JOBS) --target qd520-run
	@$(BUILD)/Tools/qd520-run --output $(BUILD)/run

qemu: image
	@Tools/qemu-look.sh $(if $(ROM),$(abspath $(ROM)))

test: build sanitize-build
	@$(CTEST) --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@$(CTEST) --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)
	@if [ -f $(BUILD)/ovmf/unavailable ]; then echo "qd520_end_to_end_secure_boot skipped: $$(cat $(BUILD)/ovmf/unavailable)"; fi

sct-full: configure
	@Tools/step.sh $(BUILD)/logs/build.log "build: the UEFI images" $(CMAKE) --build $(BUILD) -j $(JOBS) --target $(IMAGES)
	@$(CMAKE) --build $(BUILD) --target qd520-sct-full

fuzz: sanitize-build
	@Fuzz/run-fuzzer.sh $(SANITIZE_BUILD) $(FUZZ_ARGS)

bench: configure
	@Tools/step.sh $(BUILD)/logs/build.log "build: the benchmarks" $(CMAKE) --build $(BUILD) -j $(JOBS) --target qd520-bench
	@$(BUILD)/Benchmarks/qd520-bench

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)

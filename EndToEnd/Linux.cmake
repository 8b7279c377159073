# Boot loaders and Linux on the QD520 in firmware (Tools/qd520_linux.py):
# Debian's GRUB, systemd-boot and kernel, fetched and unpacked once by the
# bootstrap (Tools/build-bootdisk.sh) into build/bootdisk/, booted in
# Debian's OVMF under QEMU with the debug and the production ROM; what the
# kernel reports of the frame buffer checked against what the firmware
# assigned, and a picture drawn through /dev/fb0 against QEMU's screendump.
#
#   qd520-fb-picture     the initramfs's program that reads /dev/fb0 and
#                        draws the picture (static: the initramfs holds only
#                        busybox besides)
#   qd520_linux          ctest: eight boots, two at a time

add_executable(qd520-fb-picture Linux/qd520-fb-picture.c)
target_compile_options(qd520-fb-picture PRIVATE -O2 -Wall -Wextra -Werror)
target_link_options(qd520-fb-picture PRIVATE -static)

add_test(NAME qd520_linux
  COMMAND "${Python3_EXECUTABLE}" -B "${CMAKE_CURRENT_SOURCE_DIR}/Tools/qd520_linux.py"
          --qemu "${QD520_QEMU}"
          --rom "${OPTION_ROM}"
          --production-rom "${PRODUCTION_OPTION_ROM}"
          --bootdisk "${CMAKE_BINARY_DIR}/bootdisk"
          --fb-picture $<TARGET_FILE:qd520-fb-picture>
          --init "${CMAKE_CURRENT_SOURCE_DIR}/Linux/init"
          --jobs 2
          --output "${E2E_DIR}/linux")
set_tests_properties(qd520_linux PROPERTIES
  TIMEOUT 900
  PROCESSORS 2
  REQUIRED_FILES "${OPTION_ROM};${PRODUCTION_OPTION_ROM};${CMAKE_BINARY_DIR}/bootdisk/vmlinuz;${QD520_QEMU}"
  LABELS "end-to-end;linux")

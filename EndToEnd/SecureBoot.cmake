# End to end in firmware that enforces Secure Boot and W^X (Tools/build-ovmf.sh,
# built by the bootstrap into build/ovmf/): the signed ROM accepted and
# protected, the unsigned, changed and foreign-signed ROMs refused, two
# signed adapters, and the old 32-byte-section layout as a negative control
# (Tools/qd520_secure_boot.py).

set(SB_DIR "${E2E_DIR}/secure-boot")
set(OVMF_DIR "${CMAKE_BINARY_DIR}/ovmf")

# The image as it was linked before the sections moved to 4 KiB boundaries:
# the layout firmware cannot protect.
set(OLD_LAYOUT_IMAGE "${SB_DIR}/Quandrel520Gop.align32.efi")
set(_old_layout_flags ${UEFI_LINK_FLAGS})
list(TRANSFORM _old_layout_flags REPLACE "^/ALIGN:4096$" "/ALIGN:32")
add_custom_command(
  OUTPUT "${OLD_LAYOUT_IMAGE}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${SB_DIR}"
  COMMAND "${LLD_LINK}" ${_old_layout_flags} /OUT:${OLD_LAYOUT_IMAGE}
          $<TARGET_OBJECTS:qdl520_driver_target> $<TARGET_FILE:qd520_driver_entry_target>
          $<TARGET_FILE:qd520_kit_target>
  DEPENDS qdl520_driver_target qd520_kit_target qd520_driver_entry_target
          $<TARGET_OBJECTS:qdl520_driver_target>
  COMMAND_EXPAND_LISTS
  COMMENT "Linking the driver with 32-byte sections (the negative control of the W^X boot)")
qd520_sign("${OLD_LAYOUT_IMAGE}" "${SB_DIR}/Quandrel520Gop.align32.signed.efi"
           "${SB_DIR}/Quandrel520Gop.align32.signed.rom" Qd520OldLayoutSigned TEST_KEY ALL)

# The boots need the image signed with the test key, whose certificate is in
# the firmware's db: the build's own signed files, or a copy when the build
# signs with another key.
if(QD520_SIGNED_WITH_TEST_KEY)
  set(SB_SIGNED_EFI "${SIGNED_EFI_IMAGE}")
  set(SB_SIGNED_ROM "${SIGNED_OPTION_ROM}")
else()
  set(SB_SIGNED_EFI "${SB_DIR}/Quandrel520Gop.test-signed.efi")
  set(SB_SIGNED_ROM "${SB_DIR}/Quandrel520Gop.test-signed.rom")
  qd520_sign("${EFI_IMAGE}" "${SB_SIGNED_EFI}" "${SB_SIGNED_ROM}" Qd520TestSigned TEST_KEY ALL)
endif()

# The shell runs the console test application only when it is signed too.
set(SB_CONSOLE_TEST "${SB_DIR}/Qd520ConsoleTest.signed.efi")
qd520_sign("${CONSOLE_TEST_IMAGE}" "${SB_CONSOLE_TEST}" "" Qd520ConsoleTestSigned TEST_KEY ALL IMAGE_ONLY)

add_test(NAME qd520_end_to_end_secure_boot
  COMMAND "${Python3_EXECUTABLE}" -B "${CMAKE_CURRENT_SOURCE_DIR}/Tools/qd520_secure_boot.py"
          --qemu "${QD520_QEMU}"
          --ovmf-code "${OVMF_DIR}/OVMF_CODE.fd"
          --ovmf-vars "${OVMF_DIR}/OVMF_VARS.test-db.fd"
          --unavailable "${OVMF_DIR}/unavailable"
          --driver "${EFI_IMAGE}"
          --unsigned-rom "${OPTION_ROM}"
          --signed-efi "${SB_SIGNED_EFI}"
          --signed-rom "${SB_SIGNED_ROM}"
          --old-layout-efi "${SB_DIR}/Quandrel520Gop.align32.signed.efi"
          --old-layout-rom "${SB_DIR}/Quandrel520Gop.align32.signed.rom"
          --test-cert "${QD520_TEST_SIGN_CERT}"
          --efirom $<TARGET_FILE:efirom>
          --console-test "${SB_CONSOLE_TEST}"
          --edk2 "${EDK2_PATH}"
          --jobs 2
          --output "${SB_DIR}/run")
# The firmware files are not required: without them the test says why it
# skips (exit 77).
set_tests_properties(qd520_end_to_end_secure_boot PROPERTIES
  TIMEOUT 400
  PROCESSORS 2
  SKIP_RETURN_CODE 77
  REQUIRED_FILES "${EFI_IMAGE};${OPTION_ROM};${SB_SIGNED_ROM};${SB_CONSOLE_TEST};${QD520_QEMU}"
  LABELS "end-to-end")

# End to end in firmware that enforces Secure Boot and W^X (Tools/build-ovmf.sh,
# built by the bootstrap into build/ovmf/): the signed ROM accepted and
# protected, the unsigned, changed and foreign-signed ROMs refused, two
# signed adapters, and the old 32-byte-section layout as a negative control
# (Tools/qd520_secure_boot.py); and the ROM signed through a certificate
# chain against db and dbx made for each case (Tools/qd520_secure_boot_chain.py).

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
          ${QD520_KIT_ARCHIVES_X64}
  DEPENDS qdl520_driver_target ${QD520_KIT_ARCHIVE_TARGETS_X64} qd520_driver_entry_target
          $<TARGET_OBJECTS:qdl520_driver_target>
  COMMAND_EXPAND_LISTS
  COMMENT "Linking the driver with 32-byte sections (the negative control of the W^X boot)")
qd520_sign(Qd520OldLayoutSigned TEST_KEY ALL ROM "${SB_DIR}/Quandrel520Gop.align32.signed.rom"
           IMAGES "${OLD_LAYOUT_IMAGE}" "${SB_DIR}/Quandrel520Gop.align32.signed.efi")

# The boots need the image signed with the test key, whose certificate is in
# the firmware's db: the build's own signed files, or a copy when the build
# signs with another key.
if(QD520_SIGNED_WITH_TEST_KEY)
  set(SB_SIGNED_EFI "${SIGNED_EFI_IMAGE}")
  set(SB_SIGNED_ROM "${SIGNED_OPTION_ROM}")
else()
  set(SB_SIGNED_EFI "${SB_DIR}/Quandrel520Gop.test-signed.efi")
  set(SB_SIGNED_ROM "${SB_DIR}/Quandrel520Gop.test-signed.rom")
  set(_pairs)
  foreach(_image IN LISTS QD520_IMAGES)
    get_filename_component(_name "${_image}" NAME)
    string(REGEX REPLACE "\\.efi$" ".test-signed.efi" _name "${_name}")
    list(APPEND _pairs "${_image}" "${SB_DIR}/${_name}")
  endforeach()
  qd520_sign(Qd520TestSigned TEST_KEY ALL ROM "${SB_SIGNED_ROM}" IMAGES ${_pairs})
endif()

# The shell runs the console test application only when it is signed too.
set(SB_CONSOLE_TEST "${SB_DIR}/Qd520ConsoleTest.signed.efi")
qd520_sign(Qd520ConsoleTestSigned TEST_KEY ALL IMAGES "${CONSOLE_TEST_IMAGE}" "${SB_CONSOLE_TEST}")

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

# The chain matrix makes its certificates, ROMs (from the unsigned images of
# every architecture) and varstores itself.
add_test(NAME qd520_end_to_end_secure_boot_chain
  COMMAND "${Python3_EXECUTABLE}" -B "${CMAKE_CURRENT_SOURCE_DIR}/Tools/qd520_secure_boot_chain.py"
          --qemu "${QD520_QEMU}"
          --ovmf-code "${OVMF_DIR}/OVMF_CODE.fd"
          --ovmf-vars "${OVMF_DIR}/OVMF_VARS.test-db.fd"
          --unavailable "${OVMF_DIR}/unavailable"
          --images ${QD520_IMAGES}
          --efirom $<TARGET_FILE:efirom>
          --edk2 "${EDK2_PATH}"
          --jobs 2
          --output "${SB_DIR}/chain")
set_tests_properties(qd520_end_to_end_secure_boot_chain PROPERTIES
  TIMEOUT 400
  PROCESSORS 2
  SKIP_RETURN_CODE 77
  REQUIRED_FILES "${QD520_IMAGES};${QD520_QEMU}"
  LABELS "end-to-end")

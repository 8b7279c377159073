# The UEFI Self-Certification Test on the QD520 in firmware
# (Tools/qd520_sct.py): the SCT built once by the bootstrap
# (Tools/build-sct.sh) into build/sct/, run in Debian's OVMF under QEMU with
# the debug and the production ROM on the card, each with the firmware's
# consoles and with the driver alone; the .ekl logs read, failures fail,
# warnings listed against EndToEnd/Sct/known-warnings.txt.
#
#   qd520_sct            ctest: the graphics output tests of the UEFI and
#                        the IHV suite, and the IHV driver binding, component
#                        name (1 and 2), driver supported EFI version and
#                        device path tests; four runs, two at a time
#   qd520-sct-full       target (make sct-full): the exhaustive graphics
#                        output stress tests, isolated, both ROMs

# The SCT is built with the current kit; without one there is none to run.
if(NOT EDK2_CURRENT_PATH)
  return()
endif()

set(SCT_DIR "${CMAKE_BINARY_DIR}/sct")
set(SCT_TOOL "${CMAKE_CURRENT_SOURCE_DIR}/Tools/qd520_sct.py")
set(SCT_KNOWN_WARNINGS "${CMAKE_CURRENT_SOURCE_DIR}/Sct/known-warnings.txt")

add_test(NAME qd520_sct
  COMMAND "${Python3_EXECUTABLE}" -B "${SCT_TOOL}"
          --qemu "${QD520_QEMU}"
          --sct "${SCT_DIR}/standard/SCT"
          --rom "${OPTION_ROM}"
          --production-rom "${PRODUCTION_OPTION_ROM}"
          --known-warnings "${SCT_KNOWN_WARNINGS}"
          --jobs 2
          --output "${E2E_DIR}/sct")
set_tests_properties(qd520_sct PROPERTIES
  TIMEOUT 1500
  PROCESSORS 2
  REQUIRED_FILES "${OPTION_ROM};${PRODUCTION_OPTION_ROM};${SCT_DIR}/standard/SCT/Sct.efi;${QD520_QEMU}"
  LABELS "end-to-end;sct")

add_custom_target(qd520-sct-full
  COMMAND "${Python3_EXECUTABLE}" -B "${SCT_TOOL}" --full
          --qemu "${QD520_QEMU}"
          --sct "${SCT_DIR}/full/SCT"
          --rom "${OPTION_ROM}"
          --production-rom "${PRODUCTION_OPTION_ROM}"
          --known-warnings "${SCT_KNOWN_WARNINGS}"
          --jobs 2
          --timeout 1800
          --output "${E2E_DIR}/sct-full"
  USES_TERMINAL)

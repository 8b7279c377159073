# The signing script and the varstore tool (Tools/Tests): keys made by the
# tests, synthetic varstores.
if(NOT QD520_HOST_ONLY)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME qd520_signing_tools
    COMMAND "${Python3_EXECUTABLE}" -B -m unittest -v test_sign_image test_ovmf_varstore
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}/Tools/Tests")
  set_tests_properties(qd520_signing_tools PROPERTIES
    ENVIRONMENT "QD520_EFI_IMAGE=${EFI_IMAGE};QD520_EFIROM=$<TARGET_FILE:efirom>"
    REQUIRED_FILES "${EFI_IMAGE}"
    TIMEOUT 120)
endif()

# The images' SBOM (Tools/sbom.py): every image's .sbom section against the
# SPDX 2.3 schema in ../shared/schemas/ (validated by Debian's
# python3-jsonschema, hence the system's Python), what it names, the ROM
# command, and the generator on traces of its own.
if(NOT QD520_HOST_ONLY)
  find_program(SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT SYSTEM_PYTHON3)
    set(SYSTEM_PYTHON3 "${Python3_EXECUTABLE}")
  endif()
  get_filename_component(_schema "${CMAKE_SOURCE_DIR}/../shared/schemas/spdx-2.3-schema.json" ABSOLUTE)
  add_test(NAME qd520_sbom
    COMMAND "${SYSTEM_PYTHON3}" -B -m unittest -v test_sbom
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}/Tools/Tests")
  set_tests_properties(qd520_sbom PROPERTIES
    ENVIRONMENT "QD520_BUILD=${CMAKE_BINARY_DIR};QD520_SCHEMA=${_schema};QD520_TIANOCOMPRESS=${QD520_TIANOCOMPRESS}"
    REQUIRED_FILES "${OPTION_ROM};${PRODUCTION_OPTION_ROM}"
    TIMEOUT 120)
endif()

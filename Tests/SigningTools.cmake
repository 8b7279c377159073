# The signing script, the varstore tool and the ROM unpacker (Tools/Tests):
# keys and certificate chains made by the tests, synthetic varstores, the
# build's signed ROM.
if(NOT QD520_HOST_ONLY)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  set(_environment
    "QD520_EFI_IMAGE=${EFI_IMAGE}"
    "QD520_EFIROM=$<TARGET_FILE:efirom>"
    "QD520_SIGNED_OPTION_ROM=${SIGNED_OPTION_ROM}"
    "QD520_SIGNED_EFI_IMAGES=${SIGNED_EFI_IMAGE},${SIGNED_EFI_IMAGE_AARCH64},${SIGNED_EFI_IMAGE_RISCV64}"
    "QD520_TIANOCOMPRESS=${QD520_TIANOCOMPRESS}")
  add_test(NAME qd520_signing_tools
    COMMAND "${Python3_EXECUTABLE}" -B -m unittest -v test_sign_image test_ovmf_varstore test_unpack_rom
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}/Tools/Tests")
  set_tests_properties(qd520_signing_tools PROPERTIES
    ENVIRONMENT "${_environment}"
    REQUIRED_FILES "${EFI_IMAGE};${SIGNED_OPTION_ROM}"
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

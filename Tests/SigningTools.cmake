# The signing script, the varstore tool and the ROM unpacker (Tools/Tests):
# keys and certificate chains made by the tests, synthetic varstores, the
# build's signed ROM.
if(NOT QD520_HOST_ONLY)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  # The kit's TianoCompress, beside the GenFw the image build uses.
  get_filename_component(_tianocompress "${QD520_GENFW}" DIRECTORY)
  set(_tianocompress "${_tianocompress}/TianoCompress")
  set(_environment
    "QD520_EFI_IMAGE=${EFI_IMAGE}"
    "QD520_EFIROM=$<TARGET_FILE:efirom>"
    "QD520_SIGNED_OPTION_ROM=${SIGNED_OPTION_ROM}"
    "QD520_SIGNED_EFI_IMAGES=${SIGNED_EFI_IMAGE},${SIGNED_EFI_IMAGE_AARCH64},${SIGNED_EFI_IMAGE_RISCV64}"
    "QD520_TIANOCOMPRESS=${_tianocompress}")
  add_test(NAME qd520_signing_tools
    COMMAND "${Python3_EXECUTABLE}" -B -m unittest discover -s "${CMAKE_SOURCE_DIR}/Tools/Tests" -p "test_*.py" -v)
  set_tests_properties(qd520_signing_tools PROPERTIES
    ENVIRONMENT "${_environment}"
    REQUIRED_FILES "${EFI_IMAGE};${SIGNED_OPTION_ROM}"
    TIMEOUT 120)
endif()

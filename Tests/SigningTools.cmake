# The signing script and the varstore tool (Tools/Tests): keys made by the
# tests, synthetic varstores.
if(NOT QD520_HOST_ONLY)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME qd520_signing_tools
    COMMAND "${Python3_EXECUTABLE}" -B -m unittest discover -s "${CMAKE_SOURCE_DIR}/Tools/Tests" -p "test_*.py" -v)
  set_tests_properties(qd520_signing_tools PROPERTIES
    ENVIRONMENT "QD520_EFI_IMAGE=${EFI_IMAGE};QD520_EFIROM=$<TARGET_FILE:efirom>"
    REQUIRED_FILES "${EFI_IMAGE}"
    TIMEOUT 120)
endif()

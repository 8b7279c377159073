# The driver package built by the kit's own build tool in an EDK II workspace
# (Tools/edk2-build.sh: BaseTools from the kit, edksetup.sh, `build`), once
# per toolchain of the kit, and the images it made checked as the CMake
# build's are. The builds share one workspace, one at a time.
if(NOT QD520_HOST_ONLY)
  add_executable(qdl520_kit_image_tests Qdl520KitImageTest.cpp)
  target_link_libraries(qdl520_kit_image_tests PRIVATE qd520_test_support GTest::gtest_main)

  set(QD520_KIT_WORKSPACE "${CMAKE_BINARY_DIR}/edk2/workspace")
  foreach(_toolchain GCC5 CLANGPDB)
    set(_images "${CMAKE_BINARY_DIR}/edk2/DEBUG_${_toolchain}")
    add_test(NAME qd520_kit_build_${_toolchain}
      COMMAND "${CMAKE_SOURCE_DIR}/Tools/edk2-build.sh" "${EDK2_PATH}" "${QD520_KIT_WORKSPACE}"
              ${_toolchain} DEBUG "${_images}")
    set_tests_properties(qd520_kit_build_${_toolchain} PROPERTIES
      FIXTURES_SETUP qd520_kit_build_${_toolchain}
      RESOURCE_LOCK qd520_kit_workspace
      PROCESSORS 2
      TIMEOUT 600
      LABELS "kit-build")

    add_test(NAME qd520_kit_images_${_toolchain} COMMAND qdl520_kit_image_tests)
    set_tests_properties(qd520_kit_images_${_toolchain} PROPERTIES
      FIXTURES_REQUIRED qd520_kit_build_${_toolchain}
      ENVIRONMENT "QD520_KIT_IMAGES=${_images}"
      TIMEOUT 60
      LABELS "kit-build")
  endforeach()
endif()

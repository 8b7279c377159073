# The driver package built by the kit's own build tool in an EDK II workspace
# (Tools/edk2-build.sh: BaseTools from the kit, edksetup.sh, `build`), and the
# images it made checked as the CMake build's are, layout included. Two kits:
#
#   EDK2_PATH          edk2-stable202211 (Debian's source), images in
#                      build/edk2/<TARGET>_<TOOLCHAIN>/
#   EDK2_CURRENT_PATH  the current release (the bootstrap's copy of the kit in
#                      ../shared/kits/, or a tree of one's own), images in
#                      build/<kit folder name>/<TARGET>_<TOOLCHAIN>/
#
# Each kit builds, of GCC5, GCC, CLANGPDB and CLANGDWARF, every toolchain its
# tools_def has for an architecture: for X64 DEBUG with each and RELEASE with
# one of them, for AARCH64 and RISCV64 DEBUG and RELEASE with each. X64
# images are Quandrel520Gop.efi and .rom, the others' name the architecture
# (Quandrel520Gop.aarch64.efi, .riscv64.rom). A kit's builds share its
# workspace, one at a time; the two kits build side by side.
if(QD520_HOST_ONLY)
  return()
endif()

add_executable(qdl520_kit_image_tests Qdl520KitImageTest.cpp)
target_link_libraries(qdl520_kit_image_tests PRIVATE qd520_test_support GTest::gtest_main)

set(EDK2_CURRENT_PATH "${EDK2_CURRENT_PATH}" CACHE PATH
    "the current EDK II release to build the package with as well (empty: none)")

# The toolchains a kit has for ARCH, from its tools_def template (a
# toolchain without a compiler for an architecture lacks its CC_PATH).
function(qd520_kit_toolchains KIT ARCH OUT)
  file(STRINGS "${KIT}/BaseTools/Conf/tools_def.template" _compilers REGEX "^\\*_[A-Z0-9]+_${ARCH}_CC_PATH")
  set(_found)
  foreach(_toolchain GCC5 GCC CLANGPDB CLANGDWARF)
    if("${_compilers}" MATCHES "\\*_${_toolchain}_${ARCH}_CC_PATH")
      list(APPEND _found ${_toolchain})
    endif()
  endforeach()
  set(${OUT} ${_found} PARENT_SCOPE)
endfunction()

# qd520_kit_build(PREFIX KIT OUTPUT ARCH TARGET TOOLCHAIN NX_COMPAT)
#   the tests PREFIX_build_<BUILD> (a fixture of the same name) and
#   PREFIX_images_<BUILD>, BUILD being <TARGET>_<TOOLCHAIN> for X64 and
#   <ARCH>_<TARGET>_<TOOLCHAIN> for the others; images in
#   OUTPUT/<TARGET>_<TOOLCHAIN>/, NX_COMPAT (1 or 0) required of them or not.
function(qd520_kit_build PREFIX KIT OUTPUT ARCH TARGET TOOLCHAIN NX_COMPAT)
  set(_build ${TARGET}_${TOOLCHAIN})
  set(_images "${OUTPUT}/${_build}")
  if(NOT ARCH STREQUAL "X64")
    set(_build ${ARCH}_${_build})
  endif()
  add_test(NAME ${PREFIX}_build_${_build}
    COMMAND "${CMAKE_SOURCE_DIR}/Tools/edk2-build.sh" "${KIT}" "${OUTPUT}/workspace"
            ${TOOLCHAIN} ${TARGET} "${_images}" ${ARCH})
  set_tests_properties(${PREFIX}_build_${_build} PROPERTIES
    FIXTURES_SETUP ${PREFIX}_build_${_build}
    RESOURCE_LOCK ${PREFIX}_workspace
    TIMEOUT 600
    LABELS "kit-build")

  add_test(NAME ${PREFIX}_images_${_build} COMMAND qdl520_kit_image_tests)
  set_tests_properties(${PREFIX}_images_${_build} PROPERTIES
    FIXTURES_REQUIRED ${PREFIX}_build_${_build}
    ENVIRONMENT "QD520_KIT_IMAGES=${_images};QD520_KIT_ARCH=${ARCH};QD520_KIT_NX_COMPAT=${NX_COMPAT}"
    TIMEOUT 60
    LABELS "kit-build")
endfunction()

# qd520_kit_builds(PREFIX KIT OUTPUT RELEASE_TOOLCHAIN)
#   the kit's X64 DEBUG build with each of its toolchains and its X64 RELEASE
#   build with RELEASE_TOOLCHAIN, and its AARCH64 and RISCV64 builds, DEBUG
#   and RELEASE, with each toolchain it has for them (qd520_kit_build);
#   PREFIX_BUILDS lists them by their test names' ending.
function(qd520_kit_builds PREFIX KIT OUTPUT RELEASE_TOOLCHAIN)
  # A GenFw that predates NX_COMPAT marking (edk2-stable202211's) leaves the
  # flag off the images it converts from ELF; lld-link sets it itself.
  file(STRINGS "${KIT}/BaseTools/Source/C/GenFw/GenFw.c" _genfw_marks_nx REGEX "nonxcompat")

  set(_builds)
  foreach(_arch X64 AARCH64 RISCV64)
    qd520_kit_toolchains("${KIT}" ${_arch} _toolchains)
    foreach(_toolchain IN LISTS _toolchains)
      set(_nx_compat 1)
      if(NOT _genfw_marks_nx AND NOT _toolchain STREQUAL "CLANGPDB")
        set(_nx_compat 0)
      endif()
      set(_targets DEBUG)
      if(NOT _arch STREQUAL "X64" OR _toolchain STREQUAL RELEASE_TOOLCHAIN)
        list(APPEND _targets RELEASE)
      endif()
      set(_prefix)
      if(NOT _arch STREQUAL "X64")
        set(_prefix ${_arch}_)
      endif()
      foreach(_target IN LISTS _targets)
        qd520_kit_build(${PREFIX} "${KIT}" "${OUTPUT}" ${_arch} ${_target} ${_toolchain} ${_nx_compat})
        list(APPEND _builds ${_prefix}${_target}_${_toolchain})
      endforeach()
    endforeach()
  endforeach()
  set(${PREFIX}_BUILDS ${_builds} CACHE INTERNAL "the kit's builds, [<ARCH>_]<TARGET>_<TOOLCHAIN>")
endfunction()

qd520_kit_builds(qd520_kit "${EDK2_PATH}" "${CMAKE_BINARY_DIR}/edk2" GCC5)

# The current release, or one test that says it is missing and is reported
# as skipped.
if(EDK2_CURRENT_PATH AND EXISTS "${EDK2_CURRENT_PATH}/MdePkg/MdePkg.dec")
  get_filename_component(_current_name "${EDK2_CURRENT_PATH}" NAME)
  if(NOT _current_name MATCHES "^edk2-stable")
    set(_current_name edk2-current)
  endif()
  set(QD520_CURRENT_KIT_IMAGES "${CMAKE_BINARY_DIR}/${_current_name}" CACHE INTERNAL "")
  qd520_kit_builds(qd520_current_kit "${EDK2_CURRENT_PATH}" "${QD520_CURRENT_KIT_IMAGES}" CLANGPDB)
else()
  set(QD520_CURRENT_KIT_IMAGES "" CACHE INTERNAL "")
  set(qd520_current_kit_BUILDS "" CACHE INTERNAL "")
  add_test(NAME qd520_current_kit_missing
    COMMAND sh -c "echo 'no current EDK II kit: put edk2-stable<release>.tar.xz in ../shared/kits/ or set EDK2_CURRENT_PATH to a kit tree, then run make test again'; exit 77")
  set_tests_properties(qd520_current_kit_missing PROPERTIES SKIP_RETURN_CODE 77 LABELS "kit-build")
endif()

# The CMake images of every architecture and the ROMs, and the current
# release's RELEASE CLANGPDB images, built again from a copy of the tree in
# another folder: byte for byte the same.
set(_reproducible_args "${CMAKE_BINARY_DIR}" "${EDK2_PATH}" "${EDK2_CURRENT_PATH}")
set(_reproducible_fixture)
if("RELEASE_CLANGPDB" IN_LIST qd520_current_kit_BUILDS)
  list(APPEND _reproducible_args "${QD520_CURRENT_KIT_IMAGES}")
  set(_reproducible_fixture qd520_current_kit_build_RELEASE_CLANGPDB)
endif()
add_test(NAME qd520_reproducible_images
  COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/reproducible-images.sh" ${_reproducible_args})
set_tests_properties(qd520_reproducible_images PROPERTIES
  FIXTURES_REQUIRED "${_reproducible_fixture}"
  REQUIRED_FILES "${EFI_IMAGE};${OPTION_ROM}"
  TIMEOUT 600
  LABELS "kit-build")

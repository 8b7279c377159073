# The driver as UEFI images, one per architecture the option ROM carries,
# compiled freestanding by clang:
#
#   X64      x86_64-unknown-windows-gnu, linked by lld-link into PE32+
#   AARCH64  aarch64-unknown-windows-gnu, linked by lld-link into PE32+
#   RISCV64  riscv64 ELF, linked by ld.lld with the kit's GccBase.lds and
#            converted to PE32+ by the kit's GenFw (LLVM's PE linker has no
#            RISC-V), as the kit's CLANGDWARF toolchain does
#
# Every image has its sections on 4 KiB boundaries (firmware that protects
# the images it loads maps the code read-only and the data no-execute) and
# carries no trace of the time or folder of its build.

set(QD520_UEFI_ARCHITECTURES X64 AARCH64 RISCV64)

# File-name part and the names of targets of an architecture: X64 keeps the
# plain names; the others say the architecture.
function(qd520_arch_suffix ARCH OUT)
  if(ARCH STREQUAL "X64")
    set(${OUT} "" PARENT_SCOPE)
  else()
    string(TOLOWER ".${ARCH}" _suffix)
    set(${OUT} "${_suffix}" PARENT_SCOPE)
  endif()
endfunction()

# Compiler options of an architecture, for the kit, the platform pieces and
# the driver alike.
set(_uefi_common_flags -ffreestanding -nostdlibinc -fshort-wchar -fno-stack-protector
  -fno-strict-aliasing -fno-common -ffunction-sections -fdata-sections
  -fno-asynchronous-unwind-tables -fno-unwind-tables -Oz -flto -g0)
set(QD520_UEFI_FLAGS_X64 --target=x86_64-unknown-windows-gnu
  -mno-red-zone -mno-stack-arg-probe -mno-implicit-float)
set(QD520_UEFI_FLAGS_AARCH64 --target=aarch64-unknown-windows-gnu -mno-implicit-float)
# The kit's RISC-V ABI: RV64GC code, integer calling convention (no floating
# point registers in calls), medium code model, no linker relaxation
# (GenFw converts the relocations as the compiler left them), no small-data
# section, structures packed to 8 bytes as the kit packs them.
set(QD520_UEFI_FLAGS_RISCV64 --target=riscv64-unknown-elf -march=rv64gc -mabi=lp64 -mcmodel=medany
  -mno-relax -msmall-data-limit=0 -fpack-struct=8 -fno-pic)

foreach(_arch IN LISTS QD520_UEFI_ARCHITECTURES)
  qd520_arch_suffix(${_arch} _suffix)
  string(REPLACE "." "_" _suffix "${_suffix}")
  set(_flags qd520_target_flags${_suffix})
  add_library(${_flags} INTERFACE)
  qd520_kit_include_dirs(${_arch} _includes)
  target_include_directories(${_flags} INTERFACE
    ${_includes} "${AUTOGEN_DIR}" "${DRIVER_DIR}" "${PLATFORM_DIR}/SerialDebugLib")
  target_compile_options(${_flags} INTERFACE ${QD520_UEFI_FLAGS_${_arch}} ${_uefi_common_flags}
    "SHELL:-include ${AUTOGEN_DIR}/AutoGen.h")
endforeach()

# Linking with lld-link: sections on 4 KiB boundaries (NX_COMPAT is
# lld-link's default); 32-byte file alignment keeps the file small. /DRIVER
# is what lld-link expects beside /ALIGN for a driver; /TIMESTAMP:0 keeps the
# time of the build out of the image, so equal sources give equal images.
# Linker warnings are errors.
set(UEFI_LINK_FLAGS /NOLOGO /NODEFAULTLIB /OPT:REF /OPT:ICF /ALIGN:4096 /FILEALIGN:32
  /DRIVER /TIMESTAMP:0 /WX /MACHINE:X64 /DLL /BASE:0 /SUBSYSTEM:EFI_BOOT_SERVICE_DRIVER
  /ENTRY:_ModuleEntryPoint /MERGE:.rdata=.data)
set(QD520_LINK_FLAGS_X64 ${UEFI_LINK_FLAGS})
list(TRANSFORM UEFI_LINK_FLAGS REPLACE "^/MACHINE:X64$" "/MACHINE:ARM64" OUTPUT_VARIABLE QD520_LINK_FLAGS_AARCH64)

# Linking the RISC-V ELF file GenFw converts: relocations kept (GenFw turns
# them into base relocations), 4 KiB pages, the kit's linker script, which
# leaves room for the PE headers before the first section.
find_program(LD_LLD NAMES ld.lld ld.lld-14 REQUIRED)
find_program(LLVM_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)
find_package(Python3 COMPONENTS Interpreter REQUIRED)

# The SBOM: the kit's release, and the commit whose time the documents
# carry (a new commit makes them again).
qd520_kit_release("${EDK2_PATH}" EDK2_RELEASE)
set(QD520_COMMIT_DEPENDS)
execute_process(COMMAND git -C "${CMAKE_SOURCE_DIR}" rev-parse --path-format=absolute --git-path logs/HEAD
  OUTPUT_VARIABLE _head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _git_status)
if(_git_status EQUAL 0 AND EXISTS "${_head_log}")
  set(QD520_COMMIT_DEPENDS "${_head_log}")
endif()
set(QD520_ELF_LINK_FLAGS_RISCV64 -m elf64lriscv --emit-relocs --gc-sections --no-pie --no-relax
  --fatal-warnings -z common-page-size=0x1000 -z max-page-size=0x1000 --build-id=none
  -e _ModuleEntryPoint -u _ModuleEntryPoint
  "--script=${EDK2_PATH}/BaseTools/Scripts/GccBase.lds" --defsym=PECOFF_HEADER_SIZE=0x240)

# GenFw, from the kit's BaseTools, built once on first use (Tools/kit-tool.sh):
# the current release's when there is one (it marks the images it converts
# NX_COMPAT; edk2-stable202211's does not), otherwise EDK2_PATH's.
if(EDK2_CURRENT_PATH AND EXISTS "${EDK2_CURRENT_PATH}/MdePkg/MdePkg.dec")
  set(_genfw_kit "${EDK2_CURRENT_PATH}")
else()
  set(_genfw_kit "${EDK2_PATH}")
endif()
foreach(_tool GenFw TianoCompress)
  file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/kit-tools/${_tool}" CONTENT "#!/bin/sh
# ${_tool} of the BaseTools of ${_genfw_kit} (built once, on first use)
exec \"${CMAKE_SOURCE_DIR}/Tools/kit-tool.sh\" \"${_genfw_kit}\" ${_tool} \"$@\"
" @ONLY)
  file(CHMOD "${CMAKE_BINARY_DIR}/kit-tools/${_tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(QD520_GENFW "${CMAKE_BINARY_DIR}/kit-tools/GenFw")
set(QD520_TIANOCOMPRESS "${CMAKE_BINARY_DIR}/kit-tools/TianoCompress")
qd520_kit_release("${_genfw_kit}" QD520_GENFW_RELEASE)
file(STRINGS "${_genfw_kit}/BaseTools/Source/C/GenFw/GenFw.c" _genfw_marks_nx REGEX "nonxcompat")
if(_genfw_marks_nx)
  set(QD520_GENFW_MARKS_NX_COMPAT 1 CACHE INTERNAL "")
else()
  set(QD520_GENFW_MARKS_NX_COMPAT 0 CACHE INTERNAL "")
endif()

# GNU assembly of the kit, as its build tool handles a .S file: the C
# preprocessor with the module's AutoGen.h, the kit's Trim, then the
# assembler. Kits before the current ones declare assembly functions with
# ELF's .type directive, which a PE object has no room for; the PE targets
# preprocess with AutoGen/KitAssemblyPe.h, which leaves it out as later kits
# do.
set(_trim "${EDK2_PATH}/BaseTools/Source/Python/Trim/Trim.py")
function(qd520_kit_assembly TARGET ARCH SOURCE OUT)
  get_filename_component(_name "${SOURCE}" NAME_WE)
  set(_dir "${CMAKE_CURRENT_BINARY_DIR}/${TARGET}.asm")
  set(_object "${_dir}/${_name}.o")
  qd520_kit_include_dirs(${ARCH} _includes)
  list(TRANSFORM _includes PREPEND "-I")
  set(_pe)
  if(NOT ARCH STREQUAL "RISCV64")
    set(_pe -include "${AUTOGEN_DIR}/KitAssemblyPe.h")
  endif()
  set(_target_flag ${QD520_UEFI_FLAGS_${ARCH}})
  list(FILTER _target_flag INCLUDE REGEX "^--target=|^-march=|^-mabi=")
  add_custom_command(
    OUTPUT "${_object}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_dir}"
    COMMAND "${CMAKE_C_COMPILER}" ${_target_flag} -E -x assembler-with-cpp ${_includes} -I "${AUTOGEN_DIR}"
            -include "${AUTOGEN_DIR}/AutoGen.h" ${_pe} "${SOURCE}" -o "${_dir}/${_name}.i"
    COMMAND ${CMAKE_COMMAND} -E env "PYTHONPATH=${EDK2_PATH}/BaseTools/Source/Python"
            python3 "${_trim}" --trim-long --source-code -o "${_dir}/${_name}.iii" "${_dir}/${_name}.i"
    COMMAND "${CMAKE_C_COMPILER}" ${_target_flag} -c -x assembler "${_dir}/${_name}.iii" -o "${_object}"
    DEPENDS "${SOURCE}" "${AUTOGEN_DIR}/AutoGen.h" "${AUTOGEN_DIR}/KitAssemblyPe.h"
    COMMENT "Assembling ${_name}.S for ${ARCH}"
    VERBATIM)
  set(${OUT} "${_object}" PARENT_SCOPE)
endfunction()

# qd520_add_target_library(NAME ARCH SOURCES... [DEFINITIONS d...])
#   a static archive of C (and .S) files for ARCH with the kit's warnings.
function(qd520_add_target_library NAME ARCH)
  cmake_parse_arguments(ARG "" "" "DEFINITIONS;INCLUDES" ${ARGN})
  set(_c)
  set(_objects)
  foreach(_source IN LISTS ARG_UNPARSED_ARGUMENTS)
    if(_source MATCHES "\\.S$")
      qd520_kit_assembly(${NAME} ${ARCH} "${_source}" _object)
      list(APPEND _objects "${_object}")
    else()
      list(APPEND _c "${_source}")
    endif()
  endforeach()
  qd520_arch_suffix(${ARCH} _suffix)
  string(REPLACE "." "_" _suffix "${_suffix}")
  add_library(${NAME} STATIC ${_c} ${_objects})
  target_link_libraries(${NAME} PUBLIC qd520_target_flags${_suffix})
  target_compile_options(${NAME} PRIVATE ${_kit_warnings})
  target_include_directories(${NAME} PRIVATE ${ARG_INCLUDES})
  target_compile_definitions(${NAME} PRIVATE ${ARG_DEFINITIONS})
endfunction()

# qd520_add_uefi_driver(SUFFIX DIRECTORY ARCH [DEFINITION...])
#   one configuration of the driver image for ARCH: each kit library
#   instance in an archive of its own (qd520_kit_<NAME>_target<SUFFIX><ARCH>),
#   the platform's DebugLib and serial back end, the build glue, the driver
#   entry glue (qd520_driver_entry_target...) and the driver
#   (qdl520_driver_target...) compiled with DEFINITIONs, linked into
#   DIRECTORY/Quandrel520Gop<.arch>.efi (target Quandrel520Gop<SUFFIX><_arch>)
#   with its SBOM in a .sbom section (also beside it as .spdx.json), and
#   held to the size budget. Sets QD520_IMAGE_<SUFFIX><ARCH> to the
#   image and QD520_KIT_ARCHIVES<SUFFIX><ARCH> to the archives an
#   application links beside its own entry glue.
function(qd520_add_uefi_driver SUFFIX DIRECTORY ARCH)
  qd520_arch_suffix(${ARCH} _file_suffix)
  string(REPLACE "." "_" _arch_suffix "${_file_suffix}")
  set(_all "${SUFFIX}${_arch_suffix}")
  set(_image "${DIRECTORY}/Quandrel520Gop${_file_suffix}.efi")
  set(_entry qd520_driver_entry_target${_all})
  set(_driver qdl520_driver_target${_all})

  set(_archives)
  set(_archive_targets)
  foreach(_library IN LISTS KIT_TARGET_LIBRARIES_${ARCH})
    set(_name qd520_kit_${_library}_target${_all})
    get_filename_component(_dir "${EDK2_PATH}/${KIT_${_library}_INF}" DIRECTORY)
    qd520_add_target_library(${_name} ${ARCH} ${KIT_${_library}_SOURCES_${ARCH}}
      DEFINITIONS ${ARGN} INCLUDES "${_dir}")
    list(APPEND _archive_targets ${_name})
  endforeach()

  # What the platform supplies, each instance in an archive of its own: the
  # DebugLib instance and, on machines without a PC serial port, its serial
  # back end; and the build glue the kit's tool would generate with the
  # compiler's memory routines.
  qd520_add_target_library(qd520_SerialDebugLib_target${_all} ${ARCH}
    "${PLATFORM_DIR}/SerialDebugLib/SerialDebugLib.c" "${PLATFORM_DIR}/SerialDebugLib/SerialDebugLibAssertHalt.c"
    DEFINITIONS ${ARGN})
  list(APPEND _archive_targets qd520_SerialDebugLib_target${_all})
  set(_platform_records "{\"name\": \"SerialDebugLib\", \"inf\": \"Platform/SerialDebugLib/SerialDebugLib.inf\", \"from\": \"project\", \"file\": \"$<TARGET_FILE_NAME:qd520_SerialDebugLib_target${_all}>\"}")
  if(NOT ARCH STREQUAL "X64")
    qd520_add_target_library(qd520_SerialIoPortLib_target${_all} ${ARCH}
      "${PLATFORM_DIR}/SerialIoPortLib/SerialIoPortLib.c" DEFINITIONS ${ARGN})
    list(APPEND _archive_targets qd520_SerialIoPortLib_target${_all})
    string(APPEND _platform_records ", {\"name\": \"SerialIoPortLib\", \"inf\": \"Platform/SerialIoPortLib/SerialIoPortLib.inf\", \"from\": \"project\", \"file\": \"$<TARGET_FILE_NAME:qd520_SerialIoPortLib_target${_all}>\"}")
  endif()
  qd520_add_target_library(qd520_platform_target${_all} ${ARCH}
    "${AUTOGEN_DIR}/AutoGenGuids.c" "${AUTOGEN_DIR}/AutoGenLibraries.c"
    "${PLATFORM_DIR}/CompilerIntrinsics/CompilerIntrinsics.c" DEFINITIONS ${ARGN})
  list(APPEND _archive_targets qd520_platform_target${_all})
  string(APPEND _platform_records ", {\"name\": \"Quandrel520Gop build glue\", \"description\": \"AutoGen/ (what the kit's build tool generates) and Platform/CompilerIntrinsics\", \"from\": \"project\", \"file\": \"$<TARGET_FILE_NAME:qd520_platform_target${_all}>\"}")
  foreach(_target IN LISTS _archive_targets)
    list(APPEND _archives $<TARGET_FILE:${_target}>)
  endforeach()

  # The module entry glue of UEFI drivers, apart from the kit so that an
  # application module can link the kit with its own entry glue.
  qd520_add_target_library(${_entry} ${ARCH} ${KIT_DRIVER_ENTRY_SOURCE} DEFINITIONS ${ARGN})

  add_library(${_driver} OBJECT ${QDL520_DRIVER_SOURCES} ${QDL520_AUTOGEN_SOURCE})
  target_link_libraries(${_driver} PUBLIC qd520_target_flags${_arch_suffix})
  target_compile_options(${_driver} PRIVATE ${_driver_cxx_flags} -nostdinc++)
  target_compile_definitions(${_driver} PRIVATE ${ARGN})

  # The image is linked in DIRECTORY/link/, with the linker's account of
  # the archive members it took; its SBOM is made from that account and
  # added as a section of its own.
  set(_name "Quandrel520Gop${_file_suffix}")
  set(_link_dir "${DIRECTORY}/link")
  set(_linked "${_link_dir}/${_name}.efi")
  set(_trace "${_link_dir}/${_name}.link-trace.txt")
  set(_manifest "${_link_dir}/${_name}.manifest.json")
  set(_sbom "${DIRECTORY}/${_name}.spdx.json")
  if(ARCH STREQUAL "RISCV64")
    # GenFw names the ELF file in the image's debug directory as it is given
    # on its command line: a bare name, run in the file's folder, keeps the
    # build's folder out of the image.
    set(_link
      COMMAND "${LD_LLD}" ${QD520_ELF_LINK_FLAGS_RISCV64} -o "${_link_dir}/${_name}.dll"
              -Map "${DIRECTORY}/${_name}.map" "--why-extract=${_trace}"
              $<TARGET_OBJECTS:${_driver}> $<TARGET_FILE:${_entry}> --start-group ${_archives} --end-group
      COMMAND ${CMAKE_COMMAND} -E chdir "${_link_dir}" "${QD520_GENFW}" -e UEFI_DRIVER -o "${_name}.efi" "${_name}.dll")
    set(_trace_kind "ld.lld")
    set(_tools "{\"role\": \"compiler\", \"name\": \"clang\", \"command\": [\"${CMAKE_C_COMPILER}\", \"--version\"]}, {\"role\": \"linker\", \"name\": \"ld.lld\", \"command\": [\"${LD_LLD}\", \"--version\"]}, {\"role\": \"ELF to PE converter\", \"name\": \"GenFw\", \"version\": \"EDK II BaseTools, ${QD520_GENFW_RELEASE}\", \"command\": [\"${QD520_GENFW}\", \"--version\"]}")
  else()
    set(_link
      COMMAND ${CMAKE_COMMAND} -DTRACE=${_trace} -P "${CMAKE_SOURCE_DIR}/cmake/LinkTraced.cmake" --
              "${LLD_LINK}" ${QD520_LINK_FLAGS_${ARCH}} /OUT:${_linked} /MAP:${DIRECTORY}/${_name}.map /VERBOSE
              $<TARGET_OBJECTS:${_driver}> $<TARGET_FILE:${_entry}> ${_archives})
    set(_trace_kind "lld-link")
    set(_tools "{\"role\": \"compiler\", \"name\": \"clang\", \"command\": [\"${CMAKE_C_COMPILER}\", \"--version\"]}, {\"role\": \"linker\", \"name\": \"lld-link\", \"command\": [\"${LLD_LINK}\", \"--version\"]}")
  endif()
  string(APPEND _tools ", {\"role\": \"section writer\", \"name\": \"llvm-objcopy\", \"command\": [\"${LLVM_OBJCOPY}\", \"--version\"]}")

  set(_records)
  foreach(_library IN LISTS KIT_TARGET_LIBRARIES_${ARCH})
    string(APPEND _records "{\"name\": \"${_library}\", \"inf\": \"${KIT_${_library}_INF}\", \"from\": \"kit\", \"file\": \"$<TARGET_FILE_NAME:qd520_kit_${_library}_target${_all}>\"}, ")
  endforeach()
  string(APPEND _records "{\"name\": \"UefiDriverEntryPoint\", \"inf\": \"MdePkg/Library/UefiDriverEntryPoint/UefiDriverEntryPoint.inf\", \"from\": \"kit\", \"file\": \"$<TARGET_FILE_NAME:${_entry}>\"}, ")
  string(APPEND _records "${_platform_records}")
  set(_configuration debug)
  if("MDEPKG_NDEBUG" IN_LIST ARGN)
    set(_configuration production)
  endif()
  file(GENERATE OUTPUT "${_manifest}" CONTENT "{
  \"image\": \"${_name}.efi\",
  \"architecture\": \"${ARCH}\",
  \"configuration\": \"${_configuration}\",
  \"supplier\": \"QD520 driver authors\",
  \"driver_inf\": \"OptionRomPkg/Quandrel520Gop/Quandrel520Gop.inf\",
  \"kit\": \"${EDK2_PATH}\",
  \"kit_release\": \"${EDK2_RELEASE}\",
  \"trace_kind\": \"${_trace_kind}\",
  \"archives\": [${_records}],
  \"tools\": [${_tools}]
}
")

  add_custom_command(
    OUTPUT "${_image}" "${_sbom}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_link_dir}"
    ${_link}
    COMMAND "${Python3_EXECUTABLE}" -B "${CMAKE_SOURCE_DIR}/Tools/sbom.py" make --manifest "${_manifest}"
            --link-trace "${_trace}" --output "${_sbom}"
    COMMAND "${LLVM_OBJCOPY}" --add-section .sbom=${_sbom} --set-section-flags .sbom=readonly,data
            "${_linked}" "${_image}"
    COMMAND ${CMAKE_COMMAND} -DFILE=${_image} -DLIMIT=${EFI_IMAGE_BUDGET${SUFFIX}_${ARCH}}
            -P "${CMAKE_SOURCE_DIR}/cmake/CheckSize.cmake"
    DEPENDS ${_driver} ${_archive_targets} ${_entry} $<TARGET_OBJECTS:${_driver}> "${_manifest}"
            "${CMAKE_SOURCE_DIR}/Tools/sbom.py" "${CMAKE_SOURCE_DIR}/cmake/LinkTraced.cmake" "${DRIVER_INF}"
            "${CMAKE_SOURCE_DIR}/LICENSE" ${QD520_COMMIT_DEPENDS}
    COMMAND_EXPAND_LISTS
    COMMENT "Linking the ${ARCH} UEFI driver image ${_image} and its SBOM")
  add_custom_target(Quandrel520Gop${_all} ALL DEPENDS "${_image}")
  set(QD520_IMAGE${SUFFIX}_${ARCH} "${_image}" PARENT_SCOPE)
  set(QD520_KIT_ARCHIVES${SUFFIX}_${ARCH} ${_archives} PARENT_SCOPE)
  set(QD520_KIT_ARCHIVE_TARGETS${SUFFIX}_${ARCH} ${_archive_targets} PARENT_SCOPE)
endfunction()

# qd520_add_uefi_configuration(SUFFIX DIRECTORY [DEFINITION...])
#   the driver image for every architecture (qd520_add_uefi_driver) and the
#   option ROM of all of them, X64 first (DIRECTORY/Quandrel520Gop.rom,
#   target Quandrel520GopRom<SUFFIX>).
function(qd520_add_uefi_configuration SUFFIX DIRECTORY)
  set(_images)
  foreach(_arch IN LISTS QD520_UEFI_ARCHITECTURES)
    qd520_add_uefi_driver("${SUFFIX}" "${DIRECTORY}" ${_arch} ${ARGN})
    list(APPEND _images "${QD520_IMAGE${SUFFIX}_${_arch}}")
    set(QD520_IMAGE${SUFFIX}_${_arch} "${QD520_IMAGE${SUFFIX}_${_arch}}" PARENT_SCOPE)
    set(QD520_KIT_ARCHIVES${SUFFIX}_${_arch} ${QD520_KIT_ARCHIVES${SUFFIX}_${_arch}} PARENT_SCOPE)
    set(QD520_KIT_ARCHIVE_TARGETS${SUFFIX}_${_arch} ${QD520_KIT_ARCHIVE_TARGETS${SUFFIX}_${_arch}} PARENT_SCOPE)
  endforeach()
  qd520_add_option_rom(Quandrel520GopRom${SUFFIX} "${DIRECTORY}/Quandrel520Gop.rom" ${OPTION_ROM_BUDGET${SUFFIX}}
    ${_images})
  set(QD520_IMAGES${SUFFIX} ${_images} PARENT_SCOPE)
endfunction()

# The driver's images signed for UEFI Secure Boot (sbsigntool) and the
# option ROM of the signed images (Tools/pack-rom.sh):
# Quandrel520Gop.signed.efi, .aarch64.signed.efi, .riscv64.signed.efi and
# Quandrel520Gop.signed.rom.
#
#   QD520_SIGN_KEY, QD520_SIGN_CERT   the signer's private key and X.509
#                  certificate (PEM); both empty: Debian's snakeoil TEST
#                  pair, whose private key is published (tests only)
#   QD520_SIGN_PASSIN  the key's passphrase as openssl's -passin takes it
#                  (pass:TEXT, env:VAR, file:PATH); empty for none
#   QD520_SIGN_CHAIN   the intermediate CA certificates (PEM) between the
#                  signer's certificate and the root that firmware holds in
#                  db, embedded in every signature; empty for a signer the
#                  root issued itself
#
# `make sign KEY=... CERT=... [CHAIN=...] [PASSIN=...]` sets them.
# Tools/sign-image.sh does the work: a key it cannot read, a certificate
# that is not the key's, a chain that does not lead from it or a missing
# sbsigntool stops it with one line, and it leaves no signed
# file behind; the unsigned image and ROM are its inputs only.

set(QD520_TEST_SIGN_KEY "/usr/share/ovmf/PkKek-1-snakeoil.key")
set(QD520_TEST_SIGN_CERT "/usr/share/ovmf/PkKek-1-snakeoil.pem")
set(QD520_TEST_SIGN_PASSIN "pass:snakeoil")   # Debian's README.Debian of ovmf

set(QD520_SIGN_KEY "" CACHE FILEPATH "private key that signs the driver (empty: the snakeoil test key)")
set(QD520_SIGN_CERT "" CACHE FILEPATH "certificate of QD520_SIGN_KEY (empty: the snakeoil test certificate)")
set(QD520_SIGN_PASSIN "" CACHE STRING "passphrase of QD520_SIGN_KEY as openssl -passin takes it")
set(QD520_SIGN_CHAIN "" CACHE FILEPATH "intermediate CA certificates of QD520_SIGN_CERT (PEM; empty: none)")

# A refused setting is cleared from the cache before the error, so that the
# next configure (make build, make sign) is back on the test pair instead
# of failing on it again.
function(qd520_refuse_signer MESSAGE)
  foreach(_name QD520_SIGN_KEY QD520_SIGN_CERT QD520_SIGN_CHAIN QD520_SIGN_PASSIN)
    get_property(_type CACHE ${_name} PROPERTY TYPE)
    set(${_name} "" CACHE ${_type} "" FORCE)
  endforeach()
  message(FATAL_ERROR "${MESSAGE}; the signer settings are cleared")
endfunction()

if(QD520_SIGN_KEY STREQUAL "" AND QD520_SIGN_CERT STREQUAL "")
  if(NOT QD520_SIGN_CHAIN STREQUAL "")
    qd520_refuse_signer("QD520_SIGN_CHAIN is the chain of your own signer: give QD520_SIGN_KEY and QD520_SIGN_CERT too (make sign KEY=... CERT=... CHAIN=...)")
  endif()
  set(QD520_SIGNED_WITH_TEST_KEY ON)
elseif(QD520_SIGN_KEY STREQUAL "" OR QD520_SIGN_CERT STREQUAL "")
  qd520_refuse_signer("QD520_SIGN_KEY and QD520_SIGN_CERT go together (make sign KEY=... CERT=...)")
else()
  set(QD520_SIGNED_WITH_TEST_KEY OFF)
endif()

set(SIGN_TOOL "${CMAKE_SOURCE_DIR}/Tools/sign-image.sh")

# qd520_sign(TARGET [TEST_KEY] [ALL] [ROM SIGNED_ROM] IMAGES IMAGE SIGNED_IMAGE...)
#   a custom target TARGET that makes each SIGNED_IMAGE from its IMAGE,
#   signed with the configured pair, or with the test pair when TEST_KEY is
#   given, and with ROM the option ROM SIGNED_ROM of the signed images in
#   the order given.
function(qd520_sign TARGET)
  cmake_parse_arguments(ARG "TEST_KEY;ALL" "ROM" "IMAGES" ${ARGN})
  if(ARG_TEST_KEY OR QD520_SIGNED_WITH_TEST_KEY)
    set(_key "${QD520_TEST_SIGN_KEY}")
    set(_cert "${QD520_TEST_SIGN_CERT}")
    set(_chain "")
    set(_flags --test-key --passin "${QD520_TEST_SIGN_PASSIN}")
    set(_who "Debian's snakeoil TEST key, not for shipping")
  else()
    set(_key "${QD520_SIGN_KEY}")
    set(_cert "${QD520_SIGN_CERT}")
    set(_chain "${QD520_SIGN_CHAIN}")
    set(_flags)
    if(NOT QD520_SIGN_PASSIN STREQUAL "")
      list(APPEND _flags --passin "${QD520_SIGN_PASSIN}")
    endif()
    if(NOT _chain STREQUAL "")
      list(APPEND _flags --chain "${_chain}")
    endif()
    set(_who "${_key}")
  endif()
  set(_images)
  set(_outputs)
  set(_names)
  set(_pair_index 0)
  foreach(_file IN LISTS ARG_IMAGES)
    math(EXPR _odd "${_pair_index} % 2")
    if(_odd)
      list(APPEND _outputs "${_file}")
      get_filename_component(_name "${_file}" NAME)
      list(APPEND _names "${_name}")
    else()
      list(APPEND _images "${_file}")
    endif()
    math(EXPR _pair_index "${_pair_index} + 1")
  endforeach()
  # The key, certificate and chain are dependencies when they exist; when
  # they do not, the script says so in one line.
  set(_depends efirom ${_images} "${SIGN_TOOL}" "${PACK_ROM_TOOL}")
  foreach(_file IN LISTS _key _cert _chain)
    if(EXISTS "${_file}" AND NOT IS_DIRECTORY "${_file}")
      list(APPEND _depends "${_file}")
    endif()
  endforeach()
  string(REPLACE ";" ", " _names "${_names}")
  if(ARG_ROM)
    add_custom_command(
      OUTPUT ${_outputs} "${ARG_ROM}"
      COMMAND "${SIGN_TOOL}" ${_flags} "${_key}" "${_cert}" $<TARGET_FILE:efirom> "${ARG_ROM}" ${ARG_IMAGES}
      COMMAND ${CMAKE_COMMAND} -DFILE=${ARG_ROM} -DLIMIT=${OPTION_ROM_BUDGET} -P "${CMAKE_SOURCE_DIR}/cmake/CheckSize.cmake"
      DEPENDS ${_depends}
      COMMENT "Signing ${_names} (${_who}) and making their option ROM"
      VERBATIM)
    list(APPEND _outputs "${ARG_ROM}")
  else()
    list(LENGTH _images _count)
    if(NOT _count EQUAL 1)
      message(FATAL_ERROR "qd520_sign(${TARGET}): without ROM, one IMAGE SIGNED_IMAGE pair")
    endif()
    add_custom_command(
      OUTPUT ${_outputs}
      COMMAND "${SIGN_TOOL}" --image-only ${_flags} "${_key}" "${_cert}" ${ARG_IMAGES}
      DEPENDS ${_depends}
      COMMENT "Signing ${_names} (${_who})"
      VERBATIM)
  endif()
  if(ARG_ALL)
    add_custom_target(${TARGET} ALL DEPENDS ${_outputs})
  else()
    add_custom_target(${TARGET} DEPENDS ${_outputs})
  endif()
endfunction()

# qd520_signed_name(IMAGE OUT): Quandrel520Gop<.arch>.efi -> Quandrel520Gop<.arch>.signed.efi
function(qd520_signed_name IMAGE OUT)
  string(REGEX REPLACE "\\.efi$" ".signed.efi" _signed "${IMAGE}")
  set(${OUT} "${_signed}" PARENT_SCOPE)
endfunction()

# The debug images signed, and their option ROM.
set(_pairs)
foreach(_image IN LISTS QD520_IMAGES)
  qd520_signed_name("${_image}" _signed)
  list(APPEND _pairs "${_image}" "${_signed}")
endforeach()
qd520_signed_name("${QD520_IMAGE_X64}" SIGNED_EFI_IMAGE)
qd520_signed_name("${QD520_IMAGE_AARCH64}" SIGNED_EFI_IMAGE_AARCH64)
qd520_signed_name("${QD520_IMAGE_RISCV64}" SIGNED_EFI_IMAGE_RISCV64)
set(SIGNED_OPTION_ROM "${CMAKE_BINARY_DIR}/Quandrel520Gop.signed.rom")
qd520_sign(Quandrel520GopSigned ALL ROM "${SIGNED_OPTION_ROM}" IMAGES ${_pairs})

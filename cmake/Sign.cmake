# The driver signed for UEFI Secure Boot (sbsigntool) and the option ROM of
# the signed image (EfiRom): Quandrel520Gop.signed.efi and .signed.rom.
#
#   QD520_SIGN_KEY, QD520_SIGN_CERT   the signer's private key and X.509
#                  certificate (PEM); both empty: Debian's snakeoil TEST
#                  pair, whose private key is published (tests only)
#   QD520_SIGN_PASSIN  the key's passphrase as openssl's -passin takes it
#                  (pass:TEXT, env:VAR, file:PATH); empty for none
#
# `make sign KEY=... CERT=... [PASSIN=...]` sets them. Tools/sign-image.sh
# does the work: a key it cannot read, a certificate that is not the key's
# or a missing sbsigntool stops it with one line, and it leaves no signed
# file behind; the unsigned image and ROM are its inputs only.

set(QD520_TEST_SIGN_KEY "/usr/share/ovmf/PkKek-1-snakeoil.key")
set(QD520_TEST_SIGN_CERT "/usr/share/ovmf/PkKek-1-snakeoil.pem")
set(QD520_TEST_SIGN_PASSIN "pass:snakeoil")   # Debian's README.Debian of ovmf

set(QD520_SIGN_KEY "" CACHE FILEPATH "private key that signs the driver (empty: the snakeoil test key)")
set(QD520_SIGN_CERT "" CACHE FILEPATH "certificate of QD520_SIGN_KEY (empty: the snakeoil test certificate)")
set(QD520_SIGN_PASSIN "" CACHE STRING "passphrase of QD520_SIGN_KEY as openssl -passin takes it")

if(QD520_SIGN_KEY STREQUAL "" AND QD520_SIGN_CERT STREQUAL "")
  set(QD520_SIGNED_WITH_TEST_KEY ON)
elseif(QD520_SIGN_KEY STREQUAL "" OR QD520_SIGN_CERT STREQUAL "")
  message(FATAL_ERROR "QD520_SIGN_KEY and QD520_SIGN_CERT go together (make sign KEY=... CERT=...)")
else()
  set(QD520_SIGNED_WITH_TEST_KEY OFF)
endif()

set(SIGN_TOOL "${CMAKE_SOURCE_DIR}/Tools/sign-image.sh")

# qd520_sign(IMAGE SIGNED_IMAGE SIGNED_ROM TARGET [TEST_KEY] [ALL] [IMAGE_ONLY])
#   a custom target TARGET that makes SIGNED_IMAGE and SIGNED_ROM from
#   IMAGE, signed with the configured pair, or with the test pair when
#   TEST_KEY is given; IMAGE_ONLY: no ROM (SIGNED_ROM is ignored).
function(qd520_sign IMAGE SIGNED_IMAGE SIGNED_ROM TARGET)
  cmake_parse_arguments(ARG "TEST_KEY;ALL;IMAGE_ONLY" "" "" ${ARGN})
  if(ARG_TEST_KEY OR QD520_SIGNED_WITH_TEST_KEY)
    set(_key "${QD520_TEST_SIGN_KEY}")
    set(_cert "${QD520_TEST_SIGN_CERT}")
    set(_flags --test-key --passin "${QD520_TEST_SIGN_PASSIN}")
    set(_who "Debian's snakeoil TEST key, not for shipping")
  else()
    set(_key "${QD520_SIGN_KEY}")
    set(_cert "${QD520_SIGN_CERT}")
    set(_flags)
    if(NOT QD520_SIGN_PASSIN STREQUAL "")
      set(_flags --passin "${QD520_SIGN_PASSIN}")
    endif()
    set(_who "${_key}")
  endif()
  # The key and certificate are dependencies when they exist; when they do
  # not, the script says so in one line.
  set(_depends efirom "${IMAGE}" "${SIGN_TOOL}")
  foreach(_file IN ITEMS "${_key}" "${_cert}")
    if(EXISTS "${_file}" AND NOT IS_DIRECTORY "${_file}")
      list(APPEND _depends "${_file}")
    endif()
  endforeach()
  get_filename_component(_name "${SIGNED_IMAGE}" NAME)
  if(ARG_IMAGE_ONLY)
    set(_outputs "${SIGNED_IMAGE}")
    add_custom_command(
      OUTPUT "${SIGNED_IMAGE}"
      COMMAND "${SIGN_TOOL}" --image-only ${_flags} "${_key}" "${_cert}" "${IMAGE}" "${SIGNED_IMAGE}"
      DEPENDS ${_depends}
      COMMENT "Signing ${_name} (${_who})"
      VERBATIM)
  else()
    set(_outputs "${SIGNED_IMAGE}" "${SIGNED_ROM}")
    add_custom_command(
      OUTPUT "${SIGNED_IMAGE}" "${SIGNED_ROM}"
      COMMAND "${SIGN_TOOL}" ${_flags} "${_key}" "${_cert}" $<TARGET_FILE:efirom>
              "${IMAGE}" "${SIGNED_IMAGE}" "${SIGNED_ROM}"
      COMMAND ${CMAKE_COMMAND} -DFILE=${SIGNED_ROM} -DLIMIT=${OPTION_ROM_BUDGET} -P "${CMAKE_SOURCE_DIR}/cmake/CheckSize.cmake"
      DEPENDS ${_depends}
      COMMENT "Signing ${_name} (${_who}) and making its option ROM"
      VERBATIM)
  endif()
  if(ARG_ALL)
    add_custom_target(${TARGET} ALL DEPENDS ${_outputs})
  else()
    add_custom_target(${TARGET} DEPENDS ${_outputs})
  endif()
endfunction()

set(SIGNED_EFI_IMAGE "${CMAKE_BINARY_DIR}/Quandrel520Gop.signed.efi")
set(SIGNED_OPTION_ROM "${CMAKE_BINARY_DIR}/Quandrel520Gop.signed.rom")
qd520_sign("${EFI_IMAGE}" "${SIGNED_EFI_IMAGE}" "${SIGNED_OPTION_ROM}" Quandrel520GopSigned ALL)

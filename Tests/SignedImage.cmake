# The signed image and its option ROM (cmake/Sign.cmake), against the
# unsigned image the build made.
if(NOT QD520_HOST_ONLY)
  qd520_add_test(qdl520_signed_image_tests Qdl520SignedImageTest.cpp)
  add_dependencies(qdl520_signed_image_tests Quandrel520GopSigned)
  target_compile_definitions(qdl520_signed_image_tests PRIVATE
    QD520_EFI_IMAGE="${EFI_IMAGE}"
    QD520_EFI_IMAGE_AARCH64="${QD520_IMAGE_AARCH64}"
    QD520_EFI_IMAGE_RISCV64="${QD520_IMAGE_RISCV64}"
    QD520_SIGNED_EFI_IMAGE="${SIGNED_EFI_IMAGE}"
    QD520_SIGNED_EFI_IMAGE_AARCH64="${SIGNED_EFI_IMAGE_AARCH64}"
    QD520_SIGNED_EFI_IMAGE_RISCV64="${SIGNED_EFI_IMAGE_RISCV64}"
    QD520_SIGNED_OPTION_ROM="${SIGNED_OPTION_ROM}")
endif()

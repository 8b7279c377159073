/** @file
  The driver image and option ROM that the kit's own build tool made from
  the package in an EDK II workspace, for one toolchain and target: the same
  checks as the CMake build's, plus the code revision the INF gives the ROM.

  QD520_KIT_IMAGES names the folder holding the image and its ROM,
  QD520_KIT_ARCH their architecture: X64 (Quandrel520Gop.efi and .rom),
  AARCH64 (Quandrel520Gop.aarch64.efi and .rom) or RISCV64 (.riscv64.).

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "PackagedImage.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using PackagedImage::ReadFile;

class KitImageTest : public ::testing::Test {
protected:
  void
  SetUp (
    ) override
  {
    const char  *Folder = std::getenv ("QD520_KIT_IMAGES");
    const char  *Arch   = std::getenv ("QD520_KIT_ARCH");
    std::string  Name   = "Quandrel520Gop";

    ASSERT_NE (Folder, nullptr) << "QD520_KIT_IMAGES is not set";
    if ((Arch == nullptr) || (std::string (Arch) == "X64")) {
      mMachine = IMAGE_FILE_MACHINE_X64;
    } else if (std::string (Arch) == "AARCH64") {
      mMachine = IMAGE_FILE_MACHINE_ARM64;
      Name    += ".aarch64";
    } else {
      ASSERT_EQ (std::string (Arch), "RISCV64");
      mMachine = IMAGE_FILE_MACHINE_RISCV64;
      Name    += ".riscv64";
    }

    mImagePath = std::string (Folder) + "/" + Name + ".efi";
    mRomPath   = std::string (Folder) + "/" + Name + ".rom";
    mImage     = ReadFile (mImagePath);
    mRom       = ReadFile (mRomPath);
    ASSERT_FALSE (mImage.empty ()) << mImagePath;
    ASSERT_FALSE (mRom.empty ()) << mRomPath;
  }

  UINT16                mMachine = 0;
  std::string           mImagePath;
  std::string           mRomPath;
  std::vector<UINT8>    mImage;
  std::vector<UINT8>    mRom;
};

TEST_F (KitImageTest, ImageIsABootServiceDriverOfItsMachineWithRelocationsAndNoImports) {
  PackagedImage::ExpectBootServiceDriver (mImage, mMachine);
}

/// QD520_KIT_NX_COMPAT=0 for images whose kit cannot mark them NX_COMPAT
/// (the GenFw of edk2-stable202211 for images it converts from ELF).
TEST_F (KitImageTest, SectionsArePageAlignedAndNoneIsWritableAndExecutable) {
  const char  *NxCompat = std::getenv ("QD520_KIT_NX_COMPAT");

  PackagedImage::ExpectProtectableLayout (mImage, (NxCompat == nullptr) || (std::string (NxCompat) != "0"));
}

/// The kit packs the ROM from the INF's PCI_* defines: one compressed image
/// for the QD520, decompressing to the kit-built driver byte for byte.
TEST_F (KitImageTest, RomCarriesTheKitBuiltDriverForTheQd520) {
  PackagedImage::ExpectQd520OptionRom (mRom, { { mMachine, mImage } });
}

} // namespace

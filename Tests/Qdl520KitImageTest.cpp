/** @file
  The driver image and option ROM that the kit's own build tool made from
  the package in an EDK II workspace, for one toolchain and target: the same
  checks as the CMake build's, plus the code revision the INF gives the ROM.

  QD520_KIT_IMAGES names the folder holding Quandrel520Gop.efi and
  Quandrel520Gop.rom.

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

    ASSERT_NE (Folder, nullptr) << "QD520_KIT_IMAGES is not set";
    mImagePath = std::string (Folder) + "/Quandrel520Gop.efi";
    mRomPath   = std::string (Folder) + "/Quandrel520Gop.rom";
    mImage     = ReadFile (mImagePath);
    mRom       = ReadFile (mRomPath);
    ASSERT_FALSE (mImage.empty ()) << mImagePath;
    ASSERT_FALSE (mRom.empty ()) << mRomPath;
  }

  std::string           mImagePath;
  std::string           mRomPath;
  std::vector<UINT8>    mImage;
  std::vector<UINT8>    mRom;
};

TEST_F (KitImageTest, ImageIsAnX64BootServiceDriverWithRelocationsAndNoImports) {
  PackagedImage::ExpectBootServiceDriver (mImage);
}

/// QD520_KIT_NX_COMPAT=0 for images whose kit cannot mark them NX_COMPAT
/// (the GenFw of edk2-stable202211 for images it converts from ELF).
TEST_F (KitImageTest, SectionsArePageAlignedAndNoneIsWritableAndExecutable) {
  const char  *NxCompat = std::getenv ("QD520_KIT_NX_COMPAT");

  PackagedImage::ExpectProtectableLayout (mImage, (NxCompat == nullptr) || (std::string (NxCompat) != "0"));
}

TEST_F (KitImageTest, RomHeadersDescribeOneCompressedEfiImageForTheQd520) {
  PackagedImage::ExpectQd520OptionRomHeaders (mRom);

  PackagedImage::OptionRom  Headers;

  ASSERT_NO_FATAL_FAILURE (PackagedImage::ReadOptionRom (mRom, &Headers));
  EXPECT_EQ (Headers.Pcir.CodeRevision, 0x0003) << "PCI_REVISION of the INF";
}

TEST_F (KitImageTest, RomImageDecompressesToTheKitBuiltDriverByteForByte) {
  PackagedImage::ExpectRomImageDecompressesTo (mRom, mImage);
}

} // namespace

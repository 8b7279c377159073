/** @file
  How the driver is shipped: the PCI option ROM made by EfiRom (headers,
  identifiers, code type, compression, and the image inside decompressing
  to the .efi byte for byte), the production image and ROM (MDEPKG_NDEBUG:
  no debug text left in them), and the EDK II INF, whose source list must
  be the one the CMake build compiles.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "PackagedImage.h"

#include <gtest/gtest-spi.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using PackagedImage::ReadFile;

TEST (OptionRomTest, HeadersDescribeOneCompressedEfiImageForTheQd520) {
  PackagedImage::ExpectQd520OptionRomHeaders (ReadFile (QD520_OPTION_ROM));
}

TEST (OptionRomTest, EmbeddedImageDecompressesToTheDriverByteForByte) {
  PackagedImage::ExpectRomImageDecompressesTo (ReadFile (QD520_OPTION_ROM), ReadFile (QD520_EFI_IMAGE));
}

TEST (EfiImageTest, IsAnX64BootServiceDriverWithRelocationsAndNoImports) {
  std::vector<UINT8>  Image = ReadFile (QD520_EFI_IMAGE);

  PackagedImage::ExpectBootServiceDriver (Image);
  EXPECT_LE (Image.size (), 24u * 1024) << "size budget of the image";
}

TEST (EfiImageTest, SectionsArePageAlignedNoneWritableAndExecutableAndTheImageIsNxCompatible) {
  for (const char *Path : { QD520_EFI_IMAGE, QD520_PRODUCTION_EFI_IMAGE }) {
    SCOPED_TRACE (Path);
    PackagedImage::ExpectProtectableLayout (ReadFile (Path), true);
  }
}

/// The layout check itself: an image of the old 32-byte layout, or one with
/// a section both writable and executable, or without NX_COMPAT, fails it.
TEST (EfiImageTest, LayoutCheckRejectsUnprotectableImages) {
  const std::vector<UINT8>  Image = ReadFile (QD520_EFI_IMAGE);

  ASSERT_FALSE (Image.empty ());
  auto    Dos      = PackagedImage::At<EFI_IMAGE_DOS_HEADER>(Image, 0);
  size_t  Optional = Dos.e_lfanew + OFFSET_OF (EFI_IMAGE_NT_HEADERS64, OptionalHeader);
  size_t  Sections = Optional + PackagedImage::At<EFI_IMAGE_NT_HEADERS64>(Image, Dos.e_lfanew).FileHeader.SizeOfOptionalHeader;

  std::vector<UINT8>  Packed = Image;
  UINT32              OldAlignment = 0x20;

  std::memcpy (&Packed[Optional + OFFSET_OF (EFI_IMAGE_OPTIONAL_HEADER64, SectionAlignment)], &OldAlignment, sizeof (OldAlignment));
  EXPECT_NONFATAL_FAILURE (PackagedImage::ExpectProtectableLayout (Packed, true), "SectionAlignment");

  std::vector<UINT8>  Writable = Image;
  UINT32              Characteristics;
  size_t              First = Sections + OFFSET_OF (EFI_IMAGE_SECTION_HEADER, Characteristics);

  std::memcpy (&Characteristics, &Writable[First], sizeof (Characteristics));
  Characteristics |= EFI_IMAGE_SCN_MEM_WRITE;
  std::memcpy (&Writable[First], &Characteristics, sizeof (Characteristics));
  EXPECT_NONFATAL_FAILURE (PackagedImage::ExpectProtectableLayout (Writable, true), "writable and executable");

  std::vector<UINT8>  NoNx = Image;
  size_t              Dll  = Optional + OFFSET_OF (EFI_IMAGE_OPTIONAL_HEADER64, DllCharacteristics);

  NoNx[Dll + 1] &= ~(PackagedImage::DllCharacteristicsNxCompat >> 8);
  EXPECT_NONFATAL_FAILURE (PackagedImage::ExpectProtectableLayout (NoNx, true), "NX_COMPAT");
}

/// True when Text occurs in Bytes.
bool
Contains (
  const std::vector<UINT8>  &Bytes,
  const std::string         &Text
  )
{
  return std::search (Bytes.begin (), Bytes.end (), Text.begin (), Text.end ()) != Bytes.end ();
}

TEST (ProductionImageTest, IsABootServiceDriverWithoutDebugTextWithinItsBudget) {
  std::vector<UINT8>  Image = ReadFile (QD520_PRODUCTION_EFI_IMAGE);
  std::vector<UINT8>  Debug = ReadFile (QD520_EFI_IMAGE);

  PackagedImage::ExpectBootServiceDriver (Image);
  EXPECT_LE (Image.size (), 24u * 1024) << "size budget of the image";
  EXPECT_LT (Image.size (), Debug.size ());

  //
  // The banner, the step message and the assertion texts are in the debug
  // image only.
  //
  for (const char *Text : { "EFI520 V1.00.07.00", "line:%d,Status:%r", "ASSERT", ".cpp" }) {
    EXPECT_TRUE (Contains (Debug, Text)) << Text;
    EXPECT_FALSE (Contains (Image, Text)) << Text;
  }
}

TEST (ProductionImageTest, RomHoldsTheProductionImageByteForByte) {
  std::vector<UINT8>  Rom = ReadFile (QD520_PRODUCTION_OPTION_ROM);

  PackagedImage::ExpectQd520OptionRomHeaders (Rom);
  EXPECT_LE (Rom.size (), 14u * 1024) << "size budget of the option ROM";
  PackagedImage::ExpectRomImageDecompressesTo (Rom, ReadFile (QD520_PRODUCTION_EFI_IMAGE));
}

/// The lines of one section of an INF, comments and blanks dropped.
std::vector<std::string>
InfSection (
  const std::string  &Path,
  const std::string  &Section
  )
{
  std::ifstream             File (Path);
  std::string               Line;
  bool                      Inside = false;
  std::vector<std::string>  Lines;

  while (std::getline (File, Line)) {
    Line = Line.substr (0, Line.find ('#'));
    Line.erase (0, Line.find_first_not_of (" \t\r"));
    Line.erase (Line.find_last_not_of (" \t\r") + 1);
    if (Line.empty ()) {
      continue;
    }

    if (Line[0] == '[') {
      Inside = (Line == "[" + Section + "]");
      continue;
    }

    if (Inside) {
      Lines.push_back (Line);
    }
  }

  return Lines;
}

TEST (InfTest, SourcesAreTheOnesTheBuildCompiles) {
  std::vector<std::string>  Inf = InfSection (QD520_DRIVER_INF, "Sources");
  std::set<std::string>     InfUnits;
  std::set<std::string>     BuildUnits;
  std::ifstream             Built (QD520_DRIVER_SOURCES);
  std::string               Source;

  ASSERT_FALSE (Inf.empty ());
  for (const std::string &Entry : Inf) {
    if (Entry.size () > 4 && Entry.compare (Entry.size () - 4, 4, ".cpp") == 0) {
      InfUnits.insert (Entry);
    }

    std::ifstream  Present (std::string (QD520_DRIVER_DIR) + "/" + Entry);

    EXPECT_TRUE (Present.good ()) << Entry << " is listed but missing";
  }

  while (std::getline (Built, Source)) {
    if (!Source.empty ()) {
      BuildUnits.insert (Source.substr (Source.find_last_of ('/') + 1));
    }
  }

  ASSERT_FALSE (BuildUnits.empty ()) << QD520_DRIVER_SOURCES;

  EXPECT_EQ (InfUnits, BuildUnits);
}

TEST (InfTest, DefinesTheDriverModuleAndItsEntryPoint) {
  std::vector<std::string>  Defines = InfSection (QD520_DRIVER_INF, "Defines");
  auto                      Has     = [&](const std::string &Key, const std::string &Value) {
                                        for (std::string Line : Defines) {
                                          Line.erase (std::remove (Line.begin (), Line.end (), ' '), Line.end ());
                                          if (Line == Key + "=" + Value) {
                                            return true;
                                          }
                                        }

                                        return false;
                                      };

  EXPECT_TRUE (Has ("BASE_NAME", "Quandrel520Gop"));
  EXPECT_TRUE (Has ("MODULE_TYPE", "UEFI_DRIVER"));
  EXPECT_TRUE (Has ("ENTRY_POINT", "InitializeQdl520"));
  EXPECT_TRUE (Has ("PCI_VENDOR_ID", "0x7A3C"));
  EXPECT_TRUE (Has ("PCI_DEVICE_ID", "0x0520"));
  EXPECT_TRUE (Has ("PCI_CLASS_CODE", "0x030000"));
}

} // namespace

/** @file
  How the driver is shipped: the PCI option ROM made by EfiRom with the
  X64, AArch64 and RISC-V 64 images in that order (headers, identifiers,
  code type, machine types, compression, each image decompressing to its
  .efi byte for byte), the production images and ROM (MDEPKG_NDEBUG: no
  debug text left in them), and the EDK II INF, whose source list must be
  the one the CMake build compiles.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "PackagedImage.h"

#include <gtest/gtest-spi.h>

#include <algorithm>
#include <functional>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using PackagedImage::ReadFile;

/// The images of one configuration, in the ROM's order.
const char * const  mDebugImages[]      = { QD520_EFI_IMAGE, QD520_EFI_IMAGE_AARCH64, QD520_EFI_IMAGE_RISCV64 };
const char * const  mProductionImages[] = {
  QD520_PRODUCTION_EFI_IMAGE, QD520_PRODUCTION_EFI_IMAGE_AARCH64, QD520_PRODUCTION_EFI_IMAGE_RISCV64
};

/// The ROM's expected contents: each image of Paths with its machine type.
std::vector<PackagedImage::ExpectedRomImage>
Expected (
  const char * const  (&Paths)[3]
  )
{
  std::vector<PackagedImage::ExpectedRomImage>  Images;

  for (size_t Index = 0; Index < 3; Index++) {
    Images.push_back ({ PackagedImage::ShippedMachines[Index], ReadFile (Paths[Index]) });
  }

  return Images;
}

TEST (OptionRomTest, CarriesTheX64AArch64AndRiscV64ImagesForTheQd520) {
  std::vector<UINT8>  Rom = ReadFile (QD520_OPTION_ROM);

  PackagedImage::ExpectQd520OptionRom (Rom, Expected (mDebugImages));
  EXPECT_LE (Rom.size (), 64u * 1024) << "size budget of the option ROM";
}

/// The messages of the failures Check reports, kept from the test's result.
std::vector<std::string>
FailuresOf (
  const std::function<void ()>  &Check
  )
{
  ::testing::TestPartResultArray  Results;

  {
    ::testing::ScopedFakeTestPartResultReporter  Reporter (
                                                   ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                                                   &Results
                                                   );
    Check ();
  }

  std::vector<std::string>  Messages;

  for (int Index = 0; Index < Results.size (); Index++) {
    Messages.push_back (Results.GetTestPartResult (Index).message ());
  }

  return Messages;
}

/// Whether one of Messages mentions Text.
bool
Mentions (
  const std::vector<std::string>  &Messages,
  const std::string               &Text
  )
{
  return std::any_of (Messages.begin (), Messages.end (), [&](const std::string &Message) {
                        return Message.find (Text) != std::string::npos;
                      });
}

/// The ROM check itself, on copies of the ROM changed as a packer can go
/// wrong: a class code or revision given to the first image only, the
/// last-image indicator on the first image, an image of the wrong machine.
TEST (OptionRomTest, CheckRejectsMisPackedRoms) {
  const std::vector<UINT8>               Rom      = ReadFile (QD520_OPTION_ROM);
  const auto                             Images   = Expected (mDebugImages);
  std::vector<PackagedImage::OptionRom>  Headers;

  ASSERT_NO_FATAL_FAILURE (PackagedImage::RomImages (Rom, &Headers));
  ASSERT_EQ (Headers.size (), 3u);

  auto  Pcir = [&](size_t Image, size_t Field) {
                 return Headers[Image].Offset + Headers[Image].Header.PcirOffset + Field;
               };
  auto  Check = [&](const std::vector<UINT8> &Changed) {
                  return FailuresOf ([&] { PackagedImage::ExpectQd520OptionRom (Changed, Images); });
                };

  EXPECT_TRUE (Check (Rom).empty ());

  std::vector<UINT8>  NoClass = Rom;
  std::fill_n (NoClass.begin () + Pcir (1, OFFSET_OF (PCI_3_0_DATA_STRUCTURE, ClassCode)), 3, 0);
  EXPECT_TRUE (Mentions (Check (NoClass), "ClassCode"));

  std::vector<UINT8>  NoRevision = Rom;
  std::fill_n (NoRevision.begin () + Pcir (2, OFFSET_OF (PCI_3_0_DATA_STRUCTURE, CodeRevision)), 2, 0);
  EXPECT_TRUE (Mentions (Check (NoRevision), "CodeRevision"));

  std::vector<UINT8>  LastTooSoon = Rom;
  LastTooSoon[Pcir (0, OFFSET_OF (PCI_3_0_DATA_STRUCTURE, Indicator))] |= PackagedImage::LastImageIndicator;
  EXPECT_TRUE (Mentions (Check (LastTooSoon), "images in the ROM"));

  std::vector<UINT8>  NotLast = Rom;
  NotLast[Pcir (2, OFFSET_OF (PCI_3_0_DATA_STRUCTURE, Indicator))] &= ~PackagedImage::LastImageIndicator;
  EXPECT_TRUE (Mentions (Check (NotLast), "last-image indicator"));

  std::vector<UINT8>  WrongMachine = Rom;
  UINT16              X64          = IMAGE_FILE_MACHINE_X64;
  std::memcpy (&WrongMachine[Headers[1].Offset + OFFSET_OF (EFI_PCI_EXPANSION_ROM_HEADER, EfiMachineType)], &X64, sizeof (X64));
  EXPECT_TRUE (Mentions (Check (WrongMachine), "EfiMachineType"));
}

TEST (EfiImageTest, AreBootServiceDriversOfTheirMachineWithRelocationsAndNoImports) {
  for (size_t Index = 0; Index < 3; Index++) {
    for (const char *Path : { mDebugImages[Index], mProductionImages[Index] }) {
      SCOPED_TRACE (Path);
      PackagedImage::ExpectBootServiceDriver (ReadFile (Path), PackagedImage::ShippedMachines[Index]);
    }
  }

  EXPECT_LE (ReadFile (QD520_EFI_IMAGE).size (), 32u * 1024) << "size budget of the image";
  EXPECT_LE (ReadFile (QD520_EFI_IMAGE_AARCH64).size (), 32u * 1024) << "size budget of the image";
}

/// The RISC-V images are converted by the kit's GenFw, which marks
/// NX_COMPAT from edk2-stable2024xx on (QD520_GENFW_MARKS_NX_COMPAT).
TEST (EfiImageTest, SectionsArePageAlignedNoneWritableAndExecutableAndTheImagesAreNxCompatible) {
  for (size_t Index = 0; Index < 3; Index++) {
    bool  NxCompat = (PackagedImage::ShippedMachines[Index] != IMAGE_FILE_MACHINE_RISCV64) ||
                     QD520_GENFW_MARKS_NX_COMPAT;

    for (const char *Path : { mDebugImages[Index], mProductionImages[Index] }) {
      SCOPED_TRACE (Path);
      PackagedImage::ExpectProtectableLayout (ReadFile (Path), NxCompat);
    }
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

TEST (ProductionImageTest, AreWithoutDebugTextWithinTheirBudget) {
  for (size_t Index = 0; Index < 3; Index++) {
    std::vector<UINT8>  Image = ReadFile (mProductionImages[Index]);
    std::vector<UINT8>  Debug = ReadFile (mDebugImages[Index]);

    SCOPED_TRACE (mProductionImages[Index]);
    EXPECT_LT (Image.size (), Debug.size ());

    //
    // The banner, the step message and the assertion texts are in the debug
    // image only.
    //
    for (const char *Text : { "EFI520 V1.00.07.00", "line:%d,Status:%r", "ASSERT %a(%d)", ".cpp" }) {
      EXPECT_TRUE (Contains (Debug, Text)) << Text;
      EXPECT_FALSE (Contains (Image, Text)) << Text;
    }
  }

  EXPECT_LE (ReadFile (QD520_PRODUCTION_EFI_IMAGE).size (), 24u * 1024) << "size budget of the image";
  EXPECT_LE (ReadFile (QD520_PRODUCTION_EFI_IMAGE_AARCH64).size (), 24u * 1024) << "size budget of the image";
}

TEST (ProductionImageTest, RomCarriesTheThreeProductionImagesByteForByte) {
  std::vector<UINT8>  Rom = ReadFile (QD520_PRODUCTION_OPTION_ROM);

  PackagedImage::ExpectQd520OptionRom (Rom, Expected (mProductionImages));
  EXPECT_LE (Rom.size (), 32u * 1024) << "size budget of the option ROM";
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

/// The INF's VERSION_STRING is the version the driver announces in its
/// banner ("EFI520 V<version>"): the images' SBOM takes it from the INF.
TEST (InfTest, VersionIsTheOneTheDriverAnnounces) {
  std::vector<std::string>  Defines = InfSection (QD520_DRIVER_INF, "Defines");
  std::string               Version;

  for (std::string Line : Defines) {
    Line.erase (std::remove (Line.begin (), Line.end (), ' '), Line.end ());
    if (Line.rfind ("VERSION_STRING=", 0) == 0) {
      Version = Line.substr (std::strlen ("VERSION_STRING="));
    }
  }

  ASSERT_FALSE (Version.empty ()) << "no VERSION_STRING";
  EXPECT_TRUE (Contains (ReadFile (QD520_EFI_IMAGE), "EFI520 V" + Version + std::string (1, '\0')))
    << "the debug image's banner is not EFI520 V" << Version;
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

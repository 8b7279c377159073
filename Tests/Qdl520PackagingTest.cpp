/** @file
  How the driver is shipped: the PCI option ROM made by EfiRom (headers,
  identifiers, code type, compression, and the image inside decompressing
  to the .efi byte for byte) and the EDK II INF, whose source list must be
  the one the CMake build compiles.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/Pci.h>
#include <IndustryStandard/PeImage.h>
#include <Library/UefiDecompressLib.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<UINT8>
ReadFile (
  const std::string  &Path
  )
{
  std::ifstream  File (Path, std::ios::binary);

  return std::vector<UINT8>(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
}

template <typename T>
T
At (
  const std::vector<UINT8>  &Bytes,
  size_t                    Offset
  )
{
  T  Value;

  std::memcpy (&Value, Bytes.data () + Offset, sizeof (Value));
  return Value;
}

class OptionRomTest : public ::testing::Test {
protected:
  void
  SetUp (
    ) override
  {
    mRom   = ReadFile (QD520_OPTION_ROM);
    mImage = ReadFile (QD520_EFI_IMAGE);
    ASSERT_GE (mRom.size (), sizeof (EFI_PCI_EXPANSION_ROM_HEADER)) << QD520_OPTION_ROM;
    ASSERT_FALSE (mImage.empty ()) << QD520_EFI_IMAGE;
    mHeader = At<EFI_PCI_EXPANSION_ROM_HEADER>(mRom, 0);
    ASSERT_LE (mHeader.PcirOffset + sizeof (PCI_3_0_DATA_STRUCTURE), mRom.size ());
    mPcir = At<PCI_3_0_DATA_STRUCTURE>(mRom, mHeader.PcirOffset);
  }

  std::vector<UINT8>             mRom;
  std::vector<UINT8>             mImage;
  EFI_PCI_EXPANSION_ROM_HEADER   mHeader;
  PCI_3_0_DATA_STRUCTURE         mPcir;
};

TEST_F (OptionRomTest, HeadersDescribeOneCompressedEfiImageForTheQd520) {
  EXPECT_EQ (mHeader.Signature, PCI_EXPANSION_ROM_HEADER_SIGNATURE);
  EXPECT_EQ (mHeader.EfiSignature, EFI_PCI_EXPANSION_ROM_HEADER_EFISIGNATURE);
  EXPECT_EQ (mHeader.EfiSubsystem, EFI_IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER);
  EXPECT_EQ (mHeader.EfiMachineType, IMAGE_FILE_MACHINE_X64);
  EXPECT_EQ (mHeader.CompressionType, EFI_PCI_EXPANSION_ROM_HEADER_COMPRESSED);
  EXPECT_EQ (mHeader.InitializationSize * 512u, mRom.size ());

  EXPECT_EQ (mPcir.Signature, PCI_DATA_STRUCTURE_SIGNATURE);
  EXPECT_EQ (mPcir.VendorId, 0x7A3C);
  EXPECT_EQ (mPcir.DeviceId, 0x0520);
  EXPECT_EQ (mPcir.ClassCode[0], 0x00);   // programming interface
  EXPECT_EQ (mPcir.ClassCode[1], 0x00);   // subclass: VGA-compatible
  EXPECT_EQ (mPcir.ClassCode[2], 0x03);   // base class: display controller
  EXPECT_EQ (mPcir.CodeType, PCI_CODE_TYPE_EFI_IMAGE);
  EXPECT_EQ (mPcir.Indicator & 0x80, 0x80) << "the only image is the last one";
  EXPECT_EQ (mPcir.ImageLength * 512u, mRom.size ());
  EXPECT_EQ (mRom.size () % 512, 0u);
}

TEST_F (OptionRomTest, EmbeddedImageDecompressesToTheDriverByteForByte) {
  ASSERT_LT (mHeader.EfiImageHeaderOffset, mRom.size ());

  const UINT8  *Compressed = mRom.data () + mHeader.EfiImageHeaderOffset;
  UINT32       CompressedSize = (UINT32)(mRom.size () - mHeader.EfiImageHeaderOffset);
  UINT32       DestinationSize = 0;
  UINT32       ScratchSize = 0;

  ASSERT_EQ (UefiDecompressGetInfo (Compressed, CompressedSize, &DestinationSize, &ScratchSize), RETURN_SUCCESS);
  ASSERT_EQ (DestinationSize, mImage.size ());

  std::vector<UINT8>  Destination (DestinationSize);
  std::vector<UINT8>  Scratch (ScratchSize);

  ASSERT_EQ (UefiDecompress (Compressed, Destination.data (), Scratch.data ()), RETURN_SUCCESS);
  EXPECT_TRUE (Destination == mImage) << "the ROM holds another image than " << QD520_EFI_IMAGE;
  EXPECT_LT (CompressedSize, mImage.size ()) << "the image is stored compressed";
}

TEST (EfiImageTest, IsAnX64BootServiceDriverWithRelocationsAndNoImports) {
  std::vector<UINT8>  Image = ReadFile (QD520_EFI_IMAGE);

  ASSERT_GE (Image.size (), sizeof (EFI_IMAGE_DOS_HEADER));
  auto  Dos = At<EFI_IMAGE_DOS_HEADER>(Image, 0);

  ASSERT_EQ (Dos.e_magic, EFI_IMAGE_DOS_SIGNATURE);
  ASSERT_LE (Dos.e_lfanew + sizeof (EFI_IMAGE_NT_HEADERS64), Image.size ());
  auto  Nt = At<EFI_IMAGE_NT_HEADERS64>(Image, Dos.e_lfanew);

  EXPECT_EQ (Nt.Signature, EFI_IMAGE_NT_SIGNATURE);
  EXPECT_EQ (Nt.FileHeader.Machine, IMAGE_FILE_MACHINE_X64);
  EXPECT_EQ (Nt.OptionalHeader.Magic, EFI_IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ (Nt.OptionalHeader.Subsystem, EFI_IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER);
  EXPECT_EQ (Nt.FileHeader.Characteristics & EFI_IMAGE_FILE_RELOCS_STRIPPED, 0);
  EXPECT_NE (Nt.OptionalHeader.DataDirectory[EFI_IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
  EXPECT_EQ (Nt.OptionalHeader.DataDirectory[EFI_IMAGE_DIRECTORY_ENTRY_IMPORT].Size, 0u);
  EXPECT_LE (Image.size (), 24u * 1024) << "size budget of the image";
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

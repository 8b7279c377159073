/** @file
  Checks of a shipped driver image and of the PCI option ROM that carries it,
  shared by the tests of every build that produces them: the image is an x64
  PE32+ EFI boot-service driver with base relocations and no imports; the
  ROM is one compressed EFI image for the QD520 (7A3C:0520, display class
  0x030000) that decompresses, with the firmware's own decompressor, to the
  image byte for byte.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_PACKAGED_IMAGE_H_
#define QD520_PACKAGED_IMAGE_H_

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/Pci.h>
#include <IndustryStandard/PeImage.h>
#include <Library/UefiDecompressLib.h>
}

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace PackagedImage {

inline
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

/// The two headers of a one-image option ROM, read from its first bytes.
struct OptionRom {
  EFI_PCI_EXPANSION_ROM_HEADER    Header;
  PCI_3_0_DATA_STRUCTURE          Pcir;
};

/// Reads the headers of Rom; fails the test when Rom is too short to hold them.
inline
void
ReadOptionRom (
  const std::vector<UINT8>  &Rom,
  OptionRom                 *Headers
  )
{
  ASSERT_GE (Rom.size (), sizeof (EFI_PCI_EXPANSION_ROM_HEADER));
  Headers->Header = At<EFI_PCI_EXPANSION_ROM_HEADER>(Rom, 0);
  ASSERT_LE (Headers->Header.PcirOffset + sizeof (PCI_3_0_DATA_STRUCTURE), Rom.size ());
  Headers->Pcir = At<PCI_3_0_DATA_STRUCTURE>(Rom, Headers->Header.PcirOffset);
}

/// The ROM holds one compressed x64 boot-service driver image for the QD520.
inline
void
ExpectQd520OptionRomHeaders (
  const std::vector<UINT8>  &Rom
  )
{
  OptionRom  Headers;

  ASSERT_NO_FATAL_FAILURE (ReadOptionRom (Rom, &Headers));
  EXPECT_EQ (Headers.Header.Signature, PCI_EXPANSION_ROM_HEADER_SIGNATURE);
  EXPECT_EQ (Headers.Header.EfiSignature, EFI_PCI_EXPANSION_ROM_HEADER_EFISIGNATURE);
  EXPECT_EQ (Headers.Header.EfiSubsystem, EFI_IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER);
  EXPECT_EQ (Headers.Header.EfiMachineType, IMAGE_FILE_MACHINE_X64);
  EXPECT_EQ (Headers.Header.CompressionType, EFI_PCI_EXPANSION_ROM_HEADER_COMPRESSED);
  EXPECT_EQ (Headers.Header.InitializationSize * 512u, Rom.size ());

  EXPECT_EQ (Headers.Pcir.Signature, PCI_DATA_STRUCTURE_SIGNATURE);
  EXPECT_EQ (Headers.Pcir.VendorId, 0x7A3C);
  EXPECT_EQ (Headers.Pcir.DeviceId, 0x0520);
  EXPECT_EQ (Headers.Pcir.ClassCode[0], 0x00);   // programming interface
  EXPECT_EQ (Headers.Pcir.ClassCode[1], 0x00);   // subclass: VGA-compatible
  EXPECT_EQ (Headers.Pcir.ClassCode[2], 0x03);   // base class: display controller
  EXPECT_EQ (Headers.Pcir.CodeType, PCI_CODE_TYPE_EFI_IMAGE);
  EXPECT_EQ (Headers.Pcir.Indicator & 0x80, 0x80) << "the only image is the last one";
  EXPECT_EQ (Headers.Pcir.ImageLength * 512u, Rom.size ());
  EXPECT_EQ (Rom.size () % 512, 0u);
}

/// The ROM's compressed image decompresses to Image exactly and is smaller.
inline
void
ExpectRomImageDecompressesTo (
  const std::vector<UINT8>  &Rom,
  const std::vector<UINT8>  &Image
  )
{
  OptionRom  Headers;

  ASSERT_NO_FATAL_FAILURE (ReadOptionRom (Rom, &Headers));
  ASSERT_FALSE (Image.empty ());
  ASSERT_LT (Headers.Header.EfiImageHeaderOffset, Rom.size ());

  const UINT8  *Compressed     = Rom.data () + Headers.Header.EfiImageHeaderOffset;
  UINT32       CompressedSize  = (UINT32)(Rom.size () - Headers.Header.EfiImageHeaderOffset);
  UINT32       DestinationSize = 0;
  UINT32       ScratchSize     = 0;

  ASSERT_EQ (UefiDecompressGetInfo (Compressed, CompressedSize, &DestinationSize, &ScratchSize), RETURN_SUCCESS);
  ASSERT_EQ (DestinationSize, Image.size ());

  std::vector<UINT8>  Destination (DestinationSize);
  std::vector<UINT8>  Scratch (ScratchSize);

  ASSERT_EQ (UefiDecompress (Compressed, Destination.data (), Scratch.data ()), RETURN_SUCCESS);
  EXPECT_TRUE (Destination == Image) << "the ROM holds another image";
  EXPECT_LT (CompressedSize, Image.size ()) << "the image is stored compressed";
}

/// Image is an x64 PE32+ EFI boot-service driver, relocatable, importing nothing.
inline
void
ExpectBootServiceDriver (
  const std::vector<UINT8>  &Image
  )
{
  ASSERT_GE (Image.size (), sizeof (EFI_IMAGE_DOS_HEADER));
  auto  Dos = At<EFI_IMAGE_DOS_HEADER>(Image, 0);

  ASSERT_EQ (Dos.e_magic, EFI_IMAGE_DOS_SIGNATURE);
  ASSERT_LE (Dos.e_lfanew + sizeof (EFI_IMAGE_NT_HEADERS64), Image.size ());
  auto  Nt = At<EFI_IMAGE_NT_HEADERS64>(Image, Dos.e_lfanew);

  EXPECT_EQ (Nt.Signature, EFI_IMAGE_NT_SIGNATURE);
  EXPECT_EQ (Nt.FileHeader.Machine, IMAGE_FILE_MACHINE_X64);
  EXPECT_EQ (Nt.OptionalHeader.Magic, EFI_IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ (Nt.OptionalHeader.Subsystem, EFI_IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER);
  EXPECT_NE (Nt.OptionalHeader.AddressOfEntryPoint, 0u);
  EXPECT_EQ (Nt.FileHeader.Characteristics & EFI_IMAGE_FILE_RELOCS_STRIPPED, 0);
  ASSERT_GT (Nt.OptionalHeader.NumberOfRvaAndSizes, (UINT32)EFI_IMAGE_DIRECTORY_ENTRY_BASERELOC);
  EXPECT_NE (Nt.OptionalHeader.DataDirectory[EFI_IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
  EXPECT_EQ (Nt.OptionalHeader.DataDirectory[EFI_IMAGE_DIRECTORY_ENTRY_IMPORT].Size, 0u);
}

/// Page size of firmware memory protection: the granule in which a loader can
/// make code read-only and data no-execute.
constexpr UINT32  ProtectionPageSize = 0x1000;

/// IMAGE_DLLCHARACTERISTICS_NX_COMPAT: the image keeps code and data apart, so
/// the loader may map its data no-execute.
constexpr UINT16  DllCharacteristicsNxCompat = 0x0100;

/// The section headers of Image, after its optional header.
inline
std::vector<EFI_IMAGE_SECTION_HEADER>
SectionHeaders (
  const std::vector<UINT8>  &Image
  )
{
  auto    Dos   = At<EFI_IMAGE_DOS_HEADER>(Image, 0);
  auto    Nt    = At<EFI_IMAGE_NT_HEADERS64>(Image, Dos.e_lfanew);
  size_t  First = Dos.e_lfanew + OFFSET_OF (EFI_IMAGE_NT_HEADERS64, OptionalHeader) +
                  Nt.FileHeader.SizeOfOptionalHeader;

  std::vector<EFI_IMAGE_SECTION_HEADER>  Sections;

  for (UINT16 Index = 0; Index < Nt.FileHeader.NumberOfSections; Index++) {
    size_t  Offset = First + Index * sizeof (EFI_IMAGE_SECTION_HEADER);

    if (Offset + sizeof (EFI_IMAGE_SECTION_HEADER) > Image.size ()) {
      break;
    }

    Sections.push_back (At<EFI_IMAGE_SECTION_HEADER>(Image, Offset));
  }

  return Sections;
}

/// Image can be protected by the firmware that loads it: every section starts
/// on a page of its own, no section is both writable and executable, and
/// (when NxCompat) the image declares NX_COMPAT.
inline
void
ExpectProtectableLayout (
  const std::vector<UINT8>  &Image,
  bool                      NxCompat
  )
{
  ASSERT_GE (Image.size (), sizeof (EFI_IMAGE_DOS_HEADER));
  auto  Dos = At<EFI_IMAGE_DOS_HEADER>(Image, 0);

  ASSERT_EQ (Dos.e_magic, EFI_IMAGE_DOS_SIGNATURE);
  ASSERT_LE (Dos.e_lfanew + sizeof (EFI_IMAGE_NT_HEADERS64), Image.size ());
  auto  Nt = At<EFI_IMAGE_NT_HEADERS64>(Image, Dos.e_lfanew);

  EXPECT_EQ (Nt.OptionalHeader.SectionAlignment, ProtectionPageSize);
  EXPECT_LE (Nt.OptionalHeader.SizeOfHeaders, ProtectionPageSize) << "the headers share no page with a section";
  EXPECT_EQ (Nt.OptionalHeader.SizeOfImage % ProtectionPageSize, 0u);
  if (NxCompat) {
    EXPECT_NE (Nt.OptionalHeader.DllCharacteristics & DllCharacteristicsNxCompat, 0) << "NX_COMPAT";
  }

  auto  Sections = SectionHeaders (Image);

  ASSERT_EQ (Sections.size (), Nt.FileHeader.NumberOfSections);
  for (const EFI_IMAGE_SECTION_HEADER &Section : Sections) {
    const char   *Text = reinterpret_cast<const char *>(Section.Name);
    std::string  Name (Text, strnlen (Text, sizeof (Section.Name)));
    UINT32       Writable   = Section.Characteristics & EFI_IMAGE_SCN_MEM_WRITE;
    UINT32       Executable = Section.Characteristics & (EFI_IMAGE_SCN_MEM_EXECUTE | EFI_IMAGE_SCN_CNT_CODE);

    EXPECT_EQ (Section.VirtualAddress % ProtectionPageSize, 0u) << Name << " starts within a page";
    EXPECT_FALSE ((Writable != 0) && (Executable != 0)) << Name << " is writable and executable";
  }
}

} // namespace PackagedImage

#endif // QD520_PACKAGED_IMAGE_H_

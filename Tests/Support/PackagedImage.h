/** @file
  Checks of the shipped driver images and of the PCI option ROMs that carry
  them, shared by the tests of every build that produces them: an image is
  a PE32+ EFI boot-service driver of its machine type with base relocations
  and no imports; a ROM is a chain of compressed EFI images for the QD520
  (7A3C:0520, display class 0x030000, code revision 3), walked as the
  firmware's PCI bus driver walks it, each decompressing with the firmware's
  own decompressor to its image byte for byte.

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

#include <algorithm>
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

/// The two headers of one image of an option ROM, and where it starts.
struct OptionRom {
  size_t                          Offset;
  EFI_PCI_EXPANSION_ROM_HEADER    Header;
  PCI_3_0_DATA_STRUCTURE          Pcir;
};

/// The PCI data structure's indicator bit that marks the last image.
constexpr UINT8  LastImageIndicator = 0x80;

/// Reads the headers of the image at Offset of Rom; fails the test when Rom
/// is too short to hold them.
inline
void
ReadOptionRom (
  const std::vector<UINT8>  &Rom,
  OptionRom                 *Headers,
  size_t                    Offset = 0
  )
{
  ASSERT_GE (Rom.size (), Offset + sizeof (EFI_PCI_EXPANSION_ROM_HEADER));
  Headers->Offset = Offset;
  Headers->Header = At<EFI_PCI_EXPANSION_ROM_HEADER>(Rom, Offset);
  ASSERT_LE (Offset + Headers->Header.PcirOffset + sizeof (PCI_3_0_DATA_STRUCTURE), Rom.size ());
  Headers->Pcir = At<PCI_3_0_DATA_STRUCTURE>(Rom, Offset + Headers->Header.PcirOffset);
}

/// The images of Rom as the firmware finds them: from the start, each
/// image ImageLength blocks of 512 bytes long, until the one whose
/// indicator marks it the last or the ROM ends. Fails the test on an image
/// of no length or whose headers do not fit.
inline
void
RomImages (
  const std::vector<UINT8>  &Rom,
  std::vector<OptionRom>    *Images
  )
{
  size_t  Offset = 0;

  Images->clear ();
  while (Offset < Rom.size ()) {
    OptionRom  Headers;

    ASSERT_NO_FATAL_FAILURE (ReadOptionRom (Rom, &Headers, Offset));
    Images->push_back (Headers);
    ASSERT_NE (Headers.Pcir.ImageLength, 0) << "image at " << Offset << " has no length";
    Offset += Headers.Pcir.ImageLength * 512u;
    if ((Headers.Pcir.Indicator & LastImageIndicator) != 0) {
      break;
    }
  }
}

/// The compressed image at Image decompresses to Efi exactly, and is smaller.
inline
void
ExpectRomImageDecompressesTo (
  const std::vector<UINT8>  &Rom,
  const OptionRom           &Image,
  const std::vector<UINT8>  &Efi
  )
{
  size_t  Start = Image.Offset + Image.Header.EfiImageHeaderOffset;
  size_t  End   = Image.Offset + Image.Pcir.ImageLength * 512u;

  ASSERT_FALSE (Efi.empty ());
  ASSERT_LT (Start, End);
  ASSERT_LE (End, Rom.size ());

  const UINT8  *Compressed     = Rom.data () + Start;
  UINT32       CompressedSize  = (UINT32)(End - Start);
  UINT32       DestinationSize = 0;
  UINT32       ScratchSize     = 0;

  ASSERT_EQ (UefiDecompressGetInfo (Compressed, CompressedSize, &DestinationSize, &ScratchSize), RETURN_SUCCESS);
  ASSERT_EQ (DestinationSize, Efi.size ());

  std::vector<UINT8>  Destination (DestinationSize);
  std::vector<UINT8>  Scratch (ScratchSize);

  ASSERT_EQ (UefiDecompress (Compressed, Destination.data (), Scratch.data ()), RETURN_SUCCESS);
  EXPECT_TRUE (Destination == Efi) << "the ROM holds another image";
  EXPECT_LT (CompressedSize, Efi.size ()) << "the image is stored compressed";
}

/// An image an option ROM must carry: its machine type and its .efi file.
struct ExpectedRomImage {
  UINT16                Machine;
  std::vector<UINT8>    Efi;
};

/// The machine types of the ROM the project ships, in its order.
constexpr UINT16  ShippedMachines[] = { IMAGE_FILE_MACHINE_X64, IMAGE_FILE_MACHINE_ARM64, IMAGE_FILE_MACHINE_RISCV64 };

/// Rom carries exactly the Expected images, in that order, and nothing
/// after them: each with the ROM and PCI data signatures, the QD520's
/// identifiers, the display class and code revision 3, the EFI code type,
/// a boot-service driver of its machine type, stored compressed and
/// decompressing to its .efi byte for byte; the last-image indicator on the
/// last image alone.
inline
void
ExpectQd520OptionRom (
  const std::vector<UINT8>             &Rom,
  const std::vector<ExpectedRomImage>  &Expected
  )
{
  std::vector<OptionRom>  Images;

  ASSERT_NO_FATAL_FAILURE (RomImages (Rom, &Images));
  EXPECT_EQ (Images.size (), Expected.size ()) << "images in the ROM";
  EXPECT_EQ (Rom.size () % 512, 0u);

  size_t  End = 0;

  for (size_t Index = 0; Index < std::min (Images.size (), Expected.size ()); Index++) {
    const OptionRom  &Image = Images[Index];

    SCOPED_TRACE ("image " + std::to_string (Index) + " at offset " + std::to_string (Image.Offset));
    EXPECT_EQ (Image.Header.Signature, PCI_EXPANSION_ROM_HEADER_SIGNATURE);
    EXPECT_EQ (Image.Header.EfiSignature, EFI_PCI_EXPANSION_ROM_HEADER_EFISIGNATURE);
    EXPECT_EQ (Image.Header.EfiSubsystem, EFI_IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER);
    EXPECT_EQ (Image.Header.EfiMachineType, Expected[Index].Machine) << "EfiMachineType";
    EXPECT_EQ (Image.Header.CompressionType, EFI_PCI_EXPANSION_ROM_HEADER_COMPRESSED);
    EXPECT_EQ (Image.Header.InitializationSize, Image.Pcir.ImageLength);

    EXPECT_EQ (Image.Pcir.Signature, PCI_DATA_STRUCTURE_SIGNATURE);
    EXPECT_EQ (Image.Pcir.VendorId, 0x7A3C);
    EXPECT_EQ (Image.Pcir.DeviceId, 0x0520);
    EXPECT_EQ (Image.Pcir.ClassCode[0], 0x00) << "ClassCode: programming interface";
    EXPECT_EQ (Image.Pcir.ClassCode[1], 0x00) << "ClassCode: subclass VGA-compatible";
    EXPECT_EQ (Image.Pcir.ClassCode[2], 0x03) << "ClassCode: base class display controller";
    EXPECT_EQ (Image.Pcir.CodeRevision, 0x0003) << "CodeRevision";
    EXPECT_EQ (Image.Pcir.CodeType, PCI_CODE_TYPE_EFI_IMAGE);
    EXPECT_EQ ((Image.Pcir.Indicator & LastImageIndicator) != 0, Index + 1 == Expected.size ())
      << "last-image indicator";
    ExpectRomImageDecompressesTo (Rom, Image, Expected[Index].Efi);
    End = Image.Offset + Image.Pcir.ImageLength * 512u;
  }

  EXPECT_EQ (End, Rom.size ()) << "bytes after the last image";
}

/// Image is a PE32+ EFI boot-service driver for Machine, relocatable,
/// importing nothing.
inline
void
ExpectBootServiceDriver (
  const std::vector<UINT8>  &Image,
  UINT16                    Machine = IMAGE_FILE_MACHINE_X64
  )
{
  ASSERT_GE (Image.size (), sizeof (EFI_IMAGE_DOS_HEADER));
  auto  Dos = At<EFI_IMAGE_DOS_HEADER>(Image, 0);

  ASSERT_EQ (Dos.e_magic, EFI_IMAGE_DOS_SIGNATURE);
  ASSERT_LE (Dos.e_lfanew + sizeof (EFI_IMAGE_NT_HEADERS64), Image.size ());
  auto  Nt = At<EFI_IMAGE_NT_HEADERS64>(Image, Dos.e_lfanew);

  EXPECT_EQ (Nt.Signature, EFI_IMAGE_NT_SIGNATURE);
  EXPECT_EQ (Nt.FileHeader.Machine, Machine);
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

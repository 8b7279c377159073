/** @file
  The driver signed for UEFI Secure Boot, as the build ships it: the signed
  image is the unsigned one with an Authenticode signature appended (the
  PE certificate table: one WIN_CERTIFICATE of PKCS#7 signed data at the
  end of the file) and nothing else changed but the header fields that
  describe it, for each architecture's image; the option ROM holds the
  three signed images.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "PackagedImage.h"

extern "C" {
#include <Guid/WinCertificate.h>
}

#include <vector>

namespace {

using PackagedImage::At;
using PackagedImage::ReadFile;

struct PeLayout {
  size_t                       NtOffset;
  EFI_IMAGE_NT_HEADERS64       Nt;
  EFI_IMAGE_DATA_DIRECTORY     Security;
  size_t                       ChecksumOffset;
  size_t                       SecurityOffset;
};

PeLayout
Layout (
  const std::vector<UINT8>  &Image
  )
{
  PeLayout  Pe;

  Pe.NtOffset       = At<EFI_IMAGE_DOS_HEADER>(Image, 0).e_lfanew;
  Pe.Nt             = At<EFI_IMAGE_NT_HEADERS64>(Image, Pe.NtOffset);
  Pe.Security       = Pe.Nt.OptionalHeader.DataDirectory[EFI_IMAGE_DIRECTORY_ENTRY_SECURITY];
  Pe.ChecksumOffset = Pe.NtOffset + offsetof (EFI_IMAGE_NT_HEADERS64, OptionalHeader.CheckSum);
  Pe.SecurityOffset = Pe.NtOffset + offsetof (EFI_IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory) +
                      EFI_IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof (EFI_IMAGE_DATA_DIRECTORY);
  return Pe;
}

/// Each architecture's image, unsigned and signed, in the ROM's order.
struct SignedPair {
  UINT16        Machine;
  const char    *Unsigned;
  const char    *Signed;
};

constexpr SignedPair  mSignedPairs[] = {
  { IMAGE_FILE_MACHINE_X64,     QD520_EFI_IMAGE,         QD520_SIGNED_EFI_IMAGE         },
  { IMAGE_FILE_MACHINE_ARM64,   QD520_EFI_IMAGE_AARCH64, QD520_SIGNED_EFI_IMAGE_AARCH64 },
  { IMAGE_FILE_MACHINE_RISCV64, QD520_EFI_IMAGE_RISCV64, QD520_SIGNED_EFI_IMAGE_RISCV64 },
};

void
ExpectOneSignatureAppended (
  const SignedPair  &Pair
  )
{
  std::vector<UINT8>  Unsigned = ReadFile (Pair.Unsigned);
  std::vector<UINT8>  Signed   = ReadFile (Pair.Signed);

  ASSERT_NO_FATAL_FAILURE (PackagedImage::ExpectBootServiceDriver (Signed, Pair.Machine));
  ASSERT_GT (Signed.size (), Unsigned.size ());
  PeLayout  Before = Layout (Unsigned);
  PeLayout  After  = Layout (Signed);

  EXPECT_EQ (Before.Security.Size, 0u) << "the unsigned image carries no signature";
  ASSERT_NE (After.Security.Size, 0u) << "no certificate table";
  // The table starts 8-byte aligned after the image's own bytes and runs
  // to the end of the file.
  EXPECT_GE (After.Security.VirtualAddress, Unsigned.size ());
  EXPECT_EQ (After.Security.VirtualAddress % 8, 0u);
  EXPECT_EQ (After.Security.VirtualAddress + After.Security.Size, Signed.size ());

  auto  Certificate = At<WIN_CERTIFICATE>(Signed, After.Security.VirtualAddress);

  EXPECT_EQ (Certificate.wRevision, 0x0200);
  EXPECT_EQ (Certificate.wCertificateType, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
  EXPECT_LE (Certificate.dwLength, After.Security.Size);
  EXPECT_GT (Certificate.dwLength, sizeof (WIN_CERTIFICATE) + 256u) << "too short for an RSA signature";
  EXPECT_EQ (Signed[After.Security.VirtualAddress + sizeof (WIN_CERTIFICATE)], 0x30) << "not DER (PKCS#7 SEQUENCE)";

  // Every byte the loader maps is the unsigned image's: only the checksum
  // and the certificate table's directory entry differ.
  std::vector<UINT8>  Masked (Signed.begin (), Signed.begin () + Unsigned.size ());
  std::vector<UINT8>  Expected = Unsigned;

  for (auto *Bytes : { &Masked, &Expected }) {
    std::fill_n (Bytes->begin () + Before.ChecksumOffset, sizeof (UINT32), 0);
    std::fill_n (Bytes->begin () + Before.SecurityOffset, sizeof (EFI_IMAGE_DATA_DIRECTORY), 0);
  }

  EXPECT_TRUE (Masked == Expected) << "signing changed the image itself";
  EXPECT_EQ (After.Nt.OptionalHeader.SizeOfImage, Before.Nt.OptionalHeader.SizeOfImage);
  EXPECT_EQ (After.Nt.OptionalHeader.SectionAlignment, 4096u) << "the layout firmware can protect (W^X)";
}

TEST (SignedImageTest, IsTheUnsignedDriverWithOneAuthenticodeSignatureAppended) {
  for (const SignedPair &Pair : mSignedPairs) {
    SCOPED_TRACE (Pair.Signed);
    ExpectOneSignatureAppended (Pair);
  }
}

TEST (SignedOptionRomTest, CarriesTheThreeSignedImagesForTheQd520) {
  std::vector<UINT8>                             Rom = ReadFile (QD520_SIGNED_OPTION_ROM);
  std::vector<PackagedImage::ExpectedRomImage>  Expected;

  for (const SignedPair &Pair : mSignedPairs) {
    Expected.push_back ({ Pair.Machine, ReadFile (Pair.Signed) });
  }

  PackagedImage::ExpectQd520OptionRom (Rom, Expected);
  EXPECT_LE (Rom.size (), 64u * 1024) << "size budget of the ROM";
}

} // namespace

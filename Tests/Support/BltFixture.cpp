/** @file
  Fixture of the tests that draw through Blt.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "BltFixture.h"

#include <sstream>

namespace Qd520Test {

std::string
BytesDifference (
  const std::vector<UINT8>  &Actual,
  const std::vector<UINT8>  &Expected
  )
{
  if (Actual.size () != Expected.size ()) {
    return "sizes " + std::to_string (Actual.size ()) + " and " + std::to_string (Expected.size ());
  }

  for (size_t Index = 0; Index < Actual.size (); Index++) {
    if (Actual[Index] != Expected[Index]) {
      std::ostringstream  Text;

      Text << "byte " << Index << " is 0x" << std::hex << unsigned (Actual[Index]) << ", expected 0x"
           << unsigned (Expected[Index]);
      return Text.str ();
    }
  }

  return "equal";
}

void
BltFixture::UseMode (
  UINT32  ModeNumber
  )
{
  ASSERT_EQ (mGop->SetMode (mGop, ModeNumber), EFI_SUCCESS);
  mAdapter->ClearTrace ();
  Platform ().Tpl ().ClearEvents ();
}

std::vector<UINT32>
BltFixture::PaintScreen (
  )
{
  for (UINTN Index = 0; Index < ScreenPixels (); Index++) {
    Screen ()[Index] = ScreenPattern (Index);
  }

  return ScreenCopy ();
}

Qd520Reference::ScreenView
BltFixture::ViewOf (
  std::vector<UINT32>  &Copy
  )
{
  return Qd520Reference::ScreenView{
           Copy.data (),
           mGop->Mode->Info->HorizontalResolution,
           mGop->Mode->Info->VerticalResolution,
           PixelsPerLine ()
  };
}

std::string
BltFixture::ScreenDifference (
  const std::vector<UINT32>  &Expected
  )
{
  for (UINTN Index = 0; Index < Expected.size (); Index++) {
    if (Screen ()[Index] != Expected[Index]) {
      std::ostringstream  Text;

      Text << "pixel (" << Index % PixelsPerLine () << ", " << Index / PixelsPerLine () << ") is 0x" << std::hex
           << Screen ()[Index] << ", expected 0x" << Expected[Index];
      return Text.str ();
    }
  }

  return "equal";
}

} // namespace Qd520Test

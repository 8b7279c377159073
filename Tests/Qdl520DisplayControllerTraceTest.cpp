/** @file
  Register traces of loading one mode into the display controller: PLL
  word, pitch, timing registers, format and polarity bits, colour table.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "TraceExpect.h"

namespace Qd520Test {
namespace {

using DisplayControllerTraceTest = HardwareTraceTest;

struct ControllerCase {
  const char             *Name;
  QDL520_MODE_TIMING     Timing;
  UINT32                 BitsPerPixel;
  UINT32                 Pitch;
  QDL520_PLL_SETTINGS    Settings;
  UINT32                 PllWord;
  UINT32                 LinePitch;    ///< 0x80008
  UINT32                 Timings[4];   ///< 0x8000C, 0x80010, 0x80014, 0x80018
  UINT32                 ControlBits;  ///< bits 0-2, 8 and 12-14 of 0x80000
};

constexpr QDL520_MODE_TIMING  Timing640x480   = { 800, 640, 656, 96, 1, 525, 480, 490, 2, 1, 25175000, 31469, 60, 1 };
constexpr QDL520_MODE_TIMING  Timing800x600   = { 1056, 800, 840, 128, 0, 628, 600, 601, 4, 0, 40000000, 37879, 60, 1 };
constexpr QDL520_MODE_TIMING  Timing1024x768  = { 1344, 1024, 1048, 136, 1, 806, 768, 771, 6, 1, 65000000, 48363, 60, 1 };
constexpr QDL520_MODE_TIMING  Timing1920x1080 = {
  2200, 1920, 2008, 44, 0, 1125, 1080, 1084, 5, 0, 148500000, 67500, 60, 0
};

const ControllerCase  ControllerCases[] = {
  { "640x480", Timing640x480, 32, 2560, { 12000000, 33, 18568, 3, 0 }, 0x08E19110, 0x0A000A00,
    { 0x031F027F, 0x0060028F, 0x020C01DF, 0x000201E9 }, 0x7106 },
  { "800x600", Timing800x600, 32, 3200, { 12000000, 53, 10922, 3, 3 }, 0x0EF55554, 0x0C800C80,
    { 0x041F031F, 0x00800347, 0x02730257, 0x00040258 }, 0x4106 },
  { "1024x768", Timing1024x768, 32, 4096, { 12000000, 43, 10922, 2, 2 }, 0x0CAB5554, 0x10001000,
    { 0x053F03FF, 0x00880417, 0x032502FF, 0x00060302 }, 0x7106 },
  { "1920x1080", Timing1920x1080, 32, 7680, { 12000000, 49, 16384, 1, 3 }, 0x0E718000, 0x1E001E00,
    { 0x0897077F, 0x002C07D7, 0x04640437, 0x0005043B }, 0x0106 },
  { "640x480At16Bits", Timing640x480, 16, 1280, { 12000000, 33, 18568, 3, 0 }, 0x08E19110, 0x05000500,
    { 0x031F027F, 0x0060028F, 0x020C01DF, 0x000201E9 }, 0x7105 },
  { "640x480At8Bits", Timing640x480, 8, 640, { 12000000, 33, 18568, 3, 0 }, 0x08E19110, 0x02800280,
    { 0x031F027F, 0x0060028F, 0x020C01DF, 0x000201E9 }, 0x7104 },
  { "800x600At24BitsUsesThe32BitFormat", Timing800x600, 24, 2400, { 12000000, 53, 10922, 3, 3 }, 0x0EF55554,
    0x09600960, { 0x041F031F, 0x00800347, 0x02730257, 0x00040258 }, 0x4106 },
  { "FieldsCutToTheirWidths", Timing800x600, 32, 0x4123, { 12000000, 0x7F, 0xFFFF, 0xF, 0x7 }, 0x0FFFFFFE,
    0x01230123, { 0x041F031F, 0x00800347, 0x02730257, 0x00040258 }, 0x4106 },
};

class ProgramDisplayControllerTest : public HardwareTraceTest, public ::testing::WithParamInterface<ControllerCase> {
};

TEST_P (ProgramDisplayControllerTest, WritesEachRegisterInOrder) {
  const ControllerCase  &Case   = GetParam ();
  UINT32                Before  = (mAdapter->Register (RegDisplayControl0) & ~0x00000104u) | 0x00007003;
  constexpr UINT32      Written = 0x00007107;

  mAdapter->SetRegister (RegDisplayControl0, Before);

  ExpectedTrace  Expected = Expect ();
  ExpectProgramDisplayController (Expected, Case.Timing, Case.BitsPerPixel, Case.Pitch, Case.PllWord);
  Qdl520ProgramDisplayController (&mPrivate, &Case.Timing, Case.BitsPerPixel, Case.Pitch, &Case.Settings);

  EXPECT_TRUE (Matches (Expected));
  EXPECT_EQ (mAdapter->TraceCount (), 8u + 2u + 256u) << "eight writes, one read-modify-write, 256 colours";
  EXPECT_EQ (mAdapter->Register (0x88), 6u);
  EXPECT_EQ (mAdapter->Register (0x78), Case.PllWord);
  EXPECT_EQ (mAdapter->Register (0x80004), 0x80000000u);
  EXPECT_EQ (mAdapter->Register (0x80008), Case.LinePitch);
  for (int Index = 0; Index < 4; Index++) {
    EXPECT_EQ (mAdapter->Register (0x8000C + 4 * Index), Case.Timings[Index]) << "timing register " << Index;
  }

  UINT32  Control = mAdapter->Register (RegDisplayControl0);
  EXPECT_EQ (Control & Written, Case.ControlBits);
  EXPECT_EQ (Control & ~Written, Before & ~Written) << "the other bits keep their values";
  for (UINT32 Index = 0; Index < 256; Index++) {
    EXPECT_EQ (mAdapter->Register (RegColourTable + 4 * Index), ExpectedColour (Case.BitsPerPixel, Index))
      << "colour " << Index;
  }
}

INSTANTIATE_TEST_SUITE_P (
  Modes,
  ProgramDisplayControllerTest,
  ::testing::ValuesIn (ControllerCases),
  [](const ::testing::TestParamInfo<ControllerCase> &Info) { return std::string (Info.param.Name); }
  );

TEST_F (DisplayControllerTraceTest, ColourTableIsAGreyRampOrAtEightBitsTheCubeAndTheGreyRamp) {
  const std::pair<UINT32, UINT32>  EightBitRows[] = {
    { 0, 0x000000 },   { 1, 0x000033 },   { 5, 0x0000FF },   { 6, 0x003300 },
    { 35, 0x00FFFF },  { 36, 0x330000 },  { 215, 0xFFFFFF }, { 216, 0x000000 },
    { 217, 0x070707 }, { 218, 0x0D0D0D }, { 241, 0xA4A4A4 }, { 254, 0xF9F9F9 },
    { 255, 0xFFFFFF },
  };
  QDL520_PLL_SETTINGS  Settings = { 12000000, 33, 18568, 3, 0 };

  Qdl520ProgramDisplayController (&mPrivate, &Timing640x480, 8, 640, &Settings);
  for (const auto &Row : EightBitRows) {
    EXPECT_EQ (mAdapter->Register (RegColourTable + 4 * Row.first), Row.second) << "8 bpp entry " << Row.first;
  }

  //
  // The ramp climbs from black to white in grey steps of 6 or 7.
  //
  for (UINT32 Index = 217; Index < 256; Index++) {
    UINT32  Grey = mAdapter->Register (RegColourTable + 4 * Index);
    UINT32  Step = (Grey & 0xFF) - (mAdapter->Register (RegColourTable + 4 * (Index - 1)) & 0xFF);

    EXPECT_EQ (Grey, (Grey & 0xFF) * 0x010101u) << "entry " << Index << " is grey";
    EXPECT_TRUE ((Step == 6) || (Step == 7)) << "entry " << Index << " steps by " << Step;
  }

  for (UINT32 BitsPerPixel : { 16u, 32u }) {
    Qdl520ProgramDisplayController (&mPrivate, &Timing640x480, BitsPerPixel, 2560, &Settings);
    for (UINT32 Index : { 0u, 1u, 0x80u, 216u, 255u }) {
      EXPECT_EQ (mAdapter->Register (RegColourTable + 4 * Index), Index * 0x010101u)
        << BitsPerPixel << " bpp entry " << Index;
    }
  }
}

TEST_F (DisplayControllerTraceTest, PolaritiesFollowTheNewModeOnly) {
  QDL520_PLL_SETTINGS  Settings = { 12000000, 33, 18568, 3, 0 };

  Qdl520ProgramDisplayController (&mPrivate, &Timing640x480, 32, 2560, &Settings);
  EXPECT_EQ (mAdapter->Register (RegDisplayControl0) & 0x7000, 0x7000u);
  Qdl520ProgramDisplayController (&mPrivate, &Timing800x600, 32, 3200, &Settings);
  EXPECT_EQ (mAdapter->Register (RegDisplayControl0) & 0x7000, 0x4000u);
  Qdl520ProgramDisplayController (&mPrivate, &Timing1920x1080, 32, 7680, &Settings);
  EXPECT_EQ (mAdapter->Register (RegDisplayControl0) & 0x7000, 0u) << "only 1920x1080 clears the clock polarity";
}

} // namespace
} // namespace Qd520Test

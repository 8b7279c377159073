/** @file
  Contract of the QD520 adapter model and its PCI I/O front end.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimTestSupport.h"

extern "C" {
#include <IndustryStandard/Acpi.h>
}

#include <cstring>
#include <vector>

#include <unistd.h>

namespace Qd520Sim {
namespace {

class AdapterModelTest : public SimTest {
protected:
  void
  SetUp (
    ) override
  {
    SimTest::SetUp ();
    //
    // These tests exercise the refusals themselves: accesses outside the
    // BARs are refused quietly here, as the bus driver does.
    //
    AdapterOptions  Quiet;
    Quiet.FailOnBarViolation = false;
    mPlatform = std::make_unique<SimPlatform>();
    mAdapter  = &mPlatform->AddAdapter (Quiet);
    mPciIo    = mAdapter->Protocol ();
  }

  void
  TearDown (
    ) override
  {
    mPlatform.reset ();
    SimTest::TearDown ();
  }

  EFI_STATUS
  WriteRegister (
    UINT64  Offset,
    UINT32  Value
    )
  {
    return mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint32, RegisterBar, Offset, 1, &Value);
  }

  UINT32
  ReadRegister (
    UINT64  Offset
    )
  {
    UINT32  Value = 0xDEADBEEF;

    EXPECT_EQ (EFI_SUCCESS, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthUint32, RegisterBar, Offset, 1, &Value));
    return Value;
  }

  UINT32
  FrameBufferWord (
    UINT64  Index
    )
  {
    UINT32  Value;

    std::memcpy (&Value, mAdapter->FrameBuffer () + Index * 4, 4);
    return Value;
  }

  std::unique_ptr<SimPlatform>  mPlatform;
  SimAdapter                    *mAdapter = nullptr;
  EFI_PCI_IO_PROTOCOL           *mPciIo   = nullptr;
};

//
// Configuration header.
//

TEST_F (AdapterModelTest, ConfigHeaderReadReturnsIdentityAndDisplayClass) {
  PCI_TYPE00  Header;

  ASSERT_EQ (EFI_SUCCESS, mPciIo->Pci.Read (mPciIo, EfiPciIoWidthUint32, 0, sizeof (Header) / 4, &Header));
  EXPECT_EQ (0x7A3C, Header.Hdr.VendorId);
  EXPECT_EQ (0x0520, Header.Hdr.DeviceId);
  EXPECT_EQ (0x03, Header.Hdr.ClassCode[2]);
  EXPECT_EQ (0x00, Header.Hdr.ClassCode[1]);
  EXPECT_EQ (0x00, Header.Hdr.ClassCode[0]);

  auto  Trace = mAdapter->Trace ();
  ASSERT_EQ (1u, Trace.size ());
  EXPECT_EQ (PciIoOperation::PciRead, Trace[0].Operation);
  EXPECT_EQ ((UINT32)EfiPciIoWidthUint32, Trace[0].Width);
  EXPECT_EQ (0u, Trace[0].Offset);
  EXPECT_EQ (16u, Trace[0].Count);
  EXPECT_EQ (0x05207A3Cu, Trace[0].Value);
  EXPECT_EQ (EFI_SUCCESS, Trace[0].Status);
}

TEST_F (AdapterModelTest, ConfigAccessBeyondHeaderOrMisalignedIsUnsupported) {
  UINT32  Value[2];

  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Pci.Read (mPciIo, EfiPciIoWidthUint32, 0xFC, 2, Value));
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Pci.Read (mPciIo, EfiPciIoWidthUint32, 2, 1, Value));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mPciIo->Pci.Read (mPciIo, EfiPciIoWidthUint32, 0, 1, nullptr));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mPciIo->Pci.Read (mPciIo, EfiPciIoWidthMaximum, 0, 1, Value));
}

//
// Register file and HDMI transmitter.
//

TEST_F (AdapterModelTest, RegisterReadsBackPresetThenLastWrite) {
  mAdapter->SetRegister (0x80000, 0x12345678);
  EXPECT_EQ (0x12345678u, ReadRegister (0x80000));
  ASSERT_EQ (EFI_SUCCESS, WriteRegister (0x80000, 0xCAFEF00D));
  EXPECT_EQ (0xCAFEF00Du, ReadRegister (0x80000));
  EXPECT_EQ (0xCAFEF00Du, mAdapter->Register (0x80000));
}

TEST_F (AdapterModelTest, PresetsGiveNonZeroReadModifyWriteSources) {
  AdapterOptions  Options;

  Options.InitialRegisters = { { RegisterPllReference, PllReferenceSelectBit }, { 0x80000, 0xF0000000 } };
  SimAdapter  &Preset = mPlatform->AddAdapter (Options);
  EXPECT_EQ (PllReferenceSelectBit, Preset.Register (RegisterPllReference));
  EXPECT_EQ (0xF0000000u, Preset.Register (0x80000));

  mAdapter->FillRegisters (0x5EED0000);
  EXPECT_NE (0u, mAdapter->Register (0x68));
  EXPECT_NE (mAdapter->Register (0x68), mAdapter->Register (0x6C));
  EXPECT_EQ (mAdapter->Register (0x88080), ReadRegister (0x88080));

  EXPECT_EQ (0u, mAdapter->Register (0x66));
  EXPECT_EQ (1u, TakeFailures ().size ());
}

TEST_F (AdapterModelTest, HdmiWriteStoresDataByteOnlyWithWriteStrobe) {
  ASSERT_EQ (EFI_SUCCESS, WriteRegister (RegisterHdmiIndexData, (0x07 << 8) | HdmiWriteStrobe | 0x45));
  EXPECT_EQ (0x07, mAdapter->Hdmi (0x45));
  ASSERT_EQ (EFI_SUCCESS, WriteRegister (RegisterHdmiIndexData, (0x09 << 8) | 0x45));
  EXPECT_EQ (0x07, mAdapter->Hdmi (0x45));
}

TEST_F (AdapterModelTest, HdmiReadRequestLatchesRegisterUntilNextRequest) {
  mAdapter->SetHdmi (0x30, 0xA5);
  mAdapter->SetHdmi (0x31, 0x5A);
  ASSERT_EQ (EFI_SUCCESS, WriteRegister (RegisterHdmiIndexData, HdmiReadRequest | 0x30));
  ASSERT_EQ (EFI_SUCCESS, WriteRegister (RegisterHdmiIndexData, 0x30));
  EXPECT_EQ (0xA530u, ReadRegister (RegisterHdmiIndexData));

  // A plain write changes the index but keeps the latched byte.
  ASSERT_EQ (EFI_SUCCESS, WriteRegister (RegisterHdmiIndexData, 0x31));
  EXPECT_EQ (0xA531u, ReadRegister (RegisterHdmiIndexData));
  ASSERT_EQ (EFI_SUCCESS, WriteRegister (RegisterHdmiIndexData, HdmiReadRequest | 0x31));
  EXPECT_EQ (0x5A31u, ReadRegister (RegisterHdmiIndexData));
}

TEST_F (AdapterModelTest, InfoFrameRegistersAreAWindowOnTheSelectedBuffer) {
  auto  HdmiWrite = [this](UINT8 Index, UINT8 Value) {
                      ASSERT_EQ (EFI_SUCCESS, WriteRegister (RegisterHdmiIndexData, (Value << 8) | HdmiWriteStrobe | Index));
                    };
  auto  HdmiRead = [this](UINT8 Index) {
                     EXPECT_EQ (EFI_SUCCESS, WriteRegister (RegisterHdmiIndexData, HdmiReadRequest | Index));
                     return (UINT8)(ReadRegister (RegisterHdmiIndexData) >> 8);
                   };

  HdmiWrite (0x5F, 0x06);
  HdmiWrite (0x60, 0x82);
  HdmiWrite (0x63, 0x16);
  HdmiWrite (0x70, 0x1D);
  HdmiWrite (0x71, 0x33);   // past the window: an ordinary register
  HdmiWrite (0x5F, 0x08);
  EXPECT_EQ (0x00, HdmiRead (0x60)) << "the audio buffer is empty";
  HdmiWrite (0x60, 0x84);
  HdmiWrite (0x63, 0x70);
  EXPECT_EQ (0x33, HdmiRead (0x71));

  HdmiWrite (0x5F, 0x16);   // only the low four bits select: the AVI buffer again
  EXPECT_EQ (0x82, HdmiRead (0x60));
  EXPECT_EQ (0x16, HdmiRead (0x63));
  EXPECT_EQ (0x1D, mAdapter->Hdmi (0x70));

  const Adapter  &Model = mAdapter->Model ();
  EXPECT_EQ (0x84, Model.PeekInfoFrame (0x08, 0));
  EXPECT_EQ (0x70, Model.PeekInfoFrame (0x08, 3));
  EXPECT_EQ (0x00, Model.PeekInfoFrame (0x08, 16));
  EXPECT_EQ (0x1D, Model.PeekInfoFrame (0x06, 16));

  // A preset goes through the window too.
  mAdapter->SetHdmi (0x64, 0x41);
  EXPECT_EQ (0x41, Model.PeekInfoFrame (0x06, 4));
  EXPECT_EQ (0x00, Model.PeekInfoFrame (0x08, 4));
}

//
// Parameter checks.
//

TEST_F (AdapterModelTest, MisalignedOffsetIsUnsupportedAndMakesNoAccess) {
  UINT64  Value = 0x1122334455667788ull;

  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint32, RegisterBar, 0x802, 1, &Value));
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint64, FrameBufferBar, 4, 1, &Value));
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint32, FrameBufferBar, 2, 4, &Value));
  EXPECT_EQ (0u, mAdapter->Register (0x800));
  EXPECT_EQ (0u, FrameBufferWord (1));
  EXPECT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint8, FrameBufferBar, 3, 1, &Value));
  EXPECT_EQ (0x88000000u, FrameBufferWord (0));
}

TEST_F (AdapterModelTest, BadWidthBufferBarOrRangeIsRefusedAsTheBusDriverDoes) {
  UINT32  Value = 0x5A5A5A5A;

  EXPECT_EQ (EFI_INVALID_PARAMETER, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthMaximum, RegisterBar, 0, 1, &Value));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint32, RegisterBar, 0, 1, nullptr));
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint32, 2, 0, 1, &Value));
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint32, RegisterBar, DefaultRegisterFileSize, 1, &Value));
  EXPECT_EQ (
    EFI_UNSUPPORTED,
    mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint32, FrameBufferBar, 0, DefaultFrameBufferSize / 4 + 1, &Value)
    );
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthUint32, FrameBufferBar, 0, 0, &Value));
  EXPECT_EQ (0u, FrameBufferWord (0));
}

//
// Fill and FIFO widths.
//

TEST_F (AdapterModelTest, RangeThatWrapsPastTheTopOfTheAddressSpaceNeverReachesTheDevice) {
  UINT32  Value = 0xDEADBEEF;

  //
  // Offset + 8 * 4 wraps to 0x1C: the bus driver's check lets it through,
  // the root bridge's aperture check refuses it, and no memory is touched.
  //
  EXPECT_EQ (EFI_INVALID_PARAMETER, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint32, FrameBufferBar, MAX_UINT64 - 3, 8, &Value));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthUint32, RegisterBar, MAX_UINT64 - 3, 8, &Value));
  EXPECT_EQ (0u, FrameBufferWord (0));
  EXPECT_EQ (0xDEADBEEFu, Value);
}

TEST_F (AdapterModelTest, FillWidthAdvancesDeviceAddressAndKeepsBuffer) {
  UINT32  Color = 0x11223344;

  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint32, FrameBufferBar, 8, 5, &Color));
  EXPECT_EQ (0u, FrameBufferWord (1));
  for (UINT64 Index = 2; Index < 7; Index++) {
    EXPECT_EQ (Color, FrameBufferWord (Index)) << "word " << Index;
  }

  EXPECT_EQ (0u, FrameBufferWord (7));

  auto  Trace = mAdapter->Trace ();
  ASSERT_EQ (1u, Trace.size ());
  EXPECT_EQ ((UINT32)EfiPciIoWidthFillUint32, Trace[0].Width);
  EXPECT_EQ (5u, Trace[0].Count);
  EXPECT_EQ (Color, Trace[0].Value);
  EXPECT_EQ (static_cast<CONST VOID *>(&Color), Trace[0].Buffer);

  UINT16  Half = 0xBEEF;
  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint16, FrameBufferBar, 40, 4, &Half));
  EXPECT_EQ (0xBEEFBEEFu, FrameBufferWord (10));
  EXPECT_EQ (0xBEEFBEEFu, FrameBufferWord (11));
  EXPECT_EQ (0u, FrameBufferWord (12));
}

TEST_F (AdapterModelTest, OverlappingCopyWithTheFrameBufferStillMovesEveryByte) {
  for (UINT32 Index = 0; Index < 8; Index++) {
    std::memcpy (mAdapter->FrameBuffer () + Index * 4, &Index, 4);
  }

  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint32, FrameBufferBar, 8, 4, mAdapter->FrameBuffer ()));
  EXPECT_EQ (0u, FrameBufferWord (2));
  EXPECT_EQ (3u, FrameBufferWord (5));
  EXPECT_EQ (6u, FrameBufferWord (6));
}

//
// The clear of a mode set hands untouched pages to the platform; every byte
// reads as a fill of stores would leave it, and the call is traced as usual.
//
TEST_F (AdapterModelTest, ZeroFillOfWholePagesLeavesThePagesToThePlatformWithTheSameResult) {
  UINT32        Zero      = 0;
  UINT64        Zero64    = 0;
  UINT32        Colour    = 0x77777777;
  const UINT64  Words     = DefaultFrameBufferSize / 4;
  const UINT64  Offsets[] = { 0, 0x1004, 0x300000, DefaultFrameBufferSize - 0x1000, DefaultFrameBufferSize - 4 };

  std::memset (mAdapter->FrameBuffer (), 0x77, 0x400000);
  std::memset (mAdapter->FrameBuffer () + DefaultFrameBufferSize - 0x2000, 0x77, 0x2000);

  //
  // A small zero fill and a large one of another value are plain stores.
  //
  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint32, FrameBufferBar, 0x1000, 0x400, &Zero));
  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint32, FrameBufferBar, 0x100000, 0x40000, &Colour));
  EXPECT_EQ (0u, mAdapter->PageClears ());
  EXPECT_EQ (0u, FrameBufferWord (0x400));

  //
  // A clear that starts and ends inside a page, then the whole BAR.
  //
  const UINT64  Start = 0x2008;
  const UINT64  End   = DefaultFrameBufferSize - 0x1008;

  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint64, FrameBufferBar, Start, (End - Start) / 8, &Zero64));
  EXPECT_EQ (1u, mAdapter->PageClears ());
  EXPECT_EQ (Colour, FrameBufferWord (Start / 4 - 1));
  EXPECT_EQ (0u, FrameBufferWord (Start / 4));
  EXPECT_EQ (0u, FrameBufferWord (0x100000 / 4));
  EXPECT_EQ (0u, FrameBufferWord (End / 4 - 1));
  EXPECT_EQ (Colour, FrameBufferWord (End / 4));

  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFillUint32, FrameBufferBar, 0, Words, &Zero));
  EXPECT_EQ (2u, mAdapter->PageClears ());
  for (UINT64 Offset : Offsets) {
    EXPECT_EQ (0u, FrameBufferWord (Offset / 4)) << "offset " << Offset;
  }

  std::vector<UINT8>  Zeros (DefaultFrameBufferSize, 0);
  EXPECT_EQ (0, std::memcmp (Zeros.data (), mAdapter->FrameBuffer (), DefaultFrameBufferSize));

  auto  Trace = mAdapter->Trace ();
  ASSERT_EQ (4u, Trace.size ());
  EXPECT_EQ (PciIoOperation::MemWrite, Trace[3].Operation);
  EXPECT_EQ ((UINT32)EfiPciIoWidthFillUint32, Trace[3].Width);
  EXPECT_EQ (0u, Trace[3].Offset);
  EXPECT_EQ (Words, Trace[3].Count);
  EXPECT_EQ (0u, Trace[3].Value);
  EXPECT_EQ (EFI_SUCCESS, Trace[3].Status);
}

//
// The record of written pages: every write that reaches the frame buffer,
// by any path, and nothing else.
//
TEST_F (AdapterModelTest, EveryWriteToTheFrameBufferIsRecordedByPageAndNothingElseIs) {
  AdapterOptions        Options;
  const UINT64          Page   = (UINT64)sysconf (_SC_PAGESIZE);
  UINT32                Words[2] = { 1, 2 };
  UINT32                Zero     = 0;

  Options.FailOnBarViolation = false;
  Options.RecordWrittenPages = true;
  SimAdapter           &Recorded = mPlatform->AddAdapter (Options);
  EFI_PCI_IO_PROTOCOL  *PciIo    = Recorded.Protocol ();
  auto                 WrittenPages = [&]() {
                                        std::vector<UINT64>  Pages;
                                        for (UINT64 Index = 0; Index < DefaultFrameBufferSize / Page; Index++) {
                                          if (Recorded.Written (Index * Page, Page)) {
                                            Pages.push_back (Index);
                                          }
                                        }

                                        return Pages;
                                      };

  EXPECT_TRUE (mAdapter->Written (0, 1)) << "without a record every byte may have been written";
  EXPECT_EQ (std::vector<UINT64>{}, WrittenPages ());

  //
  // Reads, refusals and register writes leave no mark.
  //
  ASSERT_EQ (EFI_SUCCESS, PciIo->Mem.Read (PciIo, EfiPciIoWidthUint32, FrameBufferBar, 5 * Page, 2, Words));
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Mem.Write (PciIo, EfiPciIoWidthUint32, FrameBufferBar, 6 * Page + 2, 1, Words));
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Mem.Write (PciIo, EfiPciIoWidthUint32, FrameBufferBar, DefaultFrameBufferSize, 1, Words));
  ASSERT_EQ (EFI_SUCCESS, PciIo->Mem.Write (PciIo, EfiPciIoWidthUint32, RegisterBar, 7 * Page, 1, Words));
  EXPECT_EQ (std::vector<UINT64>{}, WrittenPages ());

  //
  // A row across a page boundary, a FIFO write, a fill, and a zero fill of
  // whole pages that the platform takes over.
  //
  ASSERT_EQ (EFI_SUCCESS, PciIo->Mem.Write (PciIo, EfiPciIoWidthUint32, FrameBufferBar, 4 * Page - 4, 2, Words));
  ASSERT_EQ (EFI_SUCCESS, PciIo->Mem.Write (PciIo, EfiPciIoWidthFifoUint32, FrameBufferBar, 9 * Page, 2, Words));
  ASSERT_EQ (EFI_SUCCESS, PciIo->Mem.Write (PciIo, EfiPciIoWidthFillUint32, FrameBufferBar, 11 * Page + 8, 2, Words));
  const UINT64  Cleared = MinimumZeroPagesBytes / Page;

  ASSERT_EQ (EFI_SUCCESS, PciIo->Mem.Write (PciIo, EfiPciIoWidthFillUint32, FrameBufferBar, 64 * Page, Cleared * Page / 4, &Zero));
  EXPECT_EQ (1u, Recorded.PageClears ());

  std::vector<UINT64>  Expected = { 3, 4, 9, 11 };

  for (UINT64 Index = 64; Index < 64 + Cleared; Index++) {
    Expected.push_back (Index);
  }

  EXPECT_EQ (Expected, WrittenPages ());
  EXPECT_TRUE (Recorded.Written (0, 4 * Page - 4)) << "any byte of a range counts";
  EXPECT_FALSE (Recorded.Written (DefaultFrameBufferSize - Page, 2 * Page)) << "the range may reach past the BAR";

  Recorded.ClearWrittenPages ();
  EXPECT_EQ (std::vector<UINT64>{}, WrittenPages ());
}

TEST_F (AdapterModelTest, FifoWidthKeepsDeviceAddressAndAdvancesBuffer) {
  UINT32  Units[3] = { 1, 2, 3 };
  UINT32  Read[3]  = { 0, 0, 0 };

  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthFifoUint32, FrameBufferBar, 16, 3, Units));
  EXPECT_EQ (3u, FrameBufferWord (4));
  EXPECT_EQ (0u, FrameBufferWord (5));
  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthFifoUint32, FrameBufferBar, 16, 3, Read));
  EXPECT_EQ (3u, Read[0]);
  EXPECT_EQ (3u, Read[1]);
  EXPECT_EQ (3u, Read[2]);
}

TEST_F (AdapterModelTest, Uint64RowsRoundTripThroughTheFrameBuffer) {
  UINT64  Row[4] = { 0x0000000200000001ull, 0x0000000400000003ull, 0x0000000600000005ull, 0x0000000800000007ull };
  UINT32  Back[8];

  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint64, FrameBufferBar, 64, 4, Row));
  ASSERT_EQ (EFI_SUCCESS, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthUint32, FrameBufferBar, 64, 8, Back));
  for (UINT32 Index = 0; Index < 8; Index++) {
    EXPECT_EQ (Index + 1, Back[Index]);
  }
}

//
// Trace and failure injection.
//

TEST_F (AdapterModelTest, TraceKeepsEveryCallInOrderWithItsStatus) {
  UINT32  Value = 0;
  UINT64  Attributes;

  ASSERT_EQ (EFI_SUCCESS, WriteRegister (0x68, 0x2));
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthUint32, RegisterBar, 0x6A, 1, &Value));
  mAdapter->PciIo ().AppendDelay (8);
  ASSERT_EQ (EFI_SUCCESS, mPciIo->Attributes (mPciIo, EfiPciIoAttributeOperationGet, 0, &Attributes));

  auto  Trace = mAdapter->Trace ();
  ASSERT_EQ (4u, Trace.size ());
  EXPECT_EQ (PciIoOperation::MemWrite, Trace[0].Operation);
  EXPECT_EQ (RegisterBar, Trace[0].BarIndex);
  EXPECT_EQ (0x68u, Trace[0].Offset);
  EXPECT_EQ (2u, Trace[0].Value);
  EXPECT_EQ (PciIoOperation::MemRead, Trace[1].Operation);
  EXPECT_EQ (EFI_UNSUPPORTED, Trace[1].Status);
  EXPECT_EQ (PciIoOperation::Delay, Trace[2].Operation);
  EXPECT_EQ (8u, Trace[2].Count);
  EXPECT_EQ (PciIoOperation::Attributes, Trace[3].Operation);
  EXPECT_STREQ ("Get", RecordWidthName (Trace[3]));
  EXPECT_STREQ ("MemWrite", OperationName (Trace[0].Operation));
  EXPECT_STREQ ("Uint32", RecordWidthName (Trace[0]));

  mAdapter->ClearTrace ();
  mAdapter->PciIo ().SetTracing (FALSE);
  ASSERT_EQ (EFI_SUCCESS, WriteRegister (0x68, 0x4));
  EXPECT_EQ (0u, mAdapter->TraceCount ());
}

TEST_F (AdapterModelTest, TraceOverflowIsCounted) {
  AdapterOptions  Options;

  Options.TraceCapacity = 2;
  SimAdapter  &Small = mPlatform->AddAdapter (Options);
  UINT32      Value  = 0;

  for (int Index = 0; Index < 5; Index++) {
    Small.Protocol ()->Mem.Write (Small.Protocol (), EfiPciIoWidthUint32, RegisterBar, 0x70, 1, &Value);
  }

  EXPECT_EQ (2u, Small.TraceCount ());
  EXPECT_EQ (3u, Small.PciIo ().TraceOverflow ());
}

TEST_F (AdapterModelTest, InjectedFailureHitsOnlyTheNthMatchingCallAndMakesNoAccess) {
  FailureInjection  Injection = FailNth (PciIoOperation::MemWrite, 2, EFI_DEVICE_ERROR);

  Injection.MatchOffset = TRUE;
  Injection.Offset      = 0x68;
  ASSERT_TRUE (mAdapter->PciIo ().InjectFailure (Injection));

  EXPECT_EQ (EFI_SUCCESS, WriteRegister (0x68, 1));
  EXPECT_EQ (EFI_SUCCESS, WriteRegister (0x6C, 1));
  EXPECT_EQ (EFI_DEVICE_ERROR, WriteRegister (0x68, 2));
  EXPECT_EQ (1u, mAdapter->Register (0x68));
  EXPECT_EQ (EFI_SUCCESS, WriteRegister (0x68, 3));
  EXPECT_EQ (3u, mAdapter->Register (0x68));
  EXPECT_EQ (0u, mAdapter->PciIo ().PendingInjections ());

  auto  Trace = mAdapter->Trace ();
  ASSERT_EQ (4u, Trace.size ());
  EXPECT_EQ (EFI_DEVICE_ERROR, Trace[2].Status);
  EXPECT_EQ (2u, Trace[2].Value);
}

TEST_F (AdapterModelTest, AnyCallInjectionCountsEveryKindOfCallButNotDelays) {
  UINT64  Attributes = 0;
  UINT32  Header     = 0;

  ASSERT_TRUE (mAdapter->PciIo ().InjectFailure (FailNthCall (3, EFI_DEVICE_ERROR)));
  EXPECT_EQ (EFI_SUCCESS, WriteRegister (0x68, 1));
  mAdapter->PciIo ().AppendDelay (4);
  EXPECT_EQ (EFI_SUCCESS, mPciIo->Attributes (mPciIo, EfiPciIoAttributeOperationGet, 0, &Attributes));
  EXPECT_EQ (EFI_DEVICE_ERROR, mPciIo->Pci.Read (mPciIo, EfiPciIoWidthUint32, 0, 1, &Header));
  EXPECT_EQ (0u, Header);
  EXPECT_EQ (EFI_SUCCESS, mPciIo->Pci.Read (mPciIo, EfiPciIoWidthUint32, 0, 1, &Header));
  EXPECT_EQ (0u, mAdapter->PciIo ().PendingInjections ());
}

TEST_F (AdapterModelTest, AccessesOutsideTheBarsAreReportedWhenAskedAndStillRefused) {
  AdapterOptions  Options;

  Options.FailOnBarViolation = true;
  SimAdapter           &Adapter = mPlatform->AddAdapter (Options);
  EFI_PCI_IO_PROTOCOL  *PciIo   = Adapter.Protocol ();
  UINT32               Value    = 0;
  const UINT64         Last     = Adapter.Model ().BarLength (FrameBufferBar) - 4;

  //
  // Up to the last unit of each BAR is fine, so are refusals for other
  // reasons (alignment).
  //
  EXPECT_EQ (EFI_SUCCESS, PciIo->Mem.Write (PciIo, EfiPciIoWidthUint32, FrameBufferBar, Last, 1, &Value));
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Mem.Read (PciIo, EfiPciIoWidthUint32, RegisterBar, 2, 1, &Value));
  EXPECT_TRUE (TakeFailures ().empty ());

  //
  // One unit past the end, a range that wraps, a BAR that does not exist.
  //
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Mem.Write (PciIo, EfiPciIoWidthUint32, FrameBufferBar, Last, 2, &Value));
  EXPECT_NE (EFI_SUCCESS, PciIo->Mem.Read (PciIo, EfiPciIoWidthUint32, FrameBufferBar, MAX_UINT64 - 3, 2, &Value));
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Mem.Read (PciIo, EfiPciIoWidthUint32, 2, 0, 1, &Value));
  std::vector<std::string>  Failures = TakeFailures ();
  ASSERT_EQ (3u, Failures.size ());
  EXPECT_NE (std::string::npos, Failures[0].find ("adapter 1: MemWrite Uint32 outside the BARs: BAR 0, offset 0x1FFFFFC, count 0x2"))
    << Failures[0];

  //
  // Without the option the same access is refused quietly.
  //
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Mem.Write (mPciIo, EfiPciIoWidthUint32, FrameBufferBar, Last, 2, &Value));
  EXPECT_TRUE (TakeFailures ().empty ());
}

TEST_F (AdapterModelTest, RepeatingInjectionFailsEveryMatchingCall) {
  FailureInjection  Injection = FailNth (PciIoOperation::MemRead, 1, EFI_TIMEOUT);
  UINT32            Value     = 0;

  Injection.Repeat = TRUE;
  ASSERT_TRUE (mAdapter->PciIo ().InjectFailure (Injection));
  EXPECT_EQ (EFI_TIMEOUT, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthUint32, RegisterBar, 0, 1, &Value));
  EXPECT_EQ (EFI_TIMEOUT, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthUint32, RegisterBar, 4, 1, &Value));
  EXPECT_EQ (EFI_SUCCESS, WriteRegister (0, 1));
  mAdapter->PciIo ().ClearInjections ();
  EXPECT_EQ (EFI_SUCCESS, mPciIo->Mem.Read (mPciIo, EfiPciIoWidthUint32, RegisterBar, 0, 1, &Value));
}

//
// Attributes and BAR attributes.
//

TEST_F (AdapterModelTest, AttributesFollowTheBusDriverRules) {
  AdapterOptions  Options;

  Options.Config.SupportedAttributes = EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY;
  Options.Config.InitialAttributes   = EFI_PCI_IO_ATTRIBUTE_IO;
  SimAdapter           &Device = mPlatform->AddAdapter (Options);
  EFI_PCI_IO_PROTOCOL  *PciIo  = Device.Protocol ();
  UINT64               Result  = 0;

  ASSERT_EQ (EFI_SUCCESS, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSupported, 0, &Result));
  EXPECT_EQ (Options.Config.SupportedAttributes, Result);
  EXPECT_EQ (EFI_INVALID_PARAMETER, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationGet, 0, nullptr));

  // The full device-enable set is trimmed to what the controller supports.
  ASSERT_EQ (EFI_SUCCESS, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_DEVICE_ENABLE, nullptr));
  EXPECT_EQ (EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY, Device.Model ().CurrentAttributes ());

  // Bus master alone is not supported.
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_IO_ATTRIBUTE_BUS_MASTER, nullptr));
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSet, EFI_PCI_IO_ATTRIBUTE_BUS_MASTER, nullptr));

  ASSERT_EQ (EFI_SUCCESS, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSet, EFI_PCI_IO_ATTRIBUTE_IO, nullptr));
  EXPECT_EQ ((UINT64)EFI_PCI_IO_ATTRIBUTE_IO, Device.Model ().CurrentAttributes ());
  EXPECT_EQ (EFI_PCI_COMMAND_IO_SPACE, Device.Model ().ConfigSpace ()[PCI_COMMAND_OFFSET]);
}

TEST_F (AdapterModelTest, GetBarAttributesReturnsOneQwordDescriptorFromPool) {
  VOID  *Resources = nullptr;

  ASSERT_EQ (EFI_SUCCESS, mPciIo->GetBarAttributes (mPciIo, FrameBufferBar, nullptr, &Resources));
  ASSERT_NE (nullptr, Resources);
  EXPECT_TRUE (mPlatform->Pool ().IsLive (Resources));
  EXPECT_EQ (EfiBootServicesData, mPlatform->Pool ().BlockAt (Resources)->Type);

  auto  *Descriptor = static_cast<EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR *>(Resources);
  EXPECT_EQ (ACPI_ADDRESS_SPACE_DESCRIPTOR, Descriptor->Desc);
  EXPECT_EQ (ACPI_ADDRESS_SPACE_TYPE_MEM, Descriptor->ResType);
  EXPECT_EQ ((UINT64)(UINTN)mAdapter->FrameBuffer (), (UINT64)Descriptor->AddrRangeMin);
  EXPECT_EQ (DefaultFrameBufferSize, (UINT64)Descriptor->AddrLen);
  EXPECT_EQ (ACPI_END_TAG_DESCRIPTOR, reinterpret_cast<EFI_ACPI_END_TAG_DESCRIPTOR *>(Descriptor + 1)->Desc);
  EXPECT_EQ (Resources, mAdapter->Trace ().back ().Buffer);

  EXPECT_EQ (EFI_SUCCESS, mPlatform->BootServices ()->FreePool (Resources));
  EXPECT_EQ (0u, mPlatform->Pool ().LiveBlocks ());

  EXPECT_EQ (EFI_INVALID_PARAMETER, mPciIo->GetBarAttributes (mPciIo, FrameBufferBar, nullptr, nullptr));
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->GetBarAttributes (mPciIo, 2, nullptr, &Resources));
  mPlatform->Pool ().FailAllocation ();
  Resources = nullptr;
  EXPECT_EQ (EFI_OUT_OF_RESOURCES, mPciIo->GetBarAttributes (mPciIo, FrameBufferBar, nullptr, &Resources));
  EXPECT_EQ (nullptr, Resources);
}

TEST_F (AdapterModelTest, InjectionCanTargetOneAttributeOperation) {
  FailureInjection  Injection = FailNth (PciIoOperation::Attributes, 1, EFI_DEVICE_ERROR);
  UINT64            Result;

  Injection.MatchWidth = TRUE;
  Injection.Width      = EfiPciIoAttributeOperationEnable;
  ASSERT_TRUE (mAdapter->PciIo ().InjectFailure (Injection));
  EXPECT_EQ (EFI_SUCCESS, mPciIo->Attributes (mPciIo, EfiPciIoAttributeOperationSupported, 0, &Result));
  EXPECT_EQ (EFI_SUCCESS, mPciIo->Attributes (mPciIo, EfiPciIoAttributeOperationGet, 0, &Result));
  EXPECT_EQ (EFI_DEVICE_ERROR, mPciIo->Attributes (mPciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_DEVICE_ENABLE, nullptr));
  EXPECT_EQ (0u, mAdapter->Model ().CurrentAttributes ());

  auto  Trace = mAdapter->Trace ();
  ASSERT_EQ (3u, Trace.size ());
  EXPECT_EQ (DefaultSupportedAttributes, Trace[0].Result);
  EXPECT_EQ ((UINT64)EFI_PCI_DEVICE_ENABLE, Trace[2].Value);
  EXPECT_EQ (EFI_DEVICE_ERROR, Trace[2].Status);
}

TEST_F (AdapterModelTest, InjectionSlotsAreLimitedAndCountFromOne) {
  for (UINTN Slot = 0; Slot < MaxFailureInjections; Slot++) {
    EXPECT_TRUE (mAdapter->PciIo ().InjectFailure (FailNth (PciIoOperation::PciRead, 5, EFI_DEVICE_ERROR)));
  }

  EXPECT_FALSE (mAdapter->PciIo ().InjectFailure (FailNth (PciIoOperation::PciRead, 5, EFI_DEVICE_ERROR)));
  mAdapter->PciIo ().ClearInjections ();
  EXPECT_FALSE (mAdapter->PciIo ().InjectFailure (FailNth (PciIoOperation::PciRead, 0, EFI_DEVICE_ERROR)));
  EXPECT_EQ (0u, mAdapter->PciIo ().PendingInjections ());
}

TEST_F (AdapterModelTest, RegisterBarDescriptorReportsTheRegisterFile) {
  VOID    *Resources = nullptr;
  UINT64  Supports   = 1;

  ASSERT_EQ (EFI_SUCCESS, mPciIo->GetBarAttributes (mPciIo, RegisterBar, &Supports, &Resources));
  auto  *Descriptor = static_cast<EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR *>(Resources);
  EXPECT_EQ (DefaultRegisterFileSize, (UINT64)Descriptor->AddrLen);
  EXPECT_EQ (mAdapter->Model ().BarBase (RegisterBar), (UINT64)Descriptor->AddrRangeMin);
  EXPECT_EQ (0u, Supports);
  mPlatform->BootServices ()->FreePool (Resources);
}

TEST_F (AdapterModelTest, UnexpectedMemberIsReportedLoudlyAndUnsupported) {
  EXPECT_EQ (EFI_UNSUPPORTED, mPciIo->Flush (mPciIo));

  auto  Failures = TakeFailures ();
  ASSERT_EQ (1u, Failures.size ());
  EXPECT_NE (std::string::npos, Failures[0].find ("Flush"));
  EXPECT_EQ (PciIoOperation::Flush, mAdapter->Trace ().back ().Operation);
}

//
// The model without the host platform, as a firmware build uses it.
//

TEST (AdapterModelStandalone, WorksOnOwnerMemoryWithoutBootServices) {
  static UINT8   FrameBuffer[4096];
  static UINT32  Registers[MinimumRegisterFileSize / 4 + 1];
  TraceRecord    Trace[4];
  Adapter        Model;
  PciIoDevice    Device;
  AdapterConfig  Config = DefaultAdapterConfig ();
  VOID           *Resources;
  UINT32         Value  = 0xAB;

  Config.FrameBufferBase = 0x80000000;
  ASSERT_TRUE (Model.Initialize (Config, AdapterMemory{ FrameBuffer, sizeof (FrameBuffer), Registers, sizeof (Registers) }));
  Device.Initialize (&Model, nullptr, Trace, 4);
  EXPECT_EQ (&Device, PciIoDevice::FromProtocol (Device.Protocol ()));
  EXPECT_EQ (0x80000000u, Model.BarBase (FrameBufferBar));
  EXPECT_EQ (EFI_SUCCESS, Device.Protocol ()->Mem.Write (Device.Protocol (), EfiPciIoWidthUint32, FrameBufferBar, 4, 1, &Value));
  EXPECT_EQ (0xABu, FrameBuffer[4]);
  EXPECT_EQ (EFI_OUT_OF_RESOURCES, Device.Protocol ()->GetBarAttributes (Device.Protocol (), FrameBufferBar, nullptr, &Resources));
  EXPECT_FALSE (Model.Initialize (Config, AdapterMemory{ FrameBuffer, sizeof (FrameBuffer), Registers, 0x1000 }));
  PciIoDevice::ForgetLastUsed (&Device);
}

} // namespace
} // namespace Qd520Sim

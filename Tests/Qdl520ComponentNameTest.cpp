/** @file
  Component names: the driver's name through Component Name (ISO 639-2
  codes) and Component Name 2 (RFC 4646 tags), and the controller's name for
  controllers this driver manages and for those it does not.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "DriverTest.h"

#include "Qdl520.h"

#include <cstring>
#include <string>
#include <vector>

namespace Qd520Test {

namespace {

const std::u16string  kDriverName     = u"Quandrel QD520 GOP Driver";
const std::u16string  kControllerName = u"Quandrel QD520 PCI Adapter";

std::u16string
Text (
  const CHAR16  *Name
  )
{
  return (Name != nullptr) ? std::u16string (reinterpret_cast<const char16_t *>(Name)) : u"<null>";
}

CHAR8 *
Language (
  const char  *Code
  )
{
  return const_cast<CHAR8 *>(Code);
}

enum class Record {
  Iso,  ///< Component Name
  Rfc   ///< Component Name 2
};

const char *
RecordName (
  Record  Which
  )
{
  return (Which == Record::Iso) ? "Component Name" : "Component Name 2";
}

class ComponentNameTest : public StartedDriverTest {
protected:
  void
  SetUp (
    ) override
  {
    StartedDriverTest::SetUp ();
    mName = static_cast<EFI_COMPONENT_NAME_PROTOCOL *>(
              Platform ().Handles ().InterfaceOn (Platform ().ImageHandle (), gEfiComponentNameProtocolGuid)
              );
    mName2 = static_cast<EFI_COMPONENT_NAME2_PROTOCOL *>(
               Platform ().Handles ().InterfaceOn (Platform ().ImageHandle (), gEfiComponentName2ProtocolGuid)
               );
    ASSERT_NE (mName, nullptr);
    ASSERT_NE (mName2, nullptr);
  }

  EFI_STATUS
  DriverName (
    Record      Which,
    const char  *Code,
    CHAR16      **Name
    )
  {
    return (Which == Record::Iso) ? mName->GetDriverName (mName, Language (Code), Name) :
           mName2->GetDriverName (mName2, Language (Code), Name);
  }

  EFI_STATUS
  ControllerName (
    Record      Which,
    EFI_HANDLE  Controller,
    EFI_HANDLE  Child,
    const char  *Code,
    CHAR16      **Name
    )
  {
    return (Which == Record::Iso) ? mName->GetControllerName (mName, Controller, Child, Language (Code), Name) :
           mName2->GetControllerName (mName2, Controller, Child, Language (Code), Name);
  }

  /// Opens of PCI I/O on Controller, as (agent, attributes) pairs.
  std::vector<std::pair<EFI_HANDLE, UINT32> >
  PciIoOpens (
    EFI_HANDLE  Controller
    )
  {
    std::vector<std::pair<EFI_HANDLE, UINT32> >  Opens;

    for (const Qd520Sim::OpenRecord &Open : Platform ().Handles ().OpenRecords (Controller, gEfiPciIoProtocolGuid)) {
      Opens.emplace_back (Open.AgentHandle, Open.Attributes);
    }

    return Opens;
  }

  EFI_COMPONENT_NAME_PROTOCOL   *mName  = nullptr;
  EFI_COMPONENT_NAME2_PROTOCOL  *mName2 = nullptr;
};

TEST_F (ComponentNameTest, RecordsCarryTheirLanguagesAndShareTheTwoFunctions) {
  EXPECT_STREQ (reinterpret_cast<const char *>(mName->SupportedLanguages), "eng");
  EXPECT_STREQ (reinterpret_cast<const char *>(mName2->SupportedLanguages), "en");
  EXPECT_EQ (reinterpret_cast<VOID *>(mName->GetDriverName), reinterpret_cast<VOID *>(mName2->GetDriverName));
  EXPECT_EQ (reinterpret_cast<VOID *>(mName->GetControllerName), reinterpret_cast<VOID *>(mName2->GetControllerName));
}

TEST_F (ComponentNameTest, DriverNameAnswersEachRecordOnlyInItsOwnLanguageForm) {
  struct Case {
    Record        Which;
    const char    *Code;
    EFI_STATUS    Expected;
  };
  const Case  Cases[] = {
    { Record::Iso, "eng",     EFI_SUCCESS     },
    { Record::Iso, "engl",    EFI_SUCCESS     },   // an ISO 639-2 code is its first three letters
    { Record::Iso, "en",      EFI_UNSUPPORTED },
    { Record::Iso, "en-US",   EFI_UNSUPPORTED },
    { Record::Iso, "fra",     EFI_UNSUPPORTED },
    { Record::Iso, "ENG",     EFI_UNSUPPORTED },
    { Record::Iso, "",        EFI_UNSUPPORTED },
    { Record::Rfc, "en",      EFI_SUCCESS     },
    { Record::Rfc, "en-US",   EFI_UNSUPPORTED },
    { Record::Rfc, "eng",     EFI_UNSUPPORTED },
    { Record::Rfc, "e",       EFI_UNSUPPORTED },
    { Record::Rfc, "fr",      EFI_UNSUPPORTED },
    { Record::Rfc, "en;eng",  EFI_UNSUPPORTED },
  };
  UINT64  CallsBefore = Platform ().Pool ().AllocationCalls ();
  CHAR16  *First      = nullptr;

  for (const Case &Item : Cases) {
    SCOPED_TRACE (std::string (RecordName (Item.Which)) + " \"" + Item.Code + "\"");
    CHAR16  Untouched = 0;
    CHAR16  *Name     = &Untouched;

    EXPECT_EQ (DriverName (Item.Which, Item.Code, &Name), Item.Expected);
    if (Item.Expected == EFI_SUCCESS) {
      EXPECT_EQ (Text (Name), kDriverName);

      //
      // The answer is the driver's own string, the same every time.
      //
      EXPECT_FALSE (Platform ().Pool ().IsLive (Name));
      if (First == nullptr) {
        First = Name;
      }

      EXPECT_EQ (Name, First);
    } else {
      EXPECT_EQ (Name, &Untouched);
    }
  }

  EXPECT_EQ (Platform ().Pool ().AllocationCalls (), CallsBefore);
}

TEST_F (ComponentNameTest, NamesRefuseANullLanguageOrOutput) {
  for (Record Which : { Record::Iso, Record::Rfc }) {
    SCOPED_TRACE (RecordName (Which));
    const char  *Code = (Which == Record::Iso) ? "eng" : "en";
    CHAR16      *Name = nullptr;

    EXPECT_EQ (DriverName (Which, nullptr, &Name), EFI_INVALID_PARAMETER);
    EXPECT_EQ (DriverName (Which, Code, nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ (ControllerName (Which, mAdapter->Controller (), nullptr, nullptr, &Name), EFI_INVALID_PARAMETER);
    EXPECT_EQ (ControllerName (Which, mAdapter->Controller (), nullptr, Code, nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ (Name, nullptr);
  }
}

TEST_F (ComponentNameTest, ControllerNameNamesAStartedControllerAndLeavesItsPciIoAsItWas) {
  auto  OpensBefore = PciIoOpens (mAdapter->Controller ());

  ASSERT_EQ (Platform ().Handles ().CountOpens (mAdapter->Controller (), gEfiPciIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);
  for (Record Which : { Record::Iso, Record::Rfc }) {
    SCOPED_TRACE (RecordName (Which));
    CHAR16  *Name = nullptr;

    ASSERT_EQ (ControllerName (Which, mAdapter->Controller (), nullptr, (Which == Record::Iso) ? "eng" : "en", &Name), EFI_SUCCESS);
    EXPECT_EQ (Text (Name), kControllerName);
    EXPECT_FALSE (Platform ().Pool ().IsLive (Name));

    //
    // Each record keeps its own language form for controllers too.
    //
    CHAR16  *Other = nullptr;
    EXPECT_EQ (ControllerName (Which, mAdapter->Controller (), nullptr, (Which == Record::Iso) ? "en" : "eng", &Other), EFI_UNSUPPORTED);
    EXPECT_EQ (ControllerName (Which, mAdapter->Controller (), nullptr, "en-US", &Other), EFI_UNSUPPORTED);
    EXPECT_EQ (Other, nullptr);
  }

  EXPECT_EQ (PciIoOpens (mAdapter->Controller ()), OpensBefore);
  EXPECT_EQ (mAdapter->TraceCount (), 0u);
}

TEST_F (ComponentNameTest, ControllerNameOfAChildIsUnsupported) {
  EFI_HANDLE  DisplayChild = PrivateOf (mGop)->Handle;

  ASSERT_NE (DisplayChild, nullptr);
  for (Record Which : { Record::Iso, Record::Rfc }) {
    SCOPED_TRACE (RecordName (Which));
    const char  *Code = (Which == Record::Iso) ? "eng" : "en";
    CHAR16      *Name = nullptr;

    EXPECT_EQ (ControllerName (Which, mAdapter->Controller (), DisplayChild, Code, &Name), EFI_UNSUPPORTED);
    EXPECT_EQ (ControllerName (Which, mAdapter->Controller (), mAdapter->Controller (), Code, &Name), EFI_UNSUPPORTED);
    EXPECT_EQ (ControllerName (Which, DisplayChild, nullptr, Code, &Name), EFI_UNSUPPORTED);
    EXPECT_EQ (Name, nullptr);
  }
}

TEST_F (ComponentNameTest, ControllerNameOfAControllerNotManagedHereIsUnsupportedAndLeavesItClosed) {
  AdapterOptions  OtherVendor;

  OtherVendor.Config.VendorId = 0x8086;
  SimAdapter  &Foreign  = AddAdapter (OtherVendor);
  SimAdapter  &Idle     = AddAdapter ();
  SimAdapter  &Borrowed = AddAdapter ();

  //
  // Another agent holds the third controller BY_DRIVER.
  //
  EFI_PCI_IO_PROTOCOL  *PciIo = nullptr;
  ASSERT_EQ (
    Platform ().BootServices ()->OpenProtocol (
                                   Borrowed.Controller (),
                                   &gEfiPciIoProtocolGuid,
                                   reinterpret_cast<VOID **>(&PciIo),
                                   Platform ().CoreImageHandle (),
                                   Borrowed.Controller (),
                                   EFI_OPEN_PROTOCOL_BY_DRIVER
                                   ),
    EFI_SUCCESS
    );

  struct Case {
    const char    *Name;
    EFI_HANDLE    Controller;
  };
  const Case  Cases[] = {
    { "another vendor's controller",         Foreign.Controller ()        },
    { "a QD520 that was not connected",      Idle.Controller ()           },
    { "a QD520 held by another driver",      Borrowed.Controller ()       },
    { "a handle without PCI I/O",            Platform ().ImageHandle ()   },
  };

  for (const Case &Item : Cases) {
    auto  OpensBefore = PciIoOpens (Item.Controller);

    for (Record Which : { Record::Iso, Record::Rfc }) {
      SCOPED_TRACE (std::string (Item.Name) + ", " + RecordName (Which));
      CHAR16  *Name = nullptr;

      EXPECT_EQ (ControllerName (Which, Item.Controller, nullptr, (Which == Record::Iso) ? "eng" : "en", &Name), EFI_UNSUPPORTED);
      EXPECT_EQ (Name, nullptr);

      //
      // Whether the controller is managed is settled before the language.
      //
      EXPECT_EQ (ControllerName (Which, Item.Controller, nullptr, nullptr, &Name), EFI_UNSUPPORTED);
      EXPECT_EQ (PciIoOpens (Item.Controller), OpensBefore);
    }
  }

  EXPECT_EQ (Platform ().Handles ().CountOpensByAgent (Binding ()->DriverBindingHandle, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);
  EXPECT_EQ (
    Platform ().BootServices ()->CloseProtocol (Borrowed.Controller (), &gEfiPciIoProtocolGuid, Platform ().CoreImageHandle (), Borrowed.Controller ()),
    EFI_SUCCESS
    );
}

TEST_F (ComponentNameTest, ControllerNameNamesAControllerStartedWithoutAChild) {
  SimAdapter                 &Held = AddAdapter ();
  Qd520Sim::DevicePathBytes  End   = Qd520Sim::MakeEndPath ();

  Held.FillRegisters (RegisterSeed + 1);
  ASSERT_EQ (Platform ().Connect (Held.Controller (), Qd520Sim::AsDevicePath (End)), EFI_SUCCESS);
  ASSERT_NE (GraphicsOutputOn (Held.Controller ()), nullptr);
  ASSERT_EQ (PrivateOf (GraphicsOutputOn (Held.Controller ()))->Handle, nullptr);

  CHAR16  *Name = nullptr;
  ASSERT_EQ (ControllerName (Record::Rfc, Held.Controller (), nullptr, "en", &Name), EFI_SUCCESS);
  EXPECT_EQ (Text (Name), kControllerName);
}

} // namespace

} // namespace Qd520Test

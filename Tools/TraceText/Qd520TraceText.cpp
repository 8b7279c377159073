/** @file
  Readable text of the simulated QD520's PCI I/O trace.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "Qd520TraceText.h"

#include "Qdl520RegisterMap.h"

#include <cstdarg>
#include <cstdio>

namespace Qd520TraceText {

using Qd520Sim::PciIoOperation;
using Qd520Sim::TraceRecord;

namespace {

std::string
Format (
  const char  *Pattern,
  ...
  ) __attribute__ ((format (printf, 1, 2)));

std::string
Format (
  const char  *Pattern,
  ...
  )
{
  char     Text[256];
  va_list  Arguments;

  va_start (Arguments, Pattern);
  vsnprintf (Text, sizeof (Text), Pattern, Arguments);
  va_end (Arguments);
  return Text;
}

std::string
Hex (
  UINT64  Value
  )
{
  return Format ("0x%llX", (unsigned long long)Value);
}

std::string
Hex32 (
  UINT64  Value
  )
{
  return Format ("0x%08llX", (unsigned long long)Value);
}

std::string
Hex8 (
  UINT64  Value
  )
{
  return Format ("0x%02llX", (unsigned long long)Value);
}

std::string
Bar1Name (
  UINT64  Offset
  )
{
  const char  *Name = Qdl520Bar1RegisterName (Offset);

  if (Name == nullptr) {
    return "(no register)";
  }

  if ((Offset >= QDL520_REG_COLOUR_TABLE) && (Offset < Qdl520ColourTableRegister (QDL520_COLOUR_TABLE_ENTRIES))) {
    return std::string (Name) + " " + std::to_string ((Offset - QDL520_REG_COLOUR_TABLE) / 4);
  }

  return Name;
}

std::string
HdmiName (
  UINT32  Index
  )
{
  const char  *Name = Qdl520HdmiRegisterName (Index);

  return (Name != nullptr) ? Name : "(unused register)";
}

/// Bits of an index/data word outside index, data, strobe and read request.
constexpr UINT32  HdmiIndexDataUnknownBits =
  ~(Qdl520HdmiIndexData::Index::Mask | Qdl520HdmiIndexData::Data::Mask |
    Qdl520HdmiIndexData::WriteStrobe::Mask | Qdl520HdmiIndexData::ReadRequest::Mask);

/// A 32-bit access of one unit to the HDMI index/data register.
std::string
HdmiIndexDataAccess (
  const TraceRecord  &Record
  )
{
  UINT32       Value = (UINT32)Record.Value;
  UINT32       Index = Qdl520HdmiIndexData::Index::Get (Value);
  UINT32       Data  = Qdl520HdmiIndexData::Data::Get (Value);
  std::string  Text;

  if (Record.Operation == PciIoOperation::MemRead) {
    Text = "HDMI read " + Hex8 (Index) + " " + HdmiName (Index) + " -> " + Hex8 (Data);
  } else if (Qdl520HdmiIndexData::ReadRequest::Get (Value) != 0) {
    Text = "HDMI read request " + Hex8 (Index) + " " + HdmiName (Index);
    if (Qdl520HdmiIndexData::WriteStrobe::Get (Value) != 0) {
      Text += " with write strobe, data " + Hex8 (Data);
    } else if (Data != 0) {
      Text += ", data " + Hex8 (Data);
    }
  } else {
    Text = "HDMI write " + Hex8 (Index) + " " + HdmiName (Index) + " <- " + Hex8 (Data) +
           ((Qdl520HdmiIndexData::WriteStrobe::Get (Value) != 0) ? " (strobe)" : " (strobe off)");
  }

  if ((Value & HdmiIndexDataUnknownBits) != 0) {
    Text += " [word " + Hex32 (Value) + "]";
  }

  return Text;
}

std::string
UnitsText (
  const TraceRecord  &Record
  )
{
  if ((Record.Width == EfiPciIoWidthUint32) && (Record.Count == 1)) {
    return "";
  }

  return Format (" (%s, count %llu)", Qd520Sim::WidthName (Record.Width), (unsigned long long)Record.Count);
}

std::string
RegisterAccess (
  const TraceRecord  &Record
  )
{
  bool  IsRead = (Record.Operation == PciIoOperation::MemRead);

  if ((Record.Offset == QDL520_REG_HDMI_INDEX_DATA) && (Record.Width == EfiPciIoWidthUint32) &&
      (Record.Count == 1))
  {
    return HdmiIndexDataAccess (Record);
  }

  return std::string (IsRead ? "read " : "write ") + Hex (Record.Offset) + " " + Bar1Name (Record.Offset) +
         UnitsText (Record) + (IsRead ? " -> " : " <- ") + Hex32 (Record.Value);
}

std::string
MemoryAccess (
  const TraceRecord  &Record
  )
{
  bool  IsRead = (Record.Operation == PciIoOperation::MemRead);

  if (Record.BarIndex == Qd520Sim::RegisterBar) {
    return RegisterAccess (Record);
  }

  std::string  Where = (Record.BarIndex == Qd520Sim::FrameBufferBar)
                       ? std::string ("frame buffer")
                       : "memory BAR " + std::to_string (Record.BarIndex);

  return Where + (IsRead ? " read " : " write ") + Qd520Sim::WidthName (Record.Width) + " at " +
         Hex (Record.Offset) + " count " + Hex (Record.Count) + (IsRead ? " -> first " : " value ") +
         Hex (Record.Value);
}

std::string
ConfigAccess (
  const TraceRecord  &Record
  )
{
  bool  IsRead = (Record.Operation == PciIoOperation::PciRead);

  return std::string (IsRead ? "config read " : "config write ") + Qd520Sim::WidthName (Record.Width) +
         " at " + Hex (Record.Offset) + " count " + std::to_string (Record.Count) +
         (IsRead ? " -> first " : " value ") + Hex (Record.Value);
}

std::string
AttributesCall (
  const TraceRecord  &Record
  )
{
  std::string  Text = std::string ("attributes ") + Qd520Sim::AttributeOperationName (Record.Width);

  switch (Record.Width) {
    case EfiPciIoAttributeOperationGet:
    case EfiPciIoAttributeOperationSupported:
      return Text + " -> " + Hex (Record.Result);
    default:
      return Text + " " + Hex (Record.Value);
  }
}

std::string
BarIndexText (
  UINT8  BarIndex
  )
{
  return (BarIndex == Qd520Sim::NoBar) ? std::string ("") : " BAR " + std::to_string (BarIndex);
}

std::string
RecordText (
  const TraceRecord  &Record
  )
{
  switch (Record.Operation) {
    case PciIoOperation::MemRead:
    case PciIoOperation::MemWrite:
      return MemoryAccess (Record);
    case PciIoOperation::PciRead:
    case PciIoOperation::PciWrite:
      return ConfigAccess (Record);
    case PciIoOperation::Delay:
      return "delay " + std::to_string (Record.Count) + (Record.Count == 1 ? " unit" : " units");
    case PciIoOperation::Attributes:
      return AttributesCall (Record);
    case PciIoOperation::GetBarAttributes:
      return "GetBarAttributes" + BarIndexText (Record.BarIndex) +
             ((Record.Buffer != nullptr) ? " -> descriptor list" : "");
    default:
      return std::string (Qd520Sim::OperationName (Record.Operation)) + BarIndexText (Record.BarIndex) +
             " " + Qd520Sim::RecordWidthName (Record) + " at " + Hex (Record.Offset) +
             " count " + std::to_string (Record.Count);
  }
}

} // namespace

std::string
StatusName (
  EFI_STATUS  Status
  )
{
  static const struct {
    EFI_STATUS    Status;
    const char    *Name;
  } Names[] = {
    { EFI_SUCCESS,              "EFI_SUCCESS"              },
    { EFI_LOAD_ERROR,           "EFI_LOAD_ERROR"           },
    { EFI_INVALID_PARAMETER,    "EFI_INVALID_PARAMETER"    },
    { EFI_UNSUPPORTED,          "EFI_UNSUPPORTED"          },
    { EFI_BAD_BUFFER_SIZE,      "EFI_BAD_BUFFER_SIZE"      },
    { EFI_BUFFER_TOO_SMALL,     "EFI_BUFFER_TOO_SMALL"     },
    { EFI_NOT_READY,            "EFI_NOT_READY"            },
    { EFI_DEVICE_ERROR,         "EFI_DEVICE_ERROR"         },
    { EFI_WRITE_PROTECTED,      "EFI_WRITE_PROTECTED"      },
    { EFI_OUT_OF_RESOURCES,     "EFI_OUT_OF_RESOURCES"     },
    { EFI_NOT_FOUND,            "EFI_NOT_FOUND"            },
    { EFI_ACCESS_DENIED,        "EFI_ACCESS_DENIED"        },
    { EFI_TIMEOUT,              "EFI_TIMEOUT"              },
    { EFI_NOT_STARTED,          "EFI_NOT_STARTED"          },
    { EFI_ALREADY_STARTED,      "EFI_ALREADY_STARTED"      },
    { EFI_ABORTED,              "EFI_ABORTED"              },
    { EFI_INCOMPATIBLE_VERSION, "EFI_INCOMPATIBLE_VERSION" },
    { EFI_SECURITY_VIOLATION,   "EFI_SECURITY_VIOLATION"   },
  };

  for (const auto &Entry : Names) {
    if (Entry.Status == Status) {
      return Entry.Name;
    }
  }

  return "status " + Hex (Status);
}

std::string
FormatRecord (
  const TraceRecord  &Record
  )
{
  std::string  Text = RecordText (Record);

  if (Record.Status != EFI_SUCCESS) {
    Text += " [" + StatusName (Record.Status) + "]";
  }

  return Text;
}

std::string
FormatTrace (
  const std::vector<TraceRecord>  &Trace,
  size_t                          First,
  size_t                          Count
  )
{
  std::string  Text;

  for (size_t Index = First; (Index < Trace.size ()) && (Index - First < Count); Index++) {
    Text += "op " + std::to_string (Index) + ": " + FormatRecord (Trace[Index]) + "\n";
  }

  return Text;
}

} // namespace Qd520TraceText

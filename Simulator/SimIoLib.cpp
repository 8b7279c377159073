/** @file
  Host IoLib instance (the MdePkg IoLib.h API, C linkage). Accesses to the
  debug UART's ports 0x3F8..0x3FF go to the active platform's UART model; a
  wider access is split into byte accesses of consecutive registers. Any
  other port or address is a loud failure that reads as all ones and writes
  nothing: on this platform only the serial port is reached through IoLib.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

extern "C" {
#include <Library/IoLib.h>
}

#include <cstdio>

namespace {

using Qd520Sim::SimPlatform;
using Qd520Sim::Uart16550;

std::string
Describe (
  const char  *Function,
  UINT64      Address
  )
{
  char  Text[96];

  std::snprintf (Text, sizeof (Text), "%s (0x%llX)", Function, (unsigned long long)Address);
  return Text;
}

Uart16550 *
UartFor (
  UINT64      Address,
  size_t      Size,
  const char  *Function
  )
{
  SimPlatform  *Platform = SimPlatform::Current ();

  if (!Uart16550::OwnsPort (Address) || !Uart16550::OwnsPort (Address + Size - 1)) {
    QD520_SIM_FAIL ("unexpected " + Describe (Function, Address) + ": only the serial port at 0x3F8 is simulated");
    return nullptr;
  }

  if (Platform == nullptr) {
    QD520_SIM_FAIL (Describe (Function, Address) + " with no active SimPlatform");
    return nullptr;
  }

  return &Platform->Uart ();
}

template<typename T>
T
DeviceRead (
  UINT64      Address,
  const char  *Function
  )
{
  Uart16550  *Uart = UartFor (Address, sizeof (T), Function);
  UINT64     Value = 0;

  if (Uart == nullptr) {
    return (T) ~(T)0;
  }

  for (size_t Index = 0; Index < sizeof (T); Index++) {
    Value |= (UINT64)Uart->Read ((uint8_t)(Address + Index - Uart16550::BasePort)) << (8 * Index);
  }

  return (T)Value;
}

template<typename T>
T
DeviceWrite (
  UINT64      Address,
  T           Value,
  const char  *Function
  )
{
  Uart16550  *Uart = UartFor (Address, sizeof (T), Function);

  if (Uart != nullptr) {
    for (size_t Index = 0; Index < sizeof (T); Index++) {
      Uart->Write ((uint8_t)(Address + Index - Uart16550::BasePort), (uint8_t)((UINT64)Value >> (8 * Index)));
    }
  }

  return Value;
}

/// Mask of bits StartBit..EndBit of a T; a bad range is a loud failure
/// (the kit asserts) and gives an empty mask.
template<typename T>
T
FieldMask (
  UINTN       StartBit,
  UINTN       EndBit,
  const char  *Function
  )
{
  constexpr UINTN  Bits = sizeof (T) * 8;

  if ((EndBit >= Bits) || (StartBit > EndBit)) {
    QD520_SIM_FAIL (std::string (Function) + ": bad bit range " + std::to_string (StartBit) + ".." + std::to_string (EndBit));
    return 0;
  }

  return (T)(((~(UINT64)0) >> (63 - EndBit)) & ((~(UINT64)0) << StartBit));
}

template<typename T>
T
FieldRead (
  T      Operand,
  UINTN  StartBit,
  T      Mask
  )
{
  return (T)((Operand & Mask) >> StartBit);
}

template<typename T>
T
FieldInsert (
  T      Operand,
  UINTN  StartBit,
  T      Mask,
  T      Value
  )
{
  return (T)((Operand & ~Mask) | (((UINT64)Value << StartBit) & Mask));
}

} // namespace

#define QD520_IOLIB_WIDTH(Prefix, AddressName, Bits, Type)                                                      \
  Type EFIAPI Prefix##Read##Bits (UINTN AddressName) {                                                         \
    return DeviceRead<Type>(AddressName, #Prefix "Read" #Bits);                                                \
  }                                                                                                            \
  Type EFIAPI Prefix##Write##Bits (UINTN AddressName, Type Value) {                                            \
    return DeviceWrite<Type>(AddressName, Value, #Prefix "Write" #Bits);                                       \
  }                                                                                                            \
  Type EFIAPI Prefix##Or##Bits (UINTN AddressName, Type OrData) {                                              \
    return Prefix##Write##Bits (AddressName, (Type)(Prefix##Read##Bits (AddressName) | OrData));               \
  }                                                                                                            \
  Type EFIAPI Prefix##And##Bits (UINTN AddressName, Type AndData) {                                            \
    return Prefix##Write##Bits (AddressName, (Type)(Prefix##Read##Bits (AddressName) & AndData));              \
  }                                                                                                            \
  Type EFIAPI Prefix##AndThenOr##Bits (UINTN AddressName, Type AndData, Type OrData) {                         \
    return Prefix##Write##Bits (AddressName, (Type)((Prefix##Read##Bits (AddressName) & AndData) | OrData));   \
  }                                                                                                            \
  Type EFIAPI Prefix##BitFieldRead##Bits (UINTN AddressName, UINTN StartBit, UINTN EndBit) {                   \
    Type Mask = FieldMask<Type>(StartBit, EndBit, #Prefix "BitFieldRead" #Bits);                               \
    return FieldRead<Type>(Prefix##Read##Bits (AddressName), StartBit, Mask);                                  \
  }                                                                                                            \
  Type EFIAPI Prefix##BitFieldWrite##Bits (UINTN AddressName, UINTN StartBit, UINTN EndBit, Type Value) {      \
    Type Mask = FieldMask<Type>(StartBit, EndBit, #Prefix "BitFieldWrite" #Bits);                              \
    return Prefix##Write##Bits (AddressName, FieldInsert<Type>(Prefix##Read##Bits (AddressName), StartBit, Mask, Value)); \
  }                                                                                                            \
  Type EFIAPI Prefix##BitFieldOr##Bits (UINTN AddressName, UINTN StartBit, UINTN EndBit, Type OrData) {        \
    Type Mask = FieldMask<Type>(StartBit, EndBit, #Prefix "BitFieldOr" #Bits);                                 \
    return Prefix##Write##Bits (AddressName, (Type)(Prefix##Read##Bits (AddressName) | (((UINT64)OrData << StartBit) & Mask))); \
  }                                                                                                            \
  Type EFIAPI Prefix##BitFieldAnd##Bits (UINTN AddressName, UINTN StartBit, UINTN EndBit, Type AndData) {      \
    Type Mask = FieldMask<Type>(StartBit, EndBit, #Prefix "BitFieldAnd" #Bits);                                \
    return Prefix##Write##Bits (AddressName, (Type)(Prefix##Read##Bits (AddressName) & (~Mask | ((UINT64)AndData << StartBit)))); \
  }                                                                                                            \
  Type EFIAPI Prefix##BitFieldAndThenOr##Bits (UINTN AddressName, UINTN StartBit, UINTN EndBit, Type AndData, Type OrData) { \
    Type Mask  = FieldMask<Type>(StartBit, EndBit, #Prefix "BitFieldAndThenOr" #Bits);                         \
    Type Value = Prefix##Read##Bits (AddressName);                                                             \
    Value = (Type)(Value & (~Mask | ((UINT64)AndData << StartBit)));                                           \
    return Prefix##Write##Bits (AddressName, (Type)(Value | (((UINT64)OrData << StartBit) & Mask)));           \
  }

#define QD520_IOLIB_FIFO(Bits, Type)                                                   \
  VOID EFIAPI IoReadFifo##Bits (UINTN Port, UINTN Count, VOID *Buffer) {               \
    Type *Units = static_cast<Type *>(Buffer);                                         \
    for (UINTN Index = 0; Index < Count; Index++) {                                    \
      Units[Index] = IoRead##Bits (Port);                                              \
    }                                                                                  \
  }                                                                                    \
  VOID EFIAPI IoWriteFifo##Bits (UINTN Port, UINTN Count, VOID *Buffer) {              \
    const Type *Units = static_cast<const Type *>(Buffer);                             \
    for (UINTN Index = 0; Index < Count; Index++) {                                    \
      IoWrite##Bits (Port, Units[Index]);                                              \
    }                                                                                  \
  }

#define QD520_IOLIB_MMIO_BUFFER(Bits, Type)                                                        \
  Type * EFIAPI MmioReadBuffer##Bits (UINTN StartAddress, UINTN Length, Type *Buffer) {            \
    Type *Units = Buffer;                                                                          \
    for (UINTN Offset = 0; Offset + sizeof (Type) <= Length; Offset += sizeof (Type)) {            \
      *Units++ = MmioRead##Bits (StartAddress + Offset);                                           \
    }                                                                                              \
    return Buffer;                                                                                 \
  }                                                                                                \
  Type * EFIAPI MmioWriteBuffer##Bits (UINTN StartAddress, UINTN Length, const Type *Buffer) {     \
    const Type *Units = Buffer;                                                                    \
    for (UINTN Offset = 0; Offset + sizeof (Type) <= Length; Offset += sizeof (Type)) {            \
      MmioWrite##Bits (StartAddress + Offset, *Units++);                                           \
    }                                                                                              \
    return const_cast<Type *>(Buffer);                                                             \
  }

extern "C" {

QD520_IOLIB_WIDTH (Io, Port, 8, UINT8)
QD520_IOLIB_WIDTH (Io, Port, 16, UINT16)
QD520_IOLIB_WIDTH (Io, Port, 32, UINT32)
QD520_IOLIB_WIDTH (Io, Port, 64, UINT64)
QD520_IOLIB_WIDTH (Mmio, Address, 8, UINT8)
QD520_IOLIB_WIDTH (Mmio, Address, 16, UINT16)
QD520_IOLIB_WIDTH (Mmio, Address, 32, UINT32)
QD520_IOLIB_WIDTH (Mmio, Address, 64, UINT64)
QD520_IOLIB_FIFO (8, UINT8)
QD520_IOLIB_FIFO (16, UINT16)
QD520_IOLIB_FIFO (32, UINT32)
QD520_IOLIB_MMIO_BUFFER (8, UINT8)
QD520_IOLIB_MMIO_BUFFER (16, UINT16)
QD520_IOLIB_MMIO_BUFFER (32, UINT32)
QD520_IOLIB_MMIO_BUFFER (64, UINT64)

} // extern "C"

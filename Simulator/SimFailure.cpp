/** @file
  Loud failures of the simulated platform.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimFailure.h"

#include <cstdio>
#include <cstdlib>

namespace Qd520Sim {

namespace {

void
DefaultHandler (
  const char         *File,
  int                Line,
  const std::string  &Message
  )
{
  std::fprintf (stderr, "%s(%d): simulator failure: %s\n", File, Line, Message.c_str ());
  std::fflush (stderr);
  std::abort ();
}

FailureHandler  gHandler      = DefaultHandler;
unsigned long   gFailureCount = 0;

} // namespace

FailureHandler
SetFailureHandler (
  FailureHandler  Handler
  )
{
  FailureHandler  Previous = gHandler;

  gHandler = (Handler != nullptr) ? Handler : DefaultHandler;
  return Previous;
}

void
ReportFailure (
  const char         *File,
  int                Line,
  const std::string  &Message
  )
{
  gFailureCount++;
  gHandler (File, Line, Message);
}

unsigned long
FailureCount (
  )
{
  return gFailureCount;
}

void
ResetFailureCount (
  )
{
  gFailureCount = 0;
}

} // namespace Qd520Sim

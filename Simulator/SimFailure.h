/** @file
  Loud failures of the simulated platform: one settable handler that every
  simulator check reports to. The default prints to stderr and aborts; test
  programs install one that records a test failure and returns, so every
  caller of ReportFailure goes on with a safe result and never hangs.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_SIM_FAILURE_H_
#define QD520_SIM_FAILURE_H_

#include <string>

namespace Qd520Sim {

/// Receives every loud failure. May return (the simulator then continues
/// with an error status or a neutral value) or not return at all.
using FailureHandler = void (*)(const char *File, int Line, const std::string &Message);

/// Installs Handler (nullptr restores the default) and returns the previous one.
FailureHandler
SetFailureHandler (
  FailureHandler  Handler
  );

/// Reports a failure to the current handler.
void
ReportFailure (
  const char         *File,
  int                Line,
  const std::string  &Message
  );

/// Number of failures reported since the process started (or the last reset).
unsigned long
FailureCount (
  );

void
ResetFailureCount (
  );

} // namespace Qd520Sim

#define QD520_SIM_FAIL(Message)  ::Qd520Sim::ReportFailure (__FILE__, __LINE__, (Message))

#endif // QD520_SIM_FAILURE_H_

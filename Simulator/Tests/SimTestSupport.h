/** @file
  Fixture for the simulator's own tests: captures loud failures so a test
  can expect them, and fails the test on any it did not take.

  Copyright (c) 2026, the QD520 driver authors.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef QD520_SIM_TEST_SUPPORT_H_
#define QD520_SIM_TEST_SUPPORT_H_

#include "SimPlatform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Qd520Sim {

class SimTest : public ::testing::Test {
protected:
  void
  SetUp (
    ) override
  {
    Failures ().clear ();
    mPrevious = SetFailureHandler (Capture);
  }

  void
  TearDown (
    ) override
  {
    SetFailureHandler (mPrevious);
    for (const std::string &Message : Failures ()) {
      ADD_FAILURE () << "unexpected simulator failure: " << Message;
    }

    Failures ().clear ();
  }

  /// Loud failures reported since the last call.
  std::vector<std::string>
  TakeFailures (
    )
  {
    std::vector<std::string>  Taken;

    Taken.swap (Failures ());
    return Taken;
  }

private:
  static std::vector<std::string> &
  Failures (
    )
  {
    static std::vector<std::string>  List;

    return List;
  }

  static void
  Capture (
    const char         *,
    int                ,
    const std::string  &Message
    )
  {
    Failures ().push_back (Message);
  }

  FailureHandler  mPrevious = nullptr;
};

} // namespace Qd520Sim

#endif // QD520_SIM_TEST_SUPPORT_H_

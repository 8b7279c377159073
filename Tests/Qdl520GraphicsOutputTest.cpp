#include "DriverTest.h"
#include "Qdl520.h"
#include <chrono>
namespace Qd520Test {
namespace {
class Probe : public LoadedDriverTest {};
TEST_F (Probe, Allocs) {
  auto t0 = std::chrono::steady_clock::now ();
  UINT64 before = Platform ().Pool ().AllocationCalls ();
  ASSERT_EQ (Platform ().Connect (mAdapter->Controller ()), EFI_SUCCESS);
  auto t1 = std::chrono::steady_clock::now ();
  printf ("start ms %lld calls %llu trace %zu\n", (long long)std::chrono::duration_cast<std::chrono::milliseconds>(t1-t0).count (), (unsigned long long)(Platform ().Pool ().AllocationCalls () - before), mAdapter->TraceCount ());
  for (auto &b : Platform ().Pool ().Blocks ()) printf ("live %llu size %zu\n", (unsigned long long)b.Serial, (size_t)b.Size);
  ASSERT_EQ (Platform ().Disconnect (mAdapter->Controller ()), EFI_SUCCESS);
  printf ("live after stop %zu\n", Platform ().Pool ().LiveBlocks ());
  UINT64 n = Platform ().Pool ().AllocationCalls () - before;
  for (UINT64 i = 1; i <= n; i++) {
    Platform ().Pool ().FailAllocation (i);
    EFI_STATUS s = Platform ().Connect (mAdapter->Controller ());
    auto a = TakeAssertions ();
    printf ("fail %llu -> %llx asserts %zu %s live %zu\n", (unsigned long long)i, (unsigned long long)s, a.size (), a.empty () ? "" : a[0].Expression.c_str (), Platform ().Pool ().LiveBlocks ());
    Platform ().Disconnect (mAdapter->Controller ());
    printf ("   live after %zu\n", Platform ().Pool ().LiveBlocks ());
    Platform ().Pool ().ClearInjectedFailures ();
  }
}
}
}

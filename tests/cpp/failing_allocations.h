// Allocations that fail on demand, for the tests of what a failed
// allocation leaves behind. Built into the test binary only where the
// linker can wrap malloc and realloc (GNU ld and lld), since the core's own
// vectors allocate through them rather than through operator new.
#pragma once

#include <atomic>

namespace tagmire_test {

// Fails the `count`-th allocation from now (0: the next one), once.
void fail_allocation_after(long count);
// Whether the armed failure is still to come; disarms it.
bool disarm_failing_allocation();

}  // namespace tagmire_test

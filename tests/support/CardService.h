#pragma once
// The simulated smart-card service reset around a test; for programs linked with scardsim_control.
#include <gtest/gtest.h>

#include "scardsim.h"

namespace testsupport {

// Resets the service (no readers, cards or armed failures; running) when made and when dropped.
// As a fixture's first member it resets before the rest is made and after all of it is gone; a
// reset that fails stops the test before it runs.
struct CardServiceReset {
    CardServiceReset() { Reset(); }
    ~CardServiceReset() { SimReset(); }
    static void Reset() { ASSERT_EQ(0, SimReset()) << "the simulated smart-card service is not loaded"; }
};

}  // namespace testsupport

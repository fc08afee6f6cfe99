#include <gtest/gtest.h>

#include "sim/Sim.h"

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    sim::EnsureBooted();
    return RUN_ALL_TESTS();
}

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

// CI runs several suites at once on two cores. OpenMP workers that spin while they wait
// then stall each other badly, so these suites run with passive waiting unless the
// caller chose otherwise. libgomp reads the variable once, when it loads: hence the
// re-execution.
int main(int argc, char** argv) {
    if (std::getenv("OMP_WAIT_POLICY") == nullptr) {
        setenv("OMP_WAIT_POLICY", "passive", 1);
        execv("/proc/self/exe", argv);  // returns only on failure: then run as we are
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

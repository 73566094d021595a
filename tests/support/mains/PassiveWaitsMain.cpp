// The model runtime's threads spin briefly while they wait for work; CTest runs eight
// suites at once, many of them with tiny models, so the suites that predict wait passively.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (std::getenv("OMP_WAIT_POLICY") == nullptr) {
        setenv("OMP_WAIT_POLICY", "passive", 1);
        execv("/proc/self/exe", argv);  // returns only on failure: then run as we are
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#pragma once

namespace bexmor {

class ConcurrencyUtilities {
public:
    // The number of processors currently online, as the kernel reports it (at least 1).
    static int activeProcessorCount();
};

}  // namespace bexmor

#include "BexmorCore/ConcurrencyUtilities.h"

#include <unistd.h>

namespace bexmor {

int ConcurrencyUtilities::activeProcessorCount() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

}  // namespace bexmor

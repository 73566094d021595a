#include "BexmorCore/External/Hub/NetworkMonitor.h"

#include <cstdlib>
#include <cstring>

#include "Platform/Net/NetworkReachability.h"

namespace bexmor {

NetworkMonitor& NetworkMonitor::shared() {
    static NetworkMonitor monitor;
    return monitor;
}

void NetworkMonitor::startMonitoring() {}

bool NetworkMonitor::shouldUseOfflineMode() const {
    const char* disabled = std::getenv("CI_DISABLE_NETWORK_MONITOR");
    if (disabled && std::strcmp(disabled, "1") == 0) return false;
    return !isConnected();
}

void NetworkMonitor::setConnectivityProbe(std::function<bool()> probe) {
    std::scoped_lock lock(mutex_);
    probe_ = std::move(probe);
}

bool NetworkMonitor::isConnected() const {
    std::function<bool()> probe;
    {
        std::scoped_lock lock(mutex_);
        probe = probe_;
    }
    return probe ? probe() : platform::hasNetworkConnection();
}

}  // namespace bexmor

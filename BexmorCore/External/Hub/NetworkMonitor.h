#pragma once

#include <functional>
#include <mutex>

namespace bexmor {

// Whether the hub client should work offline. The machine's interfaces are read afresh at
// every question (no thread, nothing to go stale), so the process-wide monitor needs no
// starting; startMonitoring() is kept for callers and does nothing harmful when repeated.
class NetworkMonitor {
public:
    static NetworkMonitor& shared();

    void startMonitoring();
    // "CI_DISABLE_NETWORK_MONITOR" set to exactly "1" keeps the client online; otherwise
    // offline means no usable network interface.
    bool shouldUseOfflineMode() const;

    // Replaces the interface probe (tests run on machines whose only network is loopback).
    // An empty function restores the real probe.
    void setConnectivityProbe(std::function<bool()> probe);

private:
    NetworkMonitor() = default;
    bool isConnected() const;

    mutable std::mutex mutex_;
    std::function<bool()> probe_;
};

}  // namespace bexmor

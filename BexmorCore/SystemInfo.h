#pragma once

#include <string>
#include <string_view>

namespace bexmor {

// Text values of the system-control names the engine knows, read from Linux sources:
//
// | name                       | source                                               |
// |----------------------------|------------------------------------------------------|
// | "machdep.cpu.brand_string" | /proc/cpuinfo "model name" (or "Model", "Hardware")  |
// | "machdep.cpu.vendor"       | /proc/cpuinfo "vendor_id"                            |
// | "machdep.cpu.family"       | /proc/cpuinfo "cpu family", decimal                  |
// | "machdep.cpu.core_count"   | distinct physical cores in /proc/cpuinfo, decimal    |
// | "machdep.cpu.thread_count" | online processors (sysconf), decimal                 |
// | "hw.model"                 | DMI product name, else the device-tree model         |
// | "hw.machine"               | uname machine                                        |
// | "kern.ostype", "kern.osrelease", "kern.version", "kern.hostname" | uname          |
// | any other "a.b.c"          | /proc/sys/a/b/c (Linux's own sysctl names)           |
//
// A name that cannot be read gives the empty text, never an error. Integers come back as
// decimal text, not as raw bytes.
class SystemInfo {
public:
    static std::string stringFromSysctl(std::string_view name);

    // Each read once per process and kept.
    static const std::string& processor();
    static const std::string& cores();
    static const std::string& threads();
    static const std::string& vendor();
    static const std::string& family();
    // The machine's model name; the engine's device tables fall back to their default for
    // names they do not know.
    static const std::string& hwModel();
};

}  // namespace bexmor

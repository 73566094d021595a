#include "BexmorCore/SystemInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <set>
#include <utility>

#include "Platform/ML/SmallFile.h"

namespace bexmor {

namespace {

// System values are short; a bounded read keeps a misbehaving file from costing much.
constexpr std::size_t maximumValueSize = 64 * 1024;

std::string trimmed(std::string text) {
    const auto end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    const auto last = text.find_last_not_of(" \t\r\n");
    text.resize(last == std::string::npos ? 0 : last + 1);
    const auto first = text.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string readValue(const std::string& path) {
    return trimmed(platform::ml::readSmallFile(path, maximumValueSize));
}

// The first value of any of the keys, in /proc/cpuinfo's "key<tabs>: value" lines.
std::string cpuinfoValue(std::initializer_list<std::string_view> keys) {
    std::ifstream file("/proc/cpuinfo");
    std::string line;
    std::string found;
    std::size_t foundRank = keys.size();
    while (std::getline(file, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, colon));
        std::size_t rank = 0;
        for (const auto wanted : keys) {
            if (key == wanted && rank < foundRank) {
                found = trimmed(line.substr(colon + 1));
                foundRank = rank;
            }
            ++rank;
        }
        if (foundRank == 0) break;
    }
    return found;
}

std::string onlineProcessors() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? std::to_string(count) : std::string();
}

std::string physicalCores() {
    std::ifstream file("/proc/cpuinfo");
    std::string line;
    std::set<std::pair<std::string, std::string>> cores;
    std::string package;
    while (std::getline(file, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, colon));
        if (key == "physical id") package = trimmed(line.substr(colon + 1));
        if (key == "core id") cores.emplace(package, trimmed(line.substr(colon + 1)));
    }
    // Without topology lines (many ARM kernels) every online processor is a core.
    return cores.empty() ? onlineProcessors() : std::to_string(cores.size());
}

std::string machineModel() {
    std::string model = readValue("/sys/class/dmi/id/product_name");
    if (model.empty()) model = readValue("/sys/firmware/devicetree/base/model");
    return model;
}

std::string unameField(std::string_view name) {
    utsname info{};
    if (::uname(&info) != 0) return {};
    if (name == "hw.machine") return info.machine;
    if (name == "kern.ostype") return info.sysname;
    if (name == "kern.osrelease") return info.release;
    if (name == "kern.version") return info.version;
    return info.nodename;
}

// "kernel.ostype" -> /proc/sys/kernel/ostype. Only plain name components are accepted,
// so a name can never reach outside /proc/sys.
std::string procSys(std::string_view name) {
    std::string path = "/proc/sys";
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        const std::string_view component = name.substr(start, dot - start);
        if (component.empty()) return {};
        for (const char c : component) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                               c == '-';
            if (!plain) return {};
        }
        path += '/';
        path += component;
        start = dot + 1;
    }
    return readValue(path);
}

}  // namespace

std::string SystemInfo::stringFromSysctl(std::string_view name) {
    if (name == "machdep.cpu.brand_string") return cpuinfoValue({"model name", "Model", "Hardware", "cpu model"});
    if (name == "machdep.cpu.vendor") return cpuinfoValue({"vendor_id"});
    if (name == "machdep.cpu.family") return cpuinfoValue({"cpu family"});
    if (name == "machdep.cpu.core_count") return physicalCores();
    if (name == "machdep.cpu.thread_count") return onlineProcessors();
    if (name == "hw.model") return machineModel();
    if (name == "hw.machine" || name == "kern.ostype" || name == "kern.osrelease" || name == "kern.version" ||
        name == "kern.hostname") {
        return unameField(name);
    }
    return procSys(name);
}

const std::string& SystemInfo::processor() {
    static const std::string value = stringFromSysctl("machdep.cpu.brand_string");
    return value;
}

const std::string& SystemInfo::cores() {
    static const std::string value = stringFromSysctl("machdep.cpu.core_count");
    return value;
}

const std::string& SystemInfo::threads() {
    static const std::string value = stringFromSysctl("machdep.cpu.thread_count");
    return value;
}

const std::string& SystemInfo::vendor() {
    static const std::string value = stringFromSysctl("machdep.cpu.vendor");
    return value;
}

const std::string& SystemInfo::family() {
    static const std::string value = stringFromSysctl("machdep.cpu.family");
    return value;
}

const std::string& SystemInfo::hwModel() {
    static const std::string value = stringFromSysctl("hw.model");
    return value;
}

}  // namespace bexmor

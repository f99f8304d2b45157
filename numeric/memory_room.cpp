#include "numeric/memory_room.h"

#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "format/run_error.h"

namespace quillet {

namespace {

// The value (in kB) of a "Name:   123 kB" line of a /proc file; -1 when absent.
double proc_kb(const char* file, const std::string& name) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size(), name) != 0 || line.size() <= name.size() || line[name.size()] != ':')
            continue;
        std::istringstream v(line.substr(name.size() + 1));
        double kb = -1.0;
        if (v >> kb) return kb;
    }
    return -1.0;
}

// A number alone in a file ("max" or a huge value: no limit); -1 when absent.
double file_number(const std::string& file) {
    std::ifstream in(file);
    std::string text;
    if (!(in >> text) || text == "max") return -1.0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !(v >= 0.0) || v >= 0x1p62) return -1.0;
    return v;
}

// The control group's limit less its use: cgroup v2 (memory.max of the
// process's group) or v1 (memory.limit_in_bytes as mounted).
double cgroup_room() {
    std::ifstream in("/proc/self/cgroup");
    std::string line, v2_path;
    while (std::getline(in, line))
        if (line.compare(0, 3, "0::") == 0) v2_path = line.substr(3);
    for (const std::string& dir : {"/sys/fs/cgroup" + v2_path, std::string("/sys/fs/cgroup")}) {
        const double max = file_number(dir + "/memory.max");
        if (max >= 0.0) {
            const double used = file_number(dir + "/memory.current");
            return max - (used > 0.0 ? used : 0.0);
        }
    }
    const double max = file_number("/sys/fs/cgroup/memory/memory.limit_in_bytes");
    if (max < 0.0) return -1.0;
    const double used = file_number("/sys/fs/cgroup/memory/memory.usage_in_bytes");
    return max - (used > 0.0 ? used : 0.0);
}

// What the limit `which` leaves beyond `used` kB; -1 without a limit.
double rlimit_room(int which, double used_kb) {
    rlimit r{};
    if (getrlimit(which, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return -1.0;
    return double(r.rlim_cur) - (used_kb > 0.0 ? used_kb * 1024.0 : 0.0);
}

}  // namespace

memory_room available_memory() {
    memory_room best;
    auto consider = [&](double bytes, const char* why) {
        if (bytes < -0.5) return;
        if (bytes < 0.0) bytes = 0.0;
        if (best.bytes < 0.0 || bytes < best.bytes) best = {bytes, why};
    };
    const double avail_kb = proc_kb("/proc/meminfo", "MemAvailable");
    if (avail_kb >= 0.0) consider(avail_kb * 1024.0, "this machine has");
    consider(rlimit_room(RLIMIT_AS, proc_kb("/proc/self/status", "VmSize")),
             "the process's address-space limit (RLIMIT_AS) leaves");
    consider(rlimit_room(RLIMIT_DATA, proc_kb("/proc/self/status", "VmData")),
             "the process's data limit (RLIMIT_DATA) leaves");
    consider(cgroup_room(), "the control group's memory limit (memory.max) leaves");
    return best;
}

std::string thousands(std::int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

std::string byte_size(double bytes) {
    char text[32];
    if (bytes >= 0.95e9)
        std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    else if (bytes >= 0.95e6)
        std::snprintf(text, sizeof text, "%.0f MB", bytes / 1e6);
    else
        std::snprintf(text, sizeof text, "%.0f kB", std::ceil(bytes / 1e3));
    return text;
}

void require_memory(const std::vector<memory_part>& parts, const memory_room& room) {
    double total = 0.0;
    for (const memory_part& p : parts) total += p.bytes;
    if (room.bytes < 0.0 || total <= room.bytes) return;
    std::string list;
    for (const memory_part& p : parts) {
        if (p.bytes < 0.01 * total) continue;
        list += (list.empty() ? "" : "; ") + p.what + ": " + byte_size(p.bytes);
    }
    throw limit_error("the run needs about " + byte_size(total) + " of memory (" + list + ") but " + room.why +
                      " " + byte_size(room.bytes) + (room.why == "this machine has" ? " available" : ""));
}

}  // namespace quillet

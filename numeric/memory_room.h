// How much memory this process may still take, and the refusal of a run that
// needs more: a run adds up what its tables will take (memory_part) before it
// takes it, and require_memory compares the sum with the least of the
// machine's available memory (MemAvailable), the process's limits (RLIMIT_AS,
// RLIMIT_DATA) and its control group's limit (memory.max), each less what the
// process or group already uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

struct memory_part {
    std::string what;  // e.g. "12,000,000 particles with their edge copies"
    double bytes = 0.0;
};

struct memory_room {
    double bytes = -1.0;  // below 0: no limit known
    std::string why;      // "this machine has", "the address-space limit (RLIMIT_AS) leaves", ...
};

// The least room of the sources above that is known.
memory_room available_memory();

// Throws limit_error "the run needs about 3.2 GB of memory (parts: sizes...)
// but this machine has 1.9 GB available" when the parts add up to more than
// `room` (no check when room.bytes < 0). Parts of less than 1 % of the total
// are left out of the list (but counted).
void require_memory(const std::vector<memory_part>& parts, const memory_room& room);
inline void require_memory(const std::vector<memory_part>& parts) { require_memory(parts, available_memory()); }

// 12345678 -> "12,345,678".
std::string thousands(std::int64_t n);
// Bytes as "3.2 GB", "350 MB", "12 kB".
std::string byte_size(double bytes);

}  // namespace quillet

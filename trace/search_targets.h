// The instruction sets the ray searches run on. The searches are compiled for
// each one Highway targets (lower-case names: "avx3" for AVX-512, "avx2",
// "sse4", "ssse3", "emu128" for the portable code); every one gives the same
// answers bit for bit, so the choice changes only the speed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// The ones this processor runs, best first.
std::vector<std::string> search_target_names();
// The one in use: the best, unless choose_search_target chose another.
std::string search_target_name();
// Uses the named one from now on; false (nothing changed) when this processor
// cannot run it or the searches were not compiled for it.
bool choose_search_target(std::string_view name);

}  // namespace quillet

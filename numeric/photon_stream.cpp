// Positioning a per-photon stream: the run's seed and the photon number fix the
// key and the counter; nothing is drawn until the photon asks for a deviate.
#include "numeric/photon_stream.h"

namespace quillet {

void photon_stream::start(std::int32_t seed, std::int64_t photon) {
    // The seed's 32 bits as they stand: -1 and 0xFFFFFFFF are one key, and no
    // two int32 seeds share one.
    key = {std::uint64_t(std::uint32_t(seed)), photon_stream_tag};
    counter = {0, std::uint64_t(photon), 0, 0};
    next_half = 8;
}

}  // namespace quillet

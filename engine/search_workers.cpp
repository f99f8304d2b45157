#include "engine/search_workers.h"

namespace quillet {

search_options_t search_options = {false};

}  // namespace quillet

#include "util/ordered_map.hpp"  // moved to util/: the project's one hash map

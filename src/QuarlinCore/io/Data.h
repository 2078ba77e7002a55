// The owned byte buffer that readers return and records carry.
#pragma once

#include <cstddef>
#include <vector>

namespace quarlin {

using Data = std::vector<std::byte>;

}  // namespace quarlin

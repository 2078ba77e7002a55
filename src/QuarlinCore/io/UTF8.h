// Text from disks, paths and peers as valid UTF-8, for every encoder that requires it.
#pragma once

#include <string>
#include <string_view>

namespace quarlin {

// `text` with each maximal ill-formed subsequence replaced by U+FFFD (as Unicode recommends,
// and as the JSON writer's own replacement does), so that any name a disk or a path carries
// can be written. Valid text comes back unchanged.
std::string validUTF8(std::string_view text);

}  // namespace quarlin

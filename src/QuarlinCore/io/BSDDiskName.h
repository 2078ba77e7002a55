// Reduces a BSD device name or device path (/dev/rdisk4s2, disk3s1s1) to the name of its
// whole disk (disk4, disk3).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarlin {

struct BSDDiskName {
    // "disk" and the run of number characters after it, once an optional "/dev/" and the
    // "r" of "rdisk" are dropped; absent for anything that is not a disk name. Characters
    // are whole user-perceived characters, and a character is a number when Unicode gives
    // it a numeric type, so other scripts' digits count.
    static std::optional<std::string> wholeDisk(std::string_view name);
};

}  // namespace quarlin

// A reply block: move-only, called exactly once, from any thread.
#pragma once

#include <functional>

namespace quarlin {

template <class... Arguments>
using Reply = std::move_only_function<void(Arguments...)>;

}  // namespace quarlin

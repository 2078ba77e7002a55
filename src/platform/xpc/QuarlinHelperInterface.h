// The exported interface of the helper's protocol.
#pragma once

#include "HelperProtocol/QuarlinHelperXPCProtocol.h"
#include "platform/xpc/XPCInterface.h"

namespace quarlin::platform::xpc {

template <>
XPCInterface XPCInterface::interfaceWithProtocol<QuarlinHelperXPCProtocol>();

}  // namespace quarlin::platform::xpc

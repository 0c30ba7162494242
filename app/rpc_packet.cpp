#include "app/rpc_packet.h"

#include <algorithm>
#include <cstring>

size_t RpcPkgAssembler::feed(const uint8_t* data, size_t length) {
    size_t take = std::min(length, kRpcPkgSize - filled_);
    std::memcpy(bytes_ + filled_, data, take);
    filled_ += take;
    return take;
}

RpcFramePkg RpcPkgAssembler::take() {
    RpcFramePkg pkg;
    std::memcpy(&pkg, bytes_, sizeof pkg);
    filled_ = 0;
    return pkg;
}

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

void rpcPkgSetStampUs(RpcFramePkg* pkg, uint64_t stampUs) {
    static_assert(sizeof(pkg->stats) >= sizeof stampUs);
    std::memcpy(&pkg->stats, &stampUs, sizeof stampUs);
}

uint64_t rpcPkgStampUs(const RpcFramePkg& pkg) {
    uint64_t stampUs = 0;
    std::memcpy(&stampUs, &pkg.stats, sizeof stampUs);
    return stampUs;
}

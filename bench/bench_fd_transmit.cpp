// Transmit rate: KCAN_TransmitFD with one frame a call and with ten frames a
// call, while the virtual adapter acknowledges each packet 125 us after it
// arrived.
//
//   bench_fd_transmit [--smoke] [seconds-per-run]
#include <thread>

#include "bench_common.h"

namespace {

double run(uint32_t perCall, double secondsPerRun, uint64_t* failed) {
    std::vector<_KCAN_CANFD_OBJ> frames(perCall);
    for (uint32_t i = 0; i < perCall; ++i) {
        frames[i] = _KCAN_CANFD_OBJ{};
        frames[i].id = 0x100 + i;
        frames[i].len = 64;
        frames[i].frameFlags = KCAN_FRAME_FLAG_BRS;
    }
    uint64_t sent = 0;
    const auto t0 = bench::Clock::now();
    const auto end = t0 + std::chrono::duration<double>(secondsPerRun);
    while (bench::Clock::now() < end) {
        uint32_t n = KCAN_TransmitFD(bench::kType, 0, 0, frames.data(), perCall);
        sent += n;
        if (n != perCall)
            ++*failed;
    }
    return static_cast<double>(sent) / bench::seconds(bench::Clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    double secondsPerRun = smoke ? 0.5 : 5.0;
    if (argc > 1 && argv[argc - 1][0] != '-')
        secondsPerRun = std::atof(argv[argc - 1]);

    bench::openAdapter();
    bench::sim("dev 0 fault ack-latency 125");
    uint64_t failed = 0;
    const double one = run(1, secondsPerRun, &failed);
    const double ten = run(10, secondsPerRun, &failed);
    bench::sim("dev 0 fault clear");
    bench::closeAdapter();
    std::printf(
        "transmit at 125 us acknowledgement latency: 1 frame/call %.0f frames/s, "
        "10 frames/call %.0f frames/s, short calls %llu\n",
        one, ten, static_cast<unsigned long long>(failed));
    return failed == 0 ? 0 : 1;
}

// Receive latency: a reader waits in KCAN_ReceiveFD(..., -1); the virtual
// adapter is told to put one frame on its stream, and the time from that
// command to the reader's return is taken, many times over. The figure
// includes the simulator's control command and the bulk transfer.
//
//   bench_fd_latency [--smoke] [samples]
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "bench_common.h"

int main(int argc, char** argv) {
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    int samples = smoke ? 100 : 5000;
    if (argc > 1 && argv[argc - 1][0] != '-')
        samples = std::atoi(argv[argc - 1]);

    bench::openAdapter();
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(samples));
    int lost = 0;
    for (int i = 0; i < samples; ++i) {
        std::atomic<bool> waiting{false};
        bench::Clock::time_point returned{};
        uint32_t got = 0;
        std::thread reader([&] {
            _KCAN_CANFD_OBJ buf[4];
            waiting = true;
            got = KCAN_ReceiveFD(bench::kType, 0, 1, buf, 4, 2000);
            returned = bench::Clock::now();
        });
        while (!waiting)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(500));  // reader is blocked
        const auto sent = bench::Clock::now();
        bench::sim("dev 0 inject 1 F S D 123 0011223344556677");
        reader.join();
        if (got != 1) {
            ++lost;
            continue;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(returned - sent).count());
    }
    bench::closeAdapter();
    std::sort(micros.begin(), micros.end());
    std::printf("latency: %zu samples, median %.1f us, p99 %.1f us, max %.1f us, lost %d\n",
                micros.size(), bench::percentile(micros, 50), bench::percentile(micros, 99),
                micros.empty() ? 0.0 : micros.back(), lost);
    return lost == 0 ? 0 : 1;
}

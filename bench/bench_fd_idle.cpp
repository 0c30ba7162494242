// Idle cost: an open ZARO3018 with 8 initialised channels, no traffic, and one
// thread blocked in KCAN_Receive(..., -1). Reports the CPU time the whole
// process used over the interval (user + system, from /proc/self/stat) as a
// share of one core.
//
//   bench_fd_idle [--smoke] [seconds]
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "bench_common.h"

namespace {

// utime + stime of this process, in clock ticks.
unsigned long long cpuTicks() {
    std::ifstream in("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name (which may hold blanks) start past ')'.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)
        rest >> skip;  // state .. cmajflt (fields 3..13)
    unsigned long long utime = 0, stime = 0;
    rest >> utime >> stime;
    return utime + stime;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    double interval = smoke ? 1.0 : 10.0;
    if (argc > 1 && argv[argc - 1][0] != '-')
        interval = std::atof(argv[argc - 1]);

    bench::openAdapter();
    std::thread blocked([] {
        _KCAN_CAN_OBJ buf[32];
        KCAN_Receive(bench::kType, 0, 0, buf, 32, -1);  // woken by the frame at the end
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // settle

    const unsigned long long ticks0 = cpuTicks();
    const auto t0 = bench::Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(interval));
    const unsigned long long ticks1 = cpuTicks();
    const double elapsed = bench::seconds(bench::Clock::now() - t0);

    bench::sim("dev 0 inject 0 C S D 1 00");
    blocked.join();
    bench::closeAdapter();
    const double cpu =
        static_cast<double>(ticks1 - ticks0) / static_cast<double>(sysconf(_SC_CLK_TCK));
    const double share = 100.0 * cpu / elapsed;
    std::printf(
        "idle: %.2f s CPU in %.2f s with 8 channels open and a reader blocked = %.3f %% "
        "of one core\n",
        cpu, elapsed, share);
    return smoke || share < 1.0 ? 0 : 1;
}

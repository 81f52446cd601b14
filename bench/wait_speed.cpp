// How long a scenario's `wait 1000000000` (four months of simulated time) takes inside the
// program, without the process's start: the cycles of the wait run as the scenario runner runs
// them, from the start (the backlight's count runs on without a code) and from a registered, locked
// lock with the light out. Prints the median of 11 runs of each.
// Usage: wait_speed
#include "UI.h"
#include "idle_cycles.h"
#include "platform_memory.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr std::uint64_t billion = 1000000000;

// Runs `keys` one window each ('.' none), then the wait; returns its time in microseconds.
double wait_microseconds(const char* keys, loop_state& loop) {
    for (const char* key = keys; *key != '\0'; ++key) {
        start_window(loop);
        if (*key != '.') {
            handle_key(loop, *key);
        }
        run_cycle(loop, loop.last_tick + cycle_ticks);
    }
    const auto start = std::chrono::steady_clock::now();
    run_idle_cycles(loop, billion);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

void measure(const char* name, const char* keys) {
    std::vector<double> times;
    loop_state last;
    for (int run = 0; run < 11; ++run) {
        memory_console console;
        use_memory_console(console);
        num_pad_forget();
        loop_state loop;
        times.push_back(wait_microseconds(keys, loop));
        last = loop;
        release_signals(loop.signals);
        last.signals = nullptr;
    }
    std::sort(times.begin(), times.end());
    std::printf("| %-40s | %10.1f | %10llu | %11d |\n", name, times[times.size() / 2],
                static_cast<unsigned long long>(last.cycle_number), last.light_timer);
}

} // namespace

int main() {
    std::printf("| %-40s | %10s | %10s | %11s |\n", "wait 1000000000", "µs, median", "cycles",
                "light_timer");
    std::printf(
        "|------------------------------------------|------------|------------|-------------|\n");
    measure("from the start", "");
    measure("registered, locked, the light out", "1357...LC");
    return 0;
}

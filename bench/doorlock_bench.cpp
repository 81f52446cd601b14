// Measures doorlock from the outside, in a pseudo-terminal, side by side with a reference build
// that polls the keyboard and clock without ever waiting:
//   cycle period (each cycle leaves in one write, so frames arrive once per cycle), CPU while
//   idle, key-to-echo latency, bytes per idle cycle, time to the first screen, peak memory.
// Usage: doorlock_bench [--load] [--seconds N] [--keys N] [doorlock [reference]]
//   --load  keeps both cores busy with two spinning processes while measuring.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::duration;

const std::string frame_end = "\x1b[H"; // every cycle ends with the cursor sent home
const std::string echo_mark = "\xec\x88\xab\xec\x9e\x90"; // 숫자, the digit echo

double ms_between(clock_type::time_point a, clock_type::time_point b) {
    return duration<double, std::milli>(b - a).count();
}

struct statistics {
    std::size_t count = 0;
    double min = 0, p1 = 0, median = 0, p99 = 0, max = 0;
    std::size_t below_9_5 = 0; // periods shorter than 9.5 ms
    std::size_t above_11 = 0;  // periods longer than 11 ms
};

statistics summarise(std::vector<double> values) {
    statistics s;
    if (values.empty()) {
        return s;
    }
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        return values[std::min(values.size() - 1,
                               static_cast<std::size_t>(q * static_cast<double>(values.size())))];
    };
    s.count = values.size();
    s.min = values.front();
    s.p1 = at(0.01);
    s.median = at(0.5);
    s.below_9_5 = static_cast<std::size_t>(
        std::count_if(values.begin(), values.end(), [](double v) { return v < 9.5; }));
    s.above_11 = static_cast<std::size_t>(
        std::count_if(values.begin(), values.end(), [](double v) { return v > 11.0; }));
    s.p99 = at(0.99);
    s.max = values.back();
    return s;
}

// CPU time of a running process in milliseconds, from the scheduler's nanosecond account.
double cpu_ms(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/schedstat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        return -1;
    }
    unsigned long long ns = 0;
    const int got = std::fscanf(f, "%llu", &ns);
    std::fclose(f);
    return got == 1 ? static_cast<double>(ns) / 1e6 : -1;
}

class child_in_pty {
  public:
    explicit child_in_pty(const std::string& binary) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        started_ = clock_type::now();
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            setenv("TERM", "xterm-256color", 1);
            setenv("LANG", "C.UTF-8", 1);
            execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~child_in_pty() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
    }
    pid_t pid() const { return pid_; }
    clock_type::time_point started() const { return started_; }

    // Reads whatever arrives until `until`; calls `on_read` with each chunk and its arrival time.
    template <typename F> void read_until(clock_type::time_point until, F&& on_read) {
        char buffer[65536];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(until - clock_type::now());
            if (left.count() <= 0) {
                return;
            }
            pollfd ready{master_, POLLIN, 0};
            const timespec timeout{static_cast<time_t>(left.count() / 1000000),
                                   static_cast<long>(left.count() % 1000000) * 1000};
            if (ppoll(&ready, 1, &timeout, nullptr) <= 0) {
                continue;
            }
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            const std::string chunk(buffer, static_cast<std::size_t>(n));
            if (!on_read(chunk, clock_type::now())) {
                return;
            }
        }
    }
    void type(char key) { [[maybe_unused]] ssize_t n = write(master_, &key, 1); }

    // Quits with Q and returns the peak resident memory in KiB.
    long quit() {
        type('q');
        read_until(clock_type::now() + std::chrono::milliseconds(500),
                   [](const std::string&, clock_type::time_point) { return true; });
        rusage usage{};
        int status = 0;
        wait4(pid_, &status, 0, &usage);
        reaped_ = true;
        return usage.ru_maxrss;
    }

  private:
    pid_t pid_ = -1;
    int master_ = -1;
    bool reaped_ = false;
    clock_type::time_point started_;
};

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

struct measurement {
    double first_screen_ms = 0;
    statistics period;
    double idle_cpu_percent = 0;
    double bytes_per_cycle = 0;
    statistics echo;
    long peak_kib = 0;
};

measurement measure(const std::string& binary, double seconds, int keys) {
    measurement m;
    child_in_pty child(binary);

    // Start to the first complete screen: the first cycle's frame.
    bool first = false;
    child.read_until(clock_type::now() + std::chrono::seconds(5),
                     [&](const std::string& chunk, clock_type::time_point at) {
                         if (chunk.find(frame_end) != std::string::npos &&
                             chunk.find("UNLOCK") != std::string::npos) {
                             m.first_screen_ms = ms_between(child.started(), at);
                             first = true;
                         }
                         return !first;
                     });
    child.read_until(clock_type::now() + std::chrono::milliseconds(200),
                     [](const std::string&, clock_type::time_point) { return true; });

    // Idle: frame arrival times, bytes, CPU.
    std::vector<double> periods;
    std::size_t bytes = 0;
    std::size_t frames = 0;
    clock_type::time_point last_frame{};
    const double cpu_start = cpu_ms(child.pid());
    const auto idle_start = clock_type::now();
    child.read_until(
        idle_start + std::chrono::duration_cast<clock_type::duration>(duration<double>(seconds)),
        [&](const std::string& chunk, clock_type::time_point at) {
            bytes += chunk.size();
            for (std::size_t k = count_of(chunk, frame_end); k > 0; --k) {
                if (frames > 0) {
                    periods.push_back(ms_between(last_frame, at));
                }
                last_frame = at;
                ++frames;
            }
            return true;
        });
    const double idle_ms = ms_between(idle_start, clock_type::now());
    m.idle_cpu_percent = (cpu_ms(child.pid()) - cpu_start) / idle_ms * 100.0;
    m.period = summarise(periods);
    m.bytes_per_cycle = frames > 0 ? static_cast<double>(bytes) / static_cast<double>(frames) : 0;

    // Key to echo: digits at irregular moments of the cycle.
    std::vector<double> latencies;
    for (int i = 0; i < keys; ++i) {
        child.read_until(clock_type::now() + std::chrono::microseconds(15000 + (i * 7919) % 10000),
                         [](const std::string&, clock_type::time_point) { return true; });
        const auto typed = clock_type::now();
        child.type(static_cast<char>('0' + i % 10));
        std::string seen;
        child.read_until(typed + std::chrono::seconds(1),
                         [&](const std::string& chunk, clock_type::time_point at) {
                             seen += chunk;
                             if (seen.find(echo_mark) != std::string::npos) {
                                 latencies.push_back(ms_between(typed, at));
                                 return false;
                             }
                             return true;
                         });
    }
    m.echo = summarise(latencies);
    m.peak_kib = child.quit();
    return m;
}

// Two processes that keep both cores busy until they are killed.
std::vector<pid_t> start_load() {
    std::vector<pid_t> spinners;
    for (int i = 0; i < 2; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(600); // never outlives a forgotten benchmark
            volatile unsigned long spins = 0;
            for (;;) {
                spins = spins + 1UL;
            }
        }
        spinners.push_back(pid);
    }
    return spinners;
}

void stop_load(const std::vector<pid_t>& spinners) {
    for (pid_t pid : spinners) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

void row(const char* name, double ours, double reference, const char* unit) {
    const double ratio = ours != 0 ? reference / ours : 0;
    std::printf("| %-28s | %12.3f | %12.3f | %9.1fx | %s\n", name, ours, reference, ratio, unit);
}

} // namespace

int main(int argc, char** argv) {
    bool load = false;
    double seconds = 10;
    int keys = 300;
    std::vector<std::string> binaries;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--load") {
            load = true;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--keys" && i + 1 < argc) {
            keys = std::atoi(argv[++i]);
        } else {
            binaries.push_back(arg);
        }
    }
    const std::string ours = binaries.size() > 0 ? binaries[0] : DOORLOCK_BINARY;
    const std::string reference = binaries.size() > 1 ? binaries[1] : DOORLOCK_REFERENCE_BINARY;
    if (access(reference.c_str(), X_OK) != 0) {
        std::fprintf(stderr,
                     "no reference build at %s: configure with -DDOORLOCK_BUSY_POLL_REFERENCE=ON\n",
                     reference.c_str());
        return 2;
    }

    const std::vector<pid_t> spinners = load ? start_load() : std::vector<pid_t>{};
    const measurement a = measure(ours, seconds, keys);
    const measurement b = measure(reference, seconds, keys);
    stop_load(spinners);

    std::printf("doorlock benchmark: %.0f s idle, %d keys%s\n\n", seconds, keys,
                load ? ", both cores kept busy by two other processes" : "");
    std::printf("| %-28s | %12s | %12s | %10s | unit\n", "measure", "doorlock", "busy poll",
                "busy/ours");
    std::printf(
        "|------------------------------|--------------|--------------|------------|-----\n");
    row("idle CPU", a.idle_cpu_percent, b.idle_cpu_percent, "% of one core");
    row("cycle period median", a.period.median, b.period.median, "ms");
    row("cycle period p99", a.period.p99, b.period.p99, "ms");
    row("cycle period p1", a.period.p1, b.period.p1, "ms");
    row("cycle period min", a.period.min, b.period.min, "ms");
    row("cycle period max", a.period.max, b.period.max, "ms");
    row("cycles measured", static_cast<double>(a.period.count), static_cast<double>(b.period.count),
        "");
    row("periods under 9.5 ms", static_cast<double>(a.period.below_9_5),
        static_cast<double>(b.period.below_9_5), "");
    row("periods over 11 ms", static_cast<double>(a.period.above_11),
        static_cast<double>(b.period.above_11), "");
    row("key to echo median", a.echo.median, b.echo.median, "ms");
    row("key to echo p99", a.echo.p99, b.echo.p99, "ms");
    row("bytes per idle cycle", a.bytes_per_cycle, b.bytes_per_cycle, "bytes");
    row("start to first screen", a.first_screen_ms, b.first_screen_ms, "ms");
    row("peak memory (max RSS)", static_cast<double>(a.peak_kib), static_cast<double>(b.peak_kib),
        "KiB");
    return 0;
}

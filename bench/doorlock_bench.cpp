// Measures doorlock from the outside, side by side with three reference builds of the same source:
// one that polls the keyboard and clock without ever waiting (busy poll), one that sends every
// text to the terminal again whether it changed or not (full rewrite), and one that waits as on
// systems without ppoll, in select (the fallback, DOORLOCK_POLL_FALLBACK).
//   In a pseudo-terminal: CPU while idle, bytes per idle second, key-to-echo latency, time to the
//   first screen, peak memory, and the cycle period (with --states the cycle counter changes in
//   every cycle, so every cycle leaves in one write and frames arrive once per cycle).
//   Under a tmux server of its own: the idle CPU of the program and of the terminal emulator that
//   parses its output, the cost of the whole system.
//   The floor: a process that only wakes every 10 ms and writes nothing, under tmux too.
// Usage: doorlock_bench [--load] [--seconds N] [--keys N] [--rounds N] [--sleep-only]
//                       [doorlock [busy-poll [full-rewrite [poll-fallback]]]]
//   --sleep-only  only the table of the sleeping loop: wake-ups with nothing due and during the
//             automatic lock's countdown, idle CPU beside the floor, echo, period with --states.
//   --load    keeps both cores busy with two spinning processes while measuring.
//   --rounds  how many times each is measured under tmux, in turn (3); the medians are shown.
//   (--wake-every-10ms makes this program the floor.)
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
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::duration;

// The echoes of a digit (숫자 N 입력) and of K (key sensor 입력): typed in turn, each key changes
// the echo's first word, which is painted whole.
const std::string digit_echo_mark = "\xec\x88\xab\xec\x9e\x90";
const std::string key_echo_mark = "key";

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
    explicit child_in_pty(const std::string& binary, const char* option = nullptr) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        started_ = clock_type::now();
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            setenv("TERM", "xterm-256color", 1);
            setenv("LANG", "C.UTF-8", 1);
            execl(binary.c_str(), binary.c_str(), option, static_cast<char*>(nullptr));
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

struct measurement {
    double first_screen_ms = 0;
    statistics period;
    double idle_cpu_percent = 0;
    double bytes_per_second = 0;
    statistics echo;
    statistics busy_echo; // with --states
    long peak_kib = 0;
};

const auto read_on = [](const std::string&, clock_type::time_point) { return true; };

// Waits for the first screen; returns how long it took from the start, in ms.
double wait_first_screen(child_in_pty& child) {
    double ms = 0;
    child.read_until(clock_type::now() + std::chrono::seconds(5),
                     [&](const std::string& chunk, clock_type::time_point at) {
                         if (chunk.find("UNLOCK") == std::string::npos) {
                             return true;
                         }
                         ms = ms_between(child.started(), at);
                         return false;
                     });
    child.read_until(clock_type::now() + std::chrono::milliseconds(200), read_on);
    return ms;
}

clock_type::duration seconds_of(double seconds) {
    return std::chrono::duration_cast<clock_type::duration>(duration<double>(seconds));
}

// The cycle period, from the arrival times of the frames of a run with --states.
statistics measure_period(const std::string& binary, double seconds) {
    child_in_pty child(binary, "--states");
    wait_first_screen(child);
    std::vector<double> periods;
    clock_type::time_point last_frame{};
    child.read_until(clock_type::now() + seconds_of(seconds),
                     [&](const std::string&, clock_type::time_point at) {
                         if (last_frame != clock_type::time_point{}) {
                             periods.push_back(ms_between(last_frame, at));
                         }
                         last_frame = at;
                         return true;
                     });
    child.quit();
    return summarise(periods);
}

// Key to echo: a digit and K in turn, at irregular moments of the cycle.
statistics measure_echo(child_in_pty& child, int keys) {
    std::vector<double> latencies;
    for (int i = 0; i < keys; ++i) {
        child.read_until(clock_type::now() + std::chrono::microseconds(
                                                 15000 + static_cast<long long>(i) * 7919 % 10000),
                         read_on);
        const auto typed = clock_type::now();
        const bool digit = i % 2 == 0;
        child.type(digit ? static_cast<char>('0' + i / 2 % 10) : 'k');
        const std::string& echo_mark = digit ? digit_echo_mark : key_echo_mark;
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
    return summarise(latencies);
}

// Key to echo while the screen changes in every cycle (--states: the cycle counter), so that the
// machine is never idle between keys: what the echo path itself costs, without the wake-up of an
// idle system.
statistics measure_busy_echo(const std::string& binary, int keys) {
    child_in_pty child(binary, "--states");
    wait_first_screen(child);
    const statistics echo = measure_echo(child, keys);
    child.quit();
    return echo;
}

measurement measure(const std::string& binary, double seconds, int keys) {
    measurement m;
    m.period = measure_period(binary, seconds);
    child_in_pty child(binary);
    m.first_screen_ms = wait_first_screen(child);

    // Idle: bytes and CPU.
    std::size_t bytes = 0;
    const double cpu_start = cpu_ms(child.pid());
    const auto idle_start = clock_type::now();
    child.read_until(idle_start + seconds_of(seconds),
                     [&](const std::string& chunk, clock_type::time_point) {
                         bytes += chunk.size();
                         return true;
                     });
    const double idle_ms = ms_between(idle_start, clock_type::now());
    m.idle_cpu_percent = (cpu_ms(child.pid()) - cpu_start) / idle_ms * 100.0;
    m.bytes_per_second = static_cast<double>(bytes) / idle_ms * 1000.0;

    m.echo = measure_echo(child, keys);
    m.peak_kib = child.quit();
    return m;
}

// The process's voluntary context switches so far: each wait that ended counts one, so their rate
// is the rate of its wake-ups.
long voluntary_switches(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        return -1;
    }
    char line[256];
    long switches = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &switches) == 1) {
            break;
        }
    }
    std::fclose(f);
    return switches;
}

// Types `keys` one cycle window each: after each key, waits for its echo and then two cycles more.
void type_slowly(child_in_pty& child, const char* keys) {
    for (const char* key = keys; *key != '\0'; ++key) {
        child.type(*key);
        child.read_until(clock_type::now() + std::chrono::seconds(1),
                         [](const std::string&, clock_type::time_point) { return false; });
        child.read_until(clock_type::now() + std::chrono::milliseconds(30), read_on);
    }
}

// Wake-ups and CPU of a sleeping lock.
struct sleep_measurement {
    double wakes_per_second = 0;      // nothing due: code registered, bolt locked, light off
    double cpu_percent = 0;           // the same, % of one core
    double countdown_wakes = 0;       // from 0.2 s after the door closed to 2.9 s
    double wakes_around_the_lock = 0; // from 2.9 s to 3.5 s, the lock coming at 3.01 s
};

// Wake-ups per second and CPU of `pid` over `seconds`, reading its output meanwhile.
void wakes_and_cpu(child_in_pty& child, double seconds, double& wakes, double& cpu) {
    const long switches = voluntary_switches(child.pid());
    const double cpu_start = cpu_ms(child.pid());
    const auto start = clock_type::now();
    child.read_until(start + seconds_of(seconds), read_on);
    const double elapsed = ms_between(start, clock_type::now());
    wakes = static_cast<double>(voluntary_switches(child.pid()) - switches) / elapsed * 1000.0;
    cpu = (cpu_ms(child.pid()) - cpu_start) / elapsed * 100.0;
}

sleep_measurement measure_sleep(const std::string& binary, double seconds) {
    sleep_measurement m;
    child_in_pty child(binary);
    wait_first_screen(child);
    type_slowly(child, "2468lc"); // registered, locked, the cover closed puts the light out
    child.read_until(clock_type::now() + std::chrono::milliseconds(200), read_on);
    wakes_and_cpu(child, seconds, m.wakes_per_second, m.cpu_percent);

    type_slowly(child, "l"); // unlocked: the door may move
    child.type('d');         // the door closes: the bolt locks 301 cycles later
    const auto closed = clock_type::now();
    child.read_until(closed + std::chrono::milliseconds(200), read_on);
    const long at_start = voluntary_switches(child.pid());
    child.read_until(closed + std::chrono::milliseconds(2900), read_on);
    const long before_lock = voluntary_switches(child.pid());
    child.read_until(closed + std::chrono::milliseconds(3500), read_on);
    m.countdown_wakes = static_cast<double>(before_lock - at_start);
    m.wakes_around_the_lock = static_cast<double>(voluntary_switches(child.pid()) - before_lock);
    child.quit();
    return m;
}

// The floor's wake-ups and CPU, in the same pseudo-terminal.
void measure_floor(const std::string& floor_binary, double seconds, double& wakes, double& cpu) {
    child_in_pty child(floor_binary, "--wake-every-10ms");
    child.read_until(clock_type::now() + std::chrono::milliseconds(300), read_on);
    wakes_and_cpu(child, seconds, wakes, cpu);
}

// The CPU of the program and of the terminal emulator it draws on, idle, in % of one core.
struct system_cost {
    double program = 0;
    double emulator = 0;
    bool measured = false; // both processes were there from start to end
};

// The median of each share over the rounds.
system_cost median_cost(std::vector<system_cost> rounds) {
    std::vector<double> program, emulator;
    for (const system_cost& c : rounds) {
        if (!c.measured) {
            continue;
        }
        program.push_back(c.program);
        emulator.push_back(c.emulator);
    }
    return {summarise(program).median, summarise(emulator).median, !program.empty()};
}

std::string command_output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    pclose(pipe);
    return out;
}

// Runs the program in an 80x24 window of a tmux server of its own and reads both over `seconds`.
// A round whose processes could not be read (a server that failed to start) counts as unmeasured.
system_cost measure_under_tmux(const std::string& binary, double seconds) {
    static int servers = 0;
    const std::string server =
        "doorlock-bench-" + std::to_string(getpid()) + "-" + std::to_string(++servers);
    const std::string tmux = "tmux -L " + server + " -f /dev/null ";
    system_cost cost;
    if (std::system(
            (tmux + "new-session -d -x 80 -y 24 'env LANG=C.UTF-8 " + binary + "'").c_str()) != 0) {
        return cost;
    }
    const pid_t server_pid = std::atoi(command_output(tmux + "display -p '#{pid}'").c_str());
    const pid_t program_pid = std::atoi(command_output(tmux + "display -p '#{pane_pid}'").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // started and settled
    const auto start = clock_type::now();
    const double program_start = cpu_ms(program_pid);
    const double server_start = cpu_ms(server_pid);
    std::this_thread::sleep_for(seconds_of(seconds));
    const double elapsed = ms_between(start, clock_type::now());
    const double program_end = cpu_ms(program_pid);
    const double server_end = cpu_ms(server_pid);
    cost.program = (program_end - program_start) / elapsed * 100.0;
    cost.emulator = (server_end - server_start) / elapsed * 100.0;
    cost.measured = server_pid > 0 && program_pid > 0 && program_start >= 0 && server_start >= 0 &&
                    program_end >= 0 && server_end >= 0;
    [[maybe_unused]] int ignored = std::system((tmux + "kill-server").c_str());
    return cost;
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
    if (ours == 0) { // no ratio to nothing
        std::printf("| %-28s | %12.3f | %12.3f | %10s | %s\n", name, ours, reference, "-", unit);
        return;
    }
    std::printf("| %-28s | %12.3f | %12.3f | %9.1fx | %s\n", name, ours, reference,
                reference / ours, unit);
}

void header(const char* reference, const char* ratio) {
    std::printf("| %-28s | %12s | %12s | %10s | unit\n", "measure", "doorlock", reference, ratio);
    std::printf(
        "|------------------------------|--------------|--------------|------------|-----\n");
}

// The cycle period and the key-to-echo latency of two builds, side by side.
void period_and_echo_rows(const measurement& a, const measurement& b) {
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
}

const char* reference_path(const std::vector<std::string>& binaries, std::size_t index,
                           const char* built) {
    return binaries.size() > index ? binaries[index].c_str() : built;
}

// Sleeping until something can change, beside the floor, in the same run.
void print_sleep_rows(const std::string& binary, const char* self, double seconds, int keys,
                      bool load) {
    const std::vector<pid_t> spinners = load ? start_load() : std::vector<pid_t>{};
    const sleep_measurement m = measure_sleep(binary, seconds);
    double floor_wakes = 0;
    double floor_cpu = 0;
    measure_floor(self, seconds, floor_wakes, floor_cpu);
    const statistics period = measure_period(binary, seconds);
    child_in_pty child(binary);
    wait_first_screen(child);
    const statistics echo = measure_echo(child, keys);
    child.quit();
    stop_load(spinners);
    std::printf(
        "\nSleeping until something can change (in a pseudo-terminal, %.0f s each; wake-ups "
        "counted from voluntary context switches)%s:\n\n",
        seconds, load ? ", both cores kept busy" : "");
    header("floor", "floor/ours");
    row("wake-ups per s, nothing due", m.wakes_per_second, floor_wakes, "per second");
    row("idle CPU, nothing due", m.cpu_percent, floor_cpu, "% of one core");
    row("wake-ups, countdown 0.2-2.9s", m.countdown_wakes, floor_wakes * 2.7, "in 2.7 s");
    row("wake-ups, 2.9-3.5 s (lock)", m.wakes_around_the_lock, floor_wakes * 0.6, "in 0.6 s");
    const auto alone = [](const char* name, double value, const char* unit) {
        std::printf("| %-28s | %12.3f | %12s | %10s | %s\n", name, value, "", "", unit);
    };
    alone("key to echo median", echo.median, "ms");
    alone("key to echo p99", echo.p99, "ms");
    alone("period median, --states", period.median, "ms");
    alone("period p99, --states", period.p99, "ms");
}

} // namespace

// The floor: wakes every 10 ms in ppoll on standard input, as the simulator does, and does
// nothing else.
[[noreturn]] void wake_every_10ms() {
    for (;;) {
        pollfd ready{0, POLLIN, 0};
        const timespec timeout{0, 10000000};
        if (ppoll(&ready, 1, &timeout, nullptr) > 0) {
            std::exit(0);
        }
    }
}

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--wake-every-10ms") == 0) {
        wake_every_10ms();
    }
    bool load = false;
    double seconds = 10;
    int keys = 300;
    int rounds = 3;
    bool sleep_only = false;
    std::vector<std::string> binaries;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--load") {
            load = true;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--keys" && i + 1 < argc) {
            keys = std::atoi(argv[++i]);
        } else if (arg == "--sleep-only") {
            sleep_only = true;
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            binaries.push_back(arg);
        }
    }
    const std::string ours = reference_path(binaries, 0, DOORLOCK_BINARY);
    if (sleep_only) {
        print_sleep_rows(ours, argv[0], seconds, keys, load);
        return 0;
    }
    const std::string busy_poll = reference_path(binaries, 1, DOORLOCK_BUSY_POLL_BINARY);
    const std::string full_rewrite = reference_path(binaries, 2, DOORLOCK_FULL_REWRITE_BINARY);
    const std::string poll_fallback = reference_path(binaries, 3, DOORLOCK_POLL_FALLBACK_BINARY);
    for (const std::string& reference : {busy_poll, full_rewrite, poll_fallback}) {
        if (access(reference.c_str(), X_OK) != 0) {
            std::fprintf(stderr,
                         "no reference build at %s: configure with "
                         "-DDOORLOCK_BUSY_POLL_REFERENCE=ON -DDOORLOCK_FULL_REWRITE_REFERENCE=ON "
                         "-DDOORLOCK_POLL_FALLBACK_REFERENCE=ON\n",
                         reference.c_str());
            return 2;
        }
    }
    if (std::system("tmux -V >/dev/null 2>&1") != 0) {
        std::fprintf(stderr,
                     "tmux is needed for the terminal emulator's share (apt-get install tmux)\n");
        return 2;
    }

    const std::vector<pid_t> spinners = load ? start_load() : std::vector<pid_t>{};
    measurement a = measure(ours, seconds, keys);
    const measurement b = measure(busy_poll, seconds, keys);
    measurement c = measure(full_rewrite, seconds, keys);
    a.busy_echo = measure_busy_echo(ours, keys);
    c.busy_echo = measure_busy_echo(full_rewrite, keys);
    const measurement d = measure(poll_fallback, seconds, keys);
    // The machine's noise is as large as the differences: interleave rounds, take the medians.
    const std::string floor_command = std::string(argv[0]) + " --wake-every-10ms";
    std::vector<system_cost> ours_rounds, rewrite_rounds, fallback_rounds, floor_rounds;
    for (int round = 0; round < rounds; ++round) {
        ours_rounds.push_back(measure_under_tmux(ours, seconds));
        rewrite_rounds.push_back(measure_under_tmux(full_rewrite, seconds));
        fallback_rounds.push_back(measure_under_tmux(poll_fallback, seconds));
        floor_rounds.push_back(measure_under_tmux(floor_command, seconds));
    }
    const system_cost ours_system = median_cost(ours_rounds);
    const system_cost rewrite_system = median_cost(rewrite_rounds);
    const system_cost fallback_system = median_cost(fallback_rounds);
    const system_cost floor = median_cost(floor_rounds);
    stop_load(spinners);

    std::printf("doorlock benchmark: %.0f s idle, %d keys%s\n\n", seconds, keys,
                load ? ", both cores kept busy by two other processes" : "");
    std::printf("Waiting for keys against polling without pause (in a pseudo-terminal):\n\n");
    header("busy poll", "busy/ours");
    row("idle CPU", a.idle_cpu_percent, b.idle_cpu_percent, "% of one core");
    period_and_echo_rows(a, b);
    row("start to first screen", a.first_screen_ms, b.first_screen_ms, "ms");
    row("peak memory (max RSS)", static_cast<double>(a.peak_kib), static_cast<double>(b.peak_kib),
        "KiB");

    std::printf("\nPainting what changed against rewriting every text (idle CPU under tmux, median "
                "of %d rounds):\n\n",
                rounds);
    header("full rewrite", "rewr./ours");
    row("bytes per idle second", a.bytes_per_second, c.bytes_per_second, "bytes");
    row("idle CPU, program", ours_system.program, rewrite_system.program, "% of one core");
    row("idle CPU, tmux server", ours_system.emulator, rewrite_system.emulator, "% of one core");
    row("idle CPU, both", ours_system.program + ours_system.emulator,
        rewrite_system.program + rewrite_system.emulator, "% of one core");
    row("key to echo median", a.echo.median, c.echo.median, "ms");
    row("key to echo p99", a.echo.p99, c.echo.p99, "ms");
    row("key to echo median, busy", a.busy_echo.median, c.busy_echo.median, "ms (--states)");
    row("key to echo p99, busy", a.busy_echo.p99, c.busy_echo.p99, "ms (--states)");

    std::printf("\nWaiting in ppoll against the fallback of systems without it, select (in a "
                "pseudo-terminal; idle CPU under tmux, median of %d rounds):\n\n",
                rounds);
    header("fallback", "fallb/ours");
    row("idle CPU", a.idle_cpu_percent, d.idle_cpu_percent, "% of one core");
    row("idle CPU, program (tmux)", ours_system.program, fallback_system.program, "% of one core");
    period_and_echo_rows(a, d);
    std::printf(
        "\nThe floor, a process that only wakes every 10 ms, under tmux: %.3f %% (program), "
        "%.3f %% (tmux server)\n",
        floor.program, floor.emulator);
    print_sleep_rows(ours, argv[0], seconds, keys, load);
    return 0;
}

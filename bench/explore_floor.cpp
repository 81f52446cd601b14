// What a search of the lock's states costs on this machine before it checks anything: breadth
// first over the real step, on two threads, with nothing but what any such search must do. Each
// state is loaded into a signal set once and put back before each window; each window's inputs
// are compared with the earlier windows' (alike inputs step alike); each successor is read back,
// merged and packed, and, unless an earlier window of the state reached it, looked up in a flat
// open-addressing table (doorlock's own). The set is two such tables, one a thread, chosen by a
// bit of the hash, so that no look-up needs a lock: both threads expand their half of a level,
// then each adds the successors that fall in its half. No property, no path, no limit: the
// exploration's own times are measured against this.
// Usage: explore_floor [pairs | pieces]   (single keys and digits 0 and 1; `pairs` adds the
// two-key windows; `pieces` then times each piece of a window's work on the first states found)
#include "explore_step.h"
#include "explore_table.h"

#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct hashed_state {
    packed_state state;
    std::uint64_t hash;
};

struct worker {
    loop_state loop;
    pw_code own_code{};
    loaded_loop loaded;
    std::vector<packed_state> level; // the states of this level in this thread's half
    std::vector<packed_state> next;
    std::vector<hashed_state> successors[2]; // by the half they fall in
    std::uint64_t transitions = 0;
    std::uint64_t states = 0;
    std::vector<packed_state> kept; // the first new states, for `pieces`
};

// Steps every window of every state of the worker's level; the successors go to their half's list.
void expand_level(worker& w, const std::vector<key_window>& windows) {
    for (const packed_state& state : w.level) {
        load_values(w.loop, unpack(state), &w.own_code);
        save_loaded(w.loop, w.own_code, w.loaded);
        window_inputs stepped[64];
        packed_state reached[64];
        std::size_t distinct = 0;
        std::size_t different = 0;
        for (const key_window& window : windows) {
            ++w.transitions;
            restore_loaded(w.loop, w.own_code, w.loaded);
            apply_window(w.loop, window);
            const window_inputs inputs = inputs_of(w.loop);
            bool alike = false;
            for (std::size_t j = 0; j < distinct && !alike; ++j) {
                alike = stepped[j] == inputs;
            }
            if (alike) {
                continue;
            }
            stepped[distinct++] = inputs;
            step_signals signals;
            lock_values after = step_applied(w.loop, step_cycle, signals, &w.own_code);
            merge_counters(after);
            packed_state packed;
            if (!pack(after, packed)) {
                std::fputs("explore_floor: a state out of range\n", stderr);
                std::exit(1);
            }
            bool again = false; // reached by an earlier window of the state
            for (std::size_t j = 0; j < different && !again; ++j) {
                again = reached[j] == packed;
            }
            if (again) {
                continue;
            }
            reached[different++] = packed;
            const std::uint64_t hash = state_table::hash(packed);
            w.successors[hash >> 63].push_back({packed, hash});
        }
    }
}

// Adds the successors both workers found in half `me` to that half of the set (doorlock's own
// table, doubled as it fills); the new ones make the worker's next level.
void add_level(worker workers[2], int me, state_table& table) {
    worker& w = workers[me];
    w.next.clear();
    for (int from = 0; from < 2; ++from) {
        const std::vector<hashed_state>& found = workers[from].successors[me];
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (table.needs_growth()) {
                table.grow();
            }
            if (i + 8 < found.size()) {
                table.prefetch(found[i + 8].hash);
            }
            const auto index = static_cast<std::uint32_t>(w.states + w.next.size());
            if (table.find_or_insert(found[i].state, found[i].hash, index) == no_index) {
                w.next.push_back(found[i].state);
                if (w.kept.size() < w.kept.capacity()) {
                    w.kept.push_back(found[i].state);
                }
            }
        }
    }
    w.states += w.next.size();
}

// Runs pass `pass` of the pieces over `sample` (each pass does one piece more than the one
// before); its time a window, in ns. Every piece is a call into the program's library, which the
// compiler cannot leave out.
double time_pass(worker& w, const std::vector<packed_state>& sample,
                 const std::vector<key_window>& windows, int pass) {
    const auto began = std::chrono::steady_clock::now();
    for (const packed_state& state : sample) {
        load_values(w.loop, unpack(state), &w.own_code);
        save_loaded(w.loop, w.own_code, w.loaded);
        for (const key_window& window : windows) {
            restore_loaded(w.loop, w.own_code, w.loaded);
            apply_window(w.loop, window);
            if (pass == 1) {
                step_cycle(w.loop, nullptr);
                pw_buffer* buffer = w.loop.signals->control->buffer;
                if (buffer->registered != nullptr && buffer->registered != &w.own_code) {
                    delete buffer->registered;
                    buffer->registered = &w.own_code;
                }
            } else if (pass >= 2) {
                step_signals signals;
                lock_values after = step_applied(w.loop, step_cycle, signals, &w.own_code);
                if (pass == 3) {
                    merge_counters(after);
                    packed_state packed;
                    pack(after, packed);
                }
            }
        }
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - began)
               .count() /
           static_cast<double>(sample.size() * windows.size());
}

// What a window costs in each piece of the work above, on one thread over `sample`: the passes
// taken in turn five times, each at its fastest, and a piece costs the difference of its pass
// and the one before.
void time_pieces(worker& w, const std::vector<packed_state>& sample,
                 const std::vector<key_window>& windows) {
    const char* pieces[] = {"putting the state back and giving the keys", "the step",
                            "reading the signals and values back", "merging and packing"};
    double fastest[4] = {1e300, 1e300, 1e300, 1e300};
    for (int turn = 0; turn < 5; ++turn) {
        for (int pass = 0; pass < 4; ++pass) {
            fastest[pass] = std::min(fastest[pass], time_pass(w, sample, windows, pass));
        }
    }
    for (int pass = 0; pass < 4; ++pass) {
        std::printf("  %s: %.1f ns a window\n", pieces[pass],
                    fastest[pass] - (pass > 0 ? fastest[pass - 1] : 0));
    }
    std::printf("  (%zu states, one thread)\n", sample.size());
}

} // namespace

int main(int argc, char** argv) {
    const bool pairs = argc > 1 && std::strcmp(argv[1], "pairs") == 0;
    const bool pieces = argc > 1 && std::strcmp(argv[1], "pieces") == 0;
    const std::vector<key_window> windows = window_alphabet({0, 1}, pairs);
    state_table tables[2]; // the halves, by the top bit of the hash
    worker workers[2];
    for (worker& w : workers) {
        create_signal_set(w.loop);
        w.kept.reserve(pieces ? 1000000 : 0);
    }
    lock_values start = read_values(workers[0].loop);
    merge_counters(start);
    packed_state packed;
    pack(start, packed);
    const std::uint64_t hash = state_table::hash(packed);
    const auto half = static_cast<std::size_t>(hash >> 63);
    tables[half].grow();
    tables[half].find_or_insert(packed, hash, 0);
    workers[half].level.push_back(packed);
    workers[half].states = 1;

    bool more = true;
    std::uint64_t levels = 0; // with states, the start's included
    std::uint64_t phase = 0;  // three a level; the first of each decides
    std::barrier sync(2, [&]() noexcept {
        if (phase++ % 3 == 0) {
            more = !(workers[0].level.empty() && workers[1].level.empty());
            levels += more ? 1 : 0;
        }
    });
    auto run = [&](int me) {
        worker& w = workers[me];
        for (;;) {
            sync.arrive_and_wait(); // `more` is decided on the levels
            if (!more) {
                return;
            }
            expand_level(w, windows);
            sync.arrive_and_wait(); // every successor is in its half's list
            add_level(workers, me, tables[me]);
            sync.arrive_and_wait(); // every list is read
            workers[0].successors[me].clear();
            workers[1].successors[me].clear();
            w.level.swap(w.next);
        }
    };
    const auto began = std::chrono::steady_clock::now();
    const std::clock_t cpu_began = std::clock(); // both threads' time
    std::thread helper(run, 1);
    run(0);
    helper.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double cpu_seconds =
        static_cast<double>(std::clock() - cpu_began) / static_cast<double>(CLOCKS_PER_SEC);
    std::printf("%llu states, %llu transitions, %llu steps deep, %.1f s, CPU %.1f s\n",
                static_cast<unsigned long long>(workers[0].states + workers[1].states),
                static_cast<unsigned long long>(workers[0].transitions + workers[1].transitions),
                static_cast<unsigned long long>(levels - 1), seconds, cpu_seconds);
    if (pieces) {
        std::vector<packed_state> sample = workers[0].kept;
        sample.insert(sample.end(), workers[1].kept.begin(), workers[1].kept.end());
        time_pieces(workers[0], sample, windows);
    }
}

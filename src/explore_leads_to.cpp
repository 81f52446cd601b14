// The leads-to check: for each state where P holds without Q, the longest run of steps from it on
// which neither Q nor R holds, found depth first over the reachable states.
#include "explore_search_object.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <system_error>
#include <thread>

// The longest run of steps from each state on which neither Q nor R holds, up to N + 1 (a run
// that can go on for ever counts as N + 1), found depth first over the reachable states.
void explorer::check_leads_to(leads_to_check& check, loop_state& loop, pw_code& own_code) {
    const property& prop = properties_[check.property];
    property_outcome& outcome = result_.outcomes[check.property];
    const auto cap = static_cast<std::uint16_t>(prop.within + 1);
    constexpr std::uint16_t unknown = 0xFFFF;
    constexpr std::uint16_t on_stack = 0xFFFE;
    std::vector<std::uint16_t> longest(low_.size(), unknown);
    struct frame {
        std::uint32_t state;
        std::uint32_t next; // the next of its successors in `targets` to follow
        std::uint32_t end;  // past its last successor there
        std::uint16_t best;
    };
    std::vector<frame> stack;
    std::vector<std::uint32_t> targets; // the successors of the states on the stack, in order
    struct pending {
        packed_state packed;
        std::uint64_t hash;
        bool goes_on;
    };
    std::vector<pending> found(windows_.size());
    // Appends to `targets` the successor of `state` under each window, or no_index where Q or R
    // holds after the step (the run stops there) or the state lies beyond a bounded search.
    const auto successors_of = [&](std::uint32_t state) {
        const lock_values before = stored(state);
        observation seen{};
        observe_before(before, seen);
        for (std::size_t k = 0; k < windows_.size(); ++k) {
            step_signals signals;
            load_values(loop, before, &own_code);
            lock_values after = step_window(loop, options_.step, windows_[k], signals, &own_code);
            merge_counters(after);
            observe(after, signals, seen);
            pending& p = found[k];
            p.goes_on =
                !evaluate(prop.target, seen) && !(prop.has_excuse && evaluate(prop.excuse, seen));
            if (p.goes_on) {
                int mapping[10];
                if (options_.relabel) {
                    relabel_digits(after, options_.digits, mapping);
                }
                pack(after, p.packed);
                p.hash = state_table::hash(p.packed);
                table_.prefetch(p.hash);
            }
        }
        for (const pending& p : found) {
            targets.push_back(p.goes_on ? table_.find(p.packed, p.hash) : no_index);
        }
    };
    const auto push = [&](std::uint32_t state) {
        longest[state] = on_stack;
        const auto start = static_cast<std::uint32_t>(targets.size());
        successors_of(state);
        stack.push_back({state, start, static_cast<std::uint32_t>(targets.size()), 0});
    };
    const auto longest_from = [&](std::uint32_t root) {
        if (longest[root] != unknown) {
            return longest[root];
        }
        push(root);
        while (!stack.empty()) {
            frame& top = stack.back();
            if (top.next < top.end && top.best < cap) {
                const std::uint32_t target = targets[top.next++];
                if (target == no_index) {
                    continue;
                }
                const std::uint16_t known = longest[target];
                if (known == unknown) {
                    push(target);
                } else {
                    const int through = known == on_stack ? cap : known + 1;
                    top.best = static_cast<std::uint16_t>(
                        std::max<int>(top.best, std::min<int>(cap, through)));
                }
                continue;
            }
            const frame done = top;
            longest[done.state] = done.best;
            stack.pop_back();
            targets.resize(done.end - windows_.size());
            if (!stack.empty()) {
                frame& parent = stack.back();
                parent.best = static_cast<std::uint16_t>(
                    std::max<int>(parent.best, std::min<int>(cap, done.best + 1)));
            }
        }
        return longest[root];
    };
    for (const obligation& o : check.obligations) {
        ++outcome.states;
        if (longest_from(o.target) < prop.within) {
            continue;
        }
        // The run: the shortest way to the P state, then N steps on which Q never holds.
        outcome.holds = false;
        outcome.path = path_to(o.from);
        outcome.path.push_back(windows_[o.window]);
        std::uint32_t at = o.target;
        for (int left = prop.within; left > 0; --left) {
            targets.clear();
            successors_of(at);
            for (std::size_t k = 0; k < windows_.size(); ++k) {
                const std::uint32_t target = targets[k];
                if (target != no_index && longest[target] != unknown &&
                    longest[target] >= left - 1) {
                    outcome.path.push_back(windows_[k]);
                    at = target;
                    break;
                }
            }
        }
        break;
    }
}

// The leads-to properties are independent of each other once the search is done: two threads
// take them in turn, each stepping its own signal set; the table and the states are only read.
void explorer::check_all_leads_to() {
    std::atomic<std::size_t> next{0};
    const auto work = [&](loop_state& loop, pw_code& own_code) {
        for (std::size_t i = next++; i < leads_to_.size(); i = next++) {
            check_leads_to(leads_to_[i], loop, own_code);
        }
    };
    expansion_worker& second = workers_[1];
    std::thread helper;
    try {
        helper = std::thread(work, std::ref(second.loop), std::ref(second.own_code));
    } catch (const std::system_error&) {
        // no second thread: this one does all of them
    }
    work(workers_[0].loop, workers_[0].own_code);
    if (helper.joinable()) {
        helper.join();
    }
}

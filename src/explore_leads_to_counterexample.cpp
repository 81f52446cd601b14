// The shortest counterexample of a leads-to found violated: the shortest way to a P state, then
// N steps on which neither Q nor R holds, found depth first over the states the search numbered.
#include "explore_search_object.h"

#include <algorithm>
#include <vector>

// The longest run of steps from each state on which neither Q nor R holds, up to N + 1 (a run
// that can go on for ever counts as N + 1), found depth first over the reachable states.
void explorer::check_leads_to(leads_to_check& check, expansion_worker& w) {
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
    const auto index = static_cast<std::size_t>(&check - leads_to_.data());
    // Appends to `targets` the successor of `state` under each window, or no_index where Q or R
    // holds after the step (the run stops there) or the state lies beyond a bounded search.
    const auto successors_of = [&](std::uint32_t state) {
        follow_runs(w, state, index, 1, 1);
        for (std::size_t k = 0; k < windows_.size(); ++k) {
            targets.push_back(w.successors[k].target);
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

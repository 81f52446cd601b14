#include "explore_search.h"

#include "explore_arcs.h"
#include "explore_search_object.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <new>

#if defined(__unix__)
#include <unistd.h>
#endif

packed_state explorer::canonical_of(lock_values values, int mapping[10]) {
    merge_counters(values);
    if (options_.relabel) {
        relabel_digits(values, options_.digits, mapping);
    } else {
        for (int d = 0; d < 10; ++d) {
            mapping[d] = d;
        }
    }
    packed_state packed{};
    if (!pack(values, packed)) {
        fail("a state outside the ranges of the controllers' rules was reached");
    }
    return packed;
}

std::uint64_t explorer::held_bytes() const {
    return table_.bytes() + low_.capacity() * sizeof(std::uint64_t) +
           high_.capacity() * sizeof(std::uint32_t) + parent_.capacity() * sizeof(std::uint32_t) +
           window_.capacity();
}

// Whether one more state fits the limits; grows the tables ahead of need.
bool explorer::room_for_one_more() {
    if (options_.max_states != 0 && low_.size() >= options_.max_states) {
        result_.status = explore_status::incomplete;
        result_.problem = "the limit of " + std::to_string(options_.max_states) +
                          " states (--max-states) was reached";
        return false;
    }
    if (low_.size() >= no_index - 1) {
        result_.status = explore_status::incomplete;
        result_.problem = "more states than the search can number";
        return false;
    }
    const std::size_t n = low_.size();
    const bool arrays_full = n == low_.capacity();
    const bool table_full = table_.needs_growth();
    if (!arrays_full && !table_full) {
        return true;
    }
    std::uint64_t after = held_bytes();
    if (arrays_full) {
        after += n * (sizeof(std::uint64_t) + 2 * sizeof(std::uint32_t) + 1);
    }
    if (table_full) {
        after += table_.bytes_after_growth();
    }
    if (options_.max_memory != 0 && after > options_.max_memory) {
        result_.status = explore_status::incomplete;
        result_.problem = "the search would need more than " +
                          std::to_string(options_.max_memory / (1024 * 1024)) +
                          " MiB (--max-memory)";
        return false;
    }
    try {
        if (arrays_full) {
            const std::size_t more = n < 1024 ? 1024 : n * 2;
            low_.reserve(more);
            high_.reserve(more);
            parent_.reserve(more);
            window_.reserve(more);
        }
        if (table_full) {
            table_.grow();
        }
    } catch (const std::bad_alloc&) {
        result_.status = explore_status::incomplete;
        result_.problem = "memory ran out";
        return false;
    }
    result_.held_bytes = std::max(result_.held_bytes, held_bytes());
    return true;
}

bool explorer::add_start() {
    lock_values start = read_values(loop_);
    int mapping[10];
    const packed_state packed = canonical_of(start, mapping);
    if (!room_for_one_more()) {
        return false;
    }
    table_.find_or_insert(packed, state_table::hash(packed), 0);
    low_.push_back(packed.low);
    high_.push_back(packed.high);
    parent_.push_back(no_index);
    window_.push_back(0);
    return true;
}

bool explorer::check_merge(const lock_values& unmerged, const lock_values& canonical,
                           const int mapping[10]) {
    ++result_.merge_checks;
    for (const key_window& w : windows_) {
        step_signals signals;
        int unused[10];
        load_values(loop_, unmerged, &own_code_);
        const packed_state a =
            canonical_of(step_window(loop_, options_.step, w, signals, &own_code_), unused);
        load_values(loop_, canonical, &own_code_);
        const packed_state b = canonical_of(
            step_window(loop_, options_.step, relabel_window(w, mapping), signals, &own_code_),
            unused);
        if (!(a == b)) {
            return false;
        }
    }
    return true;
}

// Records a violation (or a witness) of property p by the step from `index` under window k.
void explorer::decide(std::size_t p, std::uint32_t index, std::size_t k) {
    property_outcome& outcome = result_.outcomes[p];
    outcome.holds = properties_[p].kind == property_kind::reachable;
    outcome.path = path_to(index);
    outcome.path.push_back(windows_[k]);
}

// Whether property p is still open and its verdict can change on this step.
bool explorer::undecided(std::size_t p) const {
    const bool reachable = properties_[p].kind == property_kind::reachable;
    return result_.outcomes[p].holds != reachable;
}

template <typename Parts>
void explorer::check(const Parts& which, std::uint32_t index, std::size_t k) {
    for (const auto& entry : which) {
        const part_check& c = part(entry);
        if (!undecided(c.property)) {
            continue;
        }
        const bool value = evaluate(c.part, seen_);
        if (properties_[c.property].kind == property_kind::always ? !value : value) {
            decide(c.property, index, k);
        }
    }
}

void explorer::expand(std::uint32_t index) {
    const lock_values before = stored(index);
    observe_before(before, seen_);
    active_.clear();
    for (const part_check& c : on_steps_) {
        if (undecided(c.property) && (c.guard.program.empty() || evaluate(c.guard, seen_))) {
            active_.push_back(&c);
        }
    }
    active_leads_.clear();
    for (leads_to_check& c : leads_to_) {
        const expression& guard = guards_[c.property];
        if (guard.program.empty() || evaluate(guard, seen_)) {
            active_leads_.push_back(&c);
        }
    }
    // First every successor, its checks and its slot fetched ahead; then the look-ups, whose
    // memory is on its way by then.
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        successor& next = successors_[k];
        step_signals signals;
        load_values(loop_, before, &own_code_);
        next.after = step_window(loop_, options_.step, windows_[k], signals, &own_code_);
        ++result_.transitions;
        next.merged = next.after;
        merge_counters(next.merged);
        if (result_.arcs != all_arcs_) {
            result_.arcs |= arcs_of_step(before, signals, next.after);
        }
        observe(next.merged, signals, seen_);
        check(active_, index, k);
        for (std::size_t c = 0; c < active_leads_.size(); ++c) {
            const property& prop = properties_[active_leads_[c]->property];
            obliges_[k * leads_to_.size() + c] =
                evaluate(prop.holds, seen_) && !evaluate(prop.target, seen_);
        }
        next.canonical = next.merged;
        if (options_.relabel) {
            relabel_digits(next.canonical, options_.digits, next.mapping);
        } else {
            for (int d = 0; d < 10; ++d) {
                next.mapping[d] = d;
            }
        }
        if (!pack(next.canonical, next.packed)) {
            fail("a state outside the ranges of the controllers' rules was reached");
            return;
        }
        next.hash = state_table::hash(next.packed);
        table_.prefetch(next.hash);
    }
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        successor& next = successors_[k];
        if (!room_for_one_more()) {
            return;
        }
        const auto fresh = static_cast<std::uint32_t>(low_.size());
        std::uint32_t target = table_.find_or_insert(next.packed, next.hash, fresh);
        if (target == no_index) {
            target = fresh;
            low_.push_back(next.packed.low);
            high_.push_back(next.packed.high);
            parent_.push_back(index);
            window_.push_back(static_cast<std::uint8_t>(k));
            if (!on_states_.empty()) {
                observe(next.merged, step_signals{}, seen_);
                check(on_states_, index, k);
            }
            if (!(next.after == next.canonical) &&
                (options_.check_every_merge || (fresh & 63) == 0) &&
                !check_merge(next.after, next.canonical, next.mapping)) {
                fail("a merge does not hold: the state reached by " +
                     std::to_string(path_to(index).size() + 1) +
                     " steps and its merged form step to different states");
                return;
            }
        }
        for (std::size_t c = 0; c < active_leads_.size(); ++c) {
            leads_to_check& check = *active_leads_[c];
            if (!obliges_[k * leads_to_.size() + c] ||
                (target < check.recorded.size() && check.recorded[target])) {
                continue;
            }
            if (check.recorded.size() <= target) {
                check.recorded.resize(std::max<std::size_t>(target + 1, check.recorded.size() * 2));
            }
            check.recorded[target] = true;
            check.obligations.push_back({target, index, static_cast<std::uint8_t>(k)});
        }
    }
}

std::vector<key_window> explorer::path_to(std::uint32_t index) const {
    std::vector<key_window> path;
    for (std::uint32_t at = index; parent_[at] != no_index; at = parent_[at]) {
        path.push_back(windows_[window_[at]]);
    }
    return {path.rbegin(), path.rend()};
}

void explorer::show_progress(bool last) {
#if defined(__unix__)
    if (!options_.progress || isatty(2) == 0) {
        return;
    }
#else
    if (!options_.progress) {
        return;
    }
#endif
    const auto now = std::chrono::steady_clock::now();
    if (!last && (now - started_ < std::chrono::seconds(1) ||
                  now - last_progress_ < std::chrono::milliseconds(500))) {
        return;
    }
    if (last && !progress_shown_) {
        return;
    }
    last_progress_ = now;
    progress_shown_ = true;
    std::fprintf(stderr, "\r%llu states, %llu transitions, %zu steps deep%s",
                 static_cast<unsigned long long>(low_.size()),
                 static_cast<unsigned long long>(result_.transitions), level_start_.size(),
                 last ? "\n" : "   ");
}

explore_result explorer::run() {
    if (!add_start()) {
        return result_;
    }
    std::uint32_t index = 0;
    while (index < low_.size() && result_.status == explore_status::complete) {
        if (options_.max_depth != 0 && level_start_.size() >= options_.max_depth) {
            result_.status = explore_status::incomplete;
            result_.problem =
                "the depth limit of " + std::to_string(options_.max_depth) + " steps was reached";
            break;
        }
        const auto level_end = static_cast<std::uint32_t>(low_.size());
        level_start_.push_back(index);
        for (; index < level_end && result_.status == explore_status::complete; ++index) {
            expand(index);
            if ((index & 0xFFFF) == 0) {
                show_progress(false);
            }
        }
    }
    result_.states = low_.size();
    result_.depth = level_start_.size() > 0 ? level_start_.size() - 1 : 0;
    for (std::size_t p = 0; p < properties_.size(); ++p) {
        if (properties_[p].kind != property_kind::leads_to) {
            result_.outcomes[p].states = result_.states;
        }
    }
    if (result_.status != explore_status::failed) {
        check_all_leads_to();
    }
    show_progress(true);
    result_.held_bytes = std::max(result_.held_bytes, held_bytes());
    result_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return result_;
}

explore_result explore(const explore_options& options, const std::vector<property>& properties) {
    explorer s(options, properties);
    return s.run();
}

std::vector<key_window> concrete_path(const explore_options& options,
                                      const std::vector<key_window>& path) {
    if (!options.relabel) {
        return path;
    }
    // Steps the canonical state and the concrete one side by side; `to_label` maps a concrete
    // digit to its label in the canonical state.
    loop_state canonical_loop;
    create_signal_set(canonical_loop);
    pw_code own_code{};
    int to_label[10];
    for (int d = 0; d < 10; ++d) {
        to_label[d] = d;
    }
    lock_values canonical = read_values(canonical_loop);
    std::vector<key_window> concrete;
    for (const key_window& w : path) {
        key_window typed = w;
        for (char& key : typed.keys) {
            for (int d = 0; key >= '0' && key <= '9' && d < 10; ++d) {
                if (to_label[d] == key - '0') {
                    key = static_cast<char>('0' + d);
                    break;
                }
            }
        }
        concrete.push_back(typed);
        step_signals signals;
        load_values(canonical_loop, canonical, &own_code);
        lock_values next = step_window(canonical_loop, options.step, w, signals, &own_code);
        merge_counters(next);
        int mapping[10];
        relabel_digits(next, options.digits, mapping);
        int composed[10];
        for (int d = 0; d < 10; ++d) {
            composed[d] =
                to_label[d] >= 0 && mapping[to_label[d]] >= 0 ? mapping[to_label[d]] : to_label[d];
        }
        std::copy(composed, composed + 10, to_label);
        canonical = next;
    }
    canonical_loop.signals->control->buffer->registered = nullptr;
    release_signals(canonical_loop.signals);
    return concrete;
}

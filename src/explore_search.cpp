#include "explore_search.h"

#include "explore_arcs.h"
#include "explore_search_object.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <new>
#include <system_error>

#if defined(__unix__)
#include <unistd.h>
#endif

explorer::explorer(const explore_options& options, const std::vector<property>& properties)
    : options_(options), properties_(properties),
      windows_(window_alphabet(options.digits, options.pairs)) {
    result_.outcomes.resize(properties.size());
    for (std::size_t i = 0; i < properties.size(); ++i) {
        const property& p = properties[i];
        if (p.kind == property_kind::leads_to) {
            leads_to_.push_back({i, {}, {}});
        }
        if (p.kind == property_kind::reachable) {
            result_.outcomes[i].holds = false;
        }
        guards_.push_back(p.kind == property_kind::never || p.kind == property_kind::leads_to
                              ? guard_before(p.holds)
                              : expression{});
        if (p.kind == property_kind::leads_to) {
            continue;
        }
        const auto joint = p.kind == property_kind::never    ? expression_node::kind::either
                           : p.kind == property_kind::always ? expression_node::kind::both
                                                             : expression_node::kind::compare;
        for (expression& part : parts_of(p.holds, joint)) {
            expression guard = p.kind == property_kind::never ? guard_before(part) : expression{};
            const bool on_step = part.reads_step;
            (on_step ? on_steps_ : on_states_).push_back({i, std::move(part), std::move(guard)});
        }
    }
    workers_[0].size_for(windows_.size(), leads_to_.size(), properties.size());
    if (options.threads > 1) {
        try {
            helper_.launch();
            // The second worker's memory made on the helper's thread comes from that thread's
            // heap: side by side with the first worker's, the two would share cache lines that
            // both threads write every step, and each would slow the other down.
            // The first set is given back here: freed on the helper's thread, its memory would
            // be the first that thread takes again.
            signal_set* first = workers_[1].loop.signals;
            auto remake = [this] {
                expansion_worker& w = workers_[1];
                w.loop.signals = nullptr;
                create_signal_set(w.loop);
                w.size_for(windows_.size(), leads_to_.size(), properties_.size());
            };
            helper_.start(&remake);
            helper_.finish();
            first->control->buffer->registered = nullptr;
            release_signals(first);
        } catch (const std::system_error&) {
            // no second thread: this one expands every state
        }
    }
    if (workers_[1].successors.empty()) {
        workers_[1].size_for(windows_.size(), leads_to_.size(), properties.size());
    }
}

void helper_thread::launch() {
    thread_ = std::thread([this] { serve(); });
}

void helper_thread::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        woken_.wait(lock, [this] { return busy_ || quit_; });
        if (quit_) {
            return;
        }
        lock.unlock();
        run_(work_);
        lock.lock();
        busy_ = false;
        done_.notify_all();
    }
}

helper_thread::~helper_thread() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            woken_.notify_all();
        }
        thread_.join();
    }
}

packed_state explorer::canonical_of(lock_values values, int mapping[10],
                                    std::string& problem) const {
    merge_counters(values);
    if (options_.relabel) {
        relabel_digits(values, options_.digits, mapping);
    } else {
        for (int d = 0; d < 10; ++d) {
            mapping[d] = d;
        }
    }
    packed_state packed{};
    if (!pack(values, packed) && problem.empty()) {
        problem = "a state outside the ranges of the controllers' rules was reached";
    }
    return packed;
}

std::uint64_t explorer::held_bytes() const {
    std::uint64_t bytes = table_.bytes() + low_.capacity() * sizeof(std::uint64_t) +
                          high_.capacity() * sizeof(std::uint32_t) +
                          parent_.capacity() * sizeof(std::uint32_t) + window_.capacity();
    for (const expansion_worker& w : workers_) {
        bytes += w.pending.capacity() * sizeof(pending_step) +
                 w.obliged.capacity() * sizeof(std::uint32_t);
    }
    return bytes;
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
    lock_values start = read_values(workers_[0].loop);
    int mapping[10];
    std::string problem;
    const packed_state packed = canonical_of(start, mapping, problem);
    if (!problem.empty()) {
        fail(problem);
        return false;
    }
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

bool explorer::check_merge(expansion_worker& w, const lock_values& unmerged,
                           const lock_values& canonical, const int mapping[10]) {
    ++w.merge_checks;
    for (const key_window& window : windows_) {
        step_signals signals;
        int unused[10];
        load_values(w.loop, unmerged, &w.own_code);
        const packed_state a = canonical_of(
            step_window(w.loop, options_.step, window, signals, &w.own_code), unused, w.problem);
        load_values(w.loop, canonical, &w.own_code);
        const packed_state b =
            canonical_of(step_window(w.loop, options_.step, relabel_window(window, mapping),
                                     signals, &w.own_code),
                         unused, w.problem);
        if (!(a == b)) {
            return false;
        }
    }
    return true;
}

// Records a violation (or a witness) of property p: the step `step` (state << 8 | window).
void explorer::decide(std::size_t p, std::uint64_t step) {
    property_outcome& outcome = result_.outcomes[p];
    outcome.holds = properties_[p].kind == property_kind::reachable;
    outcome.path = path_to(static_cast<std::uint32_t>(step >> 8));
    outcome.path.push_back(windows_[step & 0xFF]);
}

// Whether property p is still open and its verdict can change on this step.
bool explorer::undecided(std::size_t p) const {
    const bool reachable = properties_[p].kind == property_kind::reachable;
    return result_.outcomes[p].holds != reachable;
}

template <typename Parts>
void explorer::check(expansion_worker& w, const Parts& which, std::uint32_t index, std::size_t k) {
    for (const auto& entry : which) {
        const part_check& c = part(entry);
        if (w.decided[c.property] != 0 || !undecided(c.property)) {
            continue;
        }
        const bool value = evaluate(c.part, w.seen);
        if (properties_[c.property].kind == property_kind::always ? !value : value) {
            w.decided[c.property] = 1 + ((std::uint64_t{index} << 8) | k);
        }
    }
}

// Steps the state under every window: the properties of each step, then the successors looked
// up in the set (read only here); the steps that the merge must see go to the worker's list.
void explorer::expand(expansion_worker& w, std::uint32_t index) {
    const lock_values before = stored(index);
    observe_before(before, w.seen);
    w.active.clear();
    for (const part_check& c : on_steps_) {
        if (w.decided[c.property] == 0 && undecided(c.property) &&
            (c.guard.graph.empty() || evaluate(c.guard, w.seen))) {
            w.active.push_back(&c);
        }
    }
    w.active_leads.clear();
    for (std::size_t c = 0; c < leads_to_.size(); ++c) {
        const expression& guard = guards_[leads_to_[c].property];
        if (guard.graph.empty() || evaluate(guard, w.seen)) {
            w.active_leads.push_back(static_cast<std::uint32_t>(c));
        }
    }
    const std::size_t leads = w.active_leads.size();
    // First every successor and its checks, its slot fetched ahead; then the look-ups, whose
    // memory is on its way by then. A successor the same as an earlier window's is looked up once.
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& next = w.successors[k];
        step_signals signals;
        load_values(w.loop, before, &w.own_code);
        next.after = step_window(w.loop, options_.step, windows_[k], signals, &w.own_code);
        ++w.transitions;
        next.merged = next.after;
        merge_counters(next.merged);
        if (options_.arcs && w.arcs != all_arcs_) {
            w.arcs |= arcs_of_step(before, signals, next.after);
        }
        observe(next.merged, signals, w.seen);
        check(w, w.active, index, k);
        for (std::size_t c = 0; c < leads; ++c) {
            const property& prop = properties_[leads_to_[w.active_leads[c]].property];
            w.obliges[k * leads + c] =
                evaluate(prop.holds, w.seen) && !evaluate(prop.target, w.seen);
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
            if (w.problem.empty()) {
                w.problem = "a state outside the ranges of the controllers' rules was reached";
            }
            return;
        }
        next.same_as = -1;
        for (std::size_t j = 0; j < k; ++j) {
            if (w.successors[j].packed == next.packed) {
                next.same_as = static_cast<int>(j);
                break;
            }
        }
        if (next.same_as < 0) {
            next.hash = state_table::hash(next.packed);
            table_.prefetch(next.hash);
        }
    }
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& next = w.successors[k];
        const bool first = next.same_as < 0;
        if (first) {
            next.target = table_.find(next.packed, next.hash);
        } else {
            const expansion_worker::successor& same =
                w.successors[static_cast<std::size_t>(next.same_as)];
            next.target = same.target;
            next.hash = same.hash;
        }
        const std::size_t obliged_before = w.obliged.size();
        for (std::size_t c = 0; c < leads; ++c) {
            if (w.obliges[k * leads + c] != 0) {
                w.obliged.push_back(w.active_leads[c]);
            }
        }
        if (next.target == no_index && first) {
            if (!on_states_.empty()) {
                observe(next.merged, step_signals{}, w.seen);
                check(w, on_states_, index, k);
            }
            if (!(next.after == next.canonical) &&
                (options_.check_every_merge || (next.hash >> 58) == 0) &&
                !check_merge(w, next.after, next.canonical, next.mapping) && w.problem.empty()) {
                w.problem = "a merge does not hold: the state reached by " +
                            std::to_string(path_to(index).size() + 1) +
                            " steps and its merged form step to different states";
                return;
            }
        }
        if (next.target == no_index || w.obliged.size() != obliged_before) {
            w.pending.push_back({next.packed, index, next.hash, next.target,
                                 static_cast<std::uint32_t>(w.obliged.size()),
                                 static_cast<std::uint8_t>(k)});
        }
    }
}

void explorer::expand_range(expansion_worker& w, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t index = from; index < to && w.problem.empty(); ++index) {
        expand(w, index);
    }
}

// Adds what one worker's steps found to the set, in the order found: new states take the next
// numbers, so the states are numbered as one thread expanding them in order would number them.
bool explorer::merge(expansion_worker& w) {
    result_.transitions += w.transitions;
    result_.merge_checks += w.merge_checks;
    result_.arcs |= w.arcs;
    w.transitions = 0;
    w.merge_checks = 0;
    for (std::size_t p = 0; p < properties_.size(); ++p) {
        if (w.decided[p] != 0 && undecided(p)) {
            decide(p, w.decided[p] - 1);
        }
        w.decided[p] = 0;
    }
    bool good = true;
    std::size_t obliged_at = 0;
    constexpr std::size_t ahead = 8;
    for (std::size_t i = 0; i < w.pending.size() && good; ++i) {
        if (i + ahead < w.pending.size() && w.pending[i + ahead].target == no_index) {
            table_.prefetch(w.pending[i + ahead].hash);
        }
        const pending_step& step = w.pending[i];
        std::uint32_t target = step.target;
        if (target == no_index) {
            if (!room_for_one_more()) {
                good = false;
                break;
            }
            const auto fresh = static_cast<std::uint32_t>(low_.size());
            target = table_.find_or_insert(step.packed, step.hash, fresh);
            if (target == no_index) {
                target = fresh;
                low_.push_back(step.packed.low);
                high_.push_back(step.packed.high);
                parent_.push_back(step.parent);
                window_.push_back(step.window);
            }
        }
        for (; obliged_at < step.obliged_end; ++obliged_at) {
            leads_to_check& check = leads_to_[w.obliged[obliged_at]];
            if (target < check.recorded.size() && check.recorded[target]) {
                continue;
            }
            if (check.recorded.size() <= target) {
                check.recorded.resize(std::max<std::size_t>(target + 1, check.recorded.size() * 2));
            }
            check.recorded[target] = true;
            check.obligations.push_back({target, step.parent, step.window});
        }
    }
    w.pending.clear();
    w.obliged.clear();
    if (!w.problem.empty()) {
        fail(w.problem);
        good = false;
    }
    return good;
}

// Expands the states from..to: split between the two threads when there are enough of them,
// then merged in order.
void explorer::expand_chunk(std::uint32_t from, std::uint32_t to) {
    constexpr std::uint32_t worth_splitting = 256;
    if (helper_.running() && to - from >= worth_splitting) {
        const std::uint32_t middle = from + (to - from) / 2;
        auto second = [this, middle, to] { expand_range(workers_[1], middle, to); };
        helper_.start(&second);
        expand_range(workers_[0], from, middle);
        helper_.finish();
    } else {
        expand_range(workers_[0], from, to);
    }
    for (expansion_worker& w : workers_) {
        if (!merge(w)) {
            w.pending.clear();
            w.obliged.clear();
        }
        if (result_.status != explore_status::complete) {
            for (expansion_worker& rest : workers_) {
                rest.pending.clear();
                rest.obliged.clear();
            }
            return;
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
        constexpr std::uint32_t chunk = 16384;
        while (index < level_end && result_.status == explore_status::complete) {
            const std::uint32_t end = level_end - index > chunk ? index + chunk : level_end;
            expand_chunk(index, end);
            index = end;
            show_progress(false);
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

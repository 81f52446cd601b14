#include "explore_search.h"

#include "explore_arcs.h"
#include "explore_table.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <new>

#if defined(__unix__)
#include <unistd.h>
#endif

namespace {

// The first step of the search into each state where a leads-to's P holds without its Q.
struct obligation {
    std::uint32_t target;
    std::uint32_t from;
    std::uint8_t window;
};

struct leads_to_check {
    std::size_t property;
    std::vector<obligation> obligations; // in the order the search met them: shortest first
    std::vector<bool> recorded;          // by state: an obligation into it is recorded
};

// A property is checked in parts: a never's disjuncts and an always's conjuncts one by one, each
// skipped for every step from a state that its guard rules out.
struct part_check {
    std::size_t property;
    expression part;
    expression guard; // values before the step that the part needs; empty: none
};

class search {
  public:
    search(const explore_options& options, const std::vector<property>& properties)
        : options_(options), properties_(properties),
          windows_(window_alphabet(options.digits, options.pairs)) {
        result_.outcomes.resize(properties.size());
        for (std::size_t i = 0; i < properties.size(); ++i) {
            if (properties[i].kind == property_kind::leads_to) {
                leads_to_.push_back({i, {}, {}});
            }
            if (properties[i].kind == property_kind::reachable) {
                result_.outcomes[i].holds = false;
            }
            const property& p = properties[i];
            guards_.push_back(p.kind == property_kind::never || p.kind == property_kind::leads_to
                                  ? guard_before(p.holds)
                                  : expression{});
            if (p.kind != property_kind::leads_to) {
                const auto joint = p.kind == property_kind::never ? expression_node::kind::either
                                   : p.kind == property_kind::always
                                       ? expression_node::kind::both
                                       : expression_node::kind::compare; // reachable: whole
                for (expression& part : parts_of(p.holds, joint)) {
                    expression guard =
                        p.kind == property_kind::never ? guard_before(part) : expression{};
                    const bool on_step = part.reads_step;
                    (on_step ? on_steps_ : on_states_)
                        .push_back({i, std::move(part), std::move(guard)});
                }
            }
        }
        create_signal_set(loop_);
        successors_.resize(windows_.size());
        obliges_.resize(windows_.size() * leads_to_.size());
    }
    ~search() {
        loop_.signals->control->buffer->registered = nullptr;
        release_signals(loop_.signals);
    }
    search(const search&) = delete;
    search& operator=(const search&) = delete;

    explore_result run();

  private:
    bool add_start();
    void expand(std::uint32_t index);
    static const part_check& part(const part_check& c) { return c; }
    static const part_check& part(const part_check* c) { return *c; }
    void decide(std::size_t p, std::uint32_t index, std::size_t k);
    bool undecided(std::size_t p) const;
    template <typename Parts> void check(const Parts& which, std::uint32_t index, std::size_t k);
    bool check_merge(const lock_values& unmerged, const lock_values& canonical,
                     const int mapping[10]);
    packed_state canonical_of(lock_values values, int mapping[10]);
    bool room_for_one_more();
    void check_leads_to(leads_to_check& check);
    std::vector<key_window> path_to(std::uint32_t index) const;
    lock_values stored(std::uint32_t index) const { return unpack({low_[index], high_[index]}); }
    void fail(const std::string& problem) {
        if (result_.status != explore_status::failed) {
            result_.status = explore_status::failed;
            result_.problem = problem;
        }
    }
    void show_progress(bool last);
    std::uint64_t held_bytes() const;

    const explore_options& options_;
    const std::vector<property>& properties_;
    std::vector<key_window> windows_;
    loop_state loop_;
    pw_code own_code_{};
    state_table table_;
    std::vector<std::uint64_t> low_;
    std::vector<std::uint32_t> high_;
    std::vector<std::uint32_t> parent_;
    std::vector<std::uint8_t> window_;
    std::vector<std::uint32_t> level_start_;
    std::vector<leads_to_check> leads_to_;
    std::vector<part_check> on_steps_;      // parts that read the step
    std::vector<part_check> on_states_;     // parts of the state alone: checked once per state
    std::vector<const part_check*> active_; // of on_steps_, those the state being expanded allows
    std::vector<expression> guards_;        // by property: what the state before must allow
    std::vector<leads_to_check*> active_leads_;
    observation seen_{};
    // One state's successors, one a window.
    struct successor {
        lock_values after;     // as stepped
        lock_values merged;    // the counters merged
        lock_values canonical; // and the digits relabelled
        packed_state packed;
        std::uint64_t hash;
        int mapping[10];
    };
    std::vector<successor> successors_;
    std::vector<std::uint8_t> obliges_; // by window and active leads-to: the step is a P without Q
    explore_result result_;
    std::uint64_t all_arcs_ = (std::uint64_t{1} << controller_arcs().size()) - 1;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_progress_ = started_;
    bool progress_shown_ = false;
};

packed_state search::canonical_of(lock_values values, int mapping[10]) {
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

std::uint64_t search::held_bytes() const {
    return table_.bytes() + low_.capacity() * sizeof(std::uint64_t) +
           high_.capacity() * sizeof(std::uint32_t) + parent_.capacity() * sizeof(std::uint32_t) +
           window_.capacity();
}

// Whether one more state fits the limits; grows the tables ahead of need.
bool search::room_for_one_more() {
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

bool search::add_start() {
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

bool search::check_merge(const lock_values& unmerged, const lock_values& canonical,
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
void search::decide(std::size_t p, std::uint32_t index, std::size_t k) {
    property_outcome& outcome = result_.outcomes[p];
    outcome.holds = properties_[p].kind == property_kind::reachable;
    outcome.path = path_to(index);
    outcome.path.push_back(windows_[k]);
}

// Whether property p is still open and its verdict can change on this step.
bool search::undecided(std::size_t p) const {
    const bool reachable = properties_[p].kind == property_kind::reachable;
    return result_.outcomes[p].holds != reachable;
}

template <typename Parts>
void search::check(const Parts& which, std::uint32_t index, std::size_t k) {
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

void search::expand(std::uint32_t index) {
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

std::vector<key_window> search::path_to(std::uint32_t index) const {
    std::vector<key_window> path;
    for (std::uint32_t at = index; parent_[at] != no_index; at = parent_[at]) {
        path.push_back(windows_[window_[at]]);
    }
    return {path.rbegin(), path.rend()};
}

void search::show_progress(bool last) {
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

// The longest run of steps from each state on which neither Q nor R holds, up to N + 1 (a run
// that can go on for ever counts as N + 1), found depth first over the reachable states.
void search::check_leads_to(leads_to_check& check) {
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
            load_values(loop_, before, &own_code_);
            lock_values after = step_window(loop_, options_.step, windows_[k], signals, &own_code_);
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
        return;
    }
}

explore_result search::run() {
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
        for (leads_to_check& check : leads_to_) {
            check_leads_to(check);
        }
    }
    show_progress(true);
    result_.held_bytes = std::max(result_.held_bytes, held_bytes());
    result_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return result_;
}

} // namespace

explore_result explore(const explore_options& options, const std::vector<property>& properties) {
    search s(options, properties);
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

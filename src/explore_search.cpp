#include "explore_search.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <new>

#if defined(__unix__)
#include <unistd.h>
#endif

namespace {

constexpr std::uint32_t no_index = std::numeric_limits<std::uint32_t>::max();

// Open addressing with linear probing; a slot holds a packed state and its index.
struct state_table {
    struct slot {
        std::uint64_t low;
        std::uint32_t high;
        std::uint32_t index; // no_index: empty
    };
    std::vector<slot> slots;
    std::uint64_t used = 0;

    static std::uint64_t hash(const packed_state& s) {
        std::uint64_t h =
            s.low * 0x9E3779B97F4A7C15ull ^ (std::uint64_t{s.high} + 0x632BE59BD9B4E019ull);
        h ^= h >> 31;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
        return h;
    }
    std::uint64_t bytes_after_growth() const { return slots.size() * 2 * sizeof(slot); }
    bool needs_growth() const { return (used + 1) * 10 > slots.size() * 7; }

    void grow() {
        std::vector<slot> old = std::move(slots);
        slots.assign(old.empty() ? 1u << 16 : old.size() * 2, slot{0, 0, no_index});
        const std::uint64_t mask = slots.size() - 1;
        for (const slot& s : old) {
            if (s.index != no_index) {
                std::uint64_t at = hash({s.low, s.high}) & mask;
                while (slots[at].index != no_index) {
                    at = (at + 1) & mask;
                }
                slots[at] = s;
            }
        }
    }
    // The state's index, or no_index after inserting it with `index`.
    std::uint32_t find_or_insert(const packed_state& s, std::uint32_t index) {
        const std::uint64_t mask = slots.size() - 1;
        for (std::uint64_t at = hash(s) & mask;; at = (at + 1) & mask) {
            slot& here = slots[at];
            if (here.index == no_index) {
                here = {s.low, s.high, index};
                ++used;
                return no_index;
            }
            if (here.low == s.low && here.high == s.high) {
                return here.index;
            }
        }
    }
    std::uint32_t find(const packed_state& s) const {
        const std::uint64_t mask = slots.size() - 1;
        for (std::uint64_t at = hash(s) & mask;; at = (at + 1) & mask) {
            const slot& here = slots[at];
            if (here.index == no_index) {
                return no_index;
            }
            if (here.low == s.low && here.high == s.high) {
                return here.index;
            }
        }
    }
};

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
    explore_result result_;
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
    return table_.slots.capacity() * sizeof(state_table::slot) +
           low_.capacity() * sizeof(std::uint64_t) + high_.capacity() * sizeof(std::uint32_t) +
           parent_.capacity() * sizeof(std::uint32_t) + window_.capacity();
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
        after += table_.bytes_after_growth() / 2;
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
    table_.find_or_insert(packed, 0);
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
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        step_signals signals;
        load_values(loop_, before, &own_code_);
        const lock_values after =
            step_window(loop_, options_.step, windows_[k], signals, &own_code_);
        ++result_.transitions;
        lock_values merged = after;
        merge_counters(merged);
        observe(merged, signals, seen_);
        check(active_, index, k);

        int mapping[10];
        lock_values canonical = merged;
        if (options_.relabel) {
            relabel_digits(canonical, options_.digits, mapping);
        } else {
            for (int d = 0; d < 10; ++d) {
                mapping[d] = d;
            }
        }
        packed_state packed{};
        if (!pack(canonical, packed)) {
            fail("a state outside the ranges of the controllers' rules was reached");
            return;
        }
        if (!room_for_one_more()) {
            return;
        }
        const auto next = static_cast<std::uint32_t>(low_.size());
        std::uint32_t target = table_.find_or_insert(packed, next);
        if (target == no_index) {
            target = next;
            low_.push_back(packed.low);
            high_.push_back(packed.high);
            parent_.push_back(index);
            window_.push_back(static_cast<std::uint8_t>(k));
            check(on_states_, index, k);
            if (!(after == canonical) && (options_.check_every_merge || (next & 63) == 0) &&
                !check_merge(after, canonical, mapping)) {
                fail("a merge does not hold: the state reached by " +
                     std::to_string(path_to(index).size() + 1) +
                     " steps and its merged form step to different states");
                return;
            }
        }
        for (leads_to_check* c : active_leads_) {
            const property& prop = properties_[c->property];
            if (target < c->recorded.size() && c->recorded[target]) {
                continue;
            }
            if (evaluate(prop.holds, seen_) && !evaluate(prop.target, seen_)) {
                if (c->recorded.size() <= target) {
                    c->recorded.resize(std::max<std::size_t>(target + 1, c->recorded.size() * 2));
                }
                c->recorded[target] = true;
                c->obligations.push_back({target, index, static_cast<std::uint8_t>(k)});
            }
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
        std::uint32_t next_window;
        std::uint16_t best;
    };
    std::vector<frame> stack;
    // The successor of `state` under window k when the step into it keeps the run going.
    std::uint32_t loaded = no_index; // the state whose values `before` and `seen` hold
    lock_values before{};
    observation seen{};
    const auto run_goes_on = [&](std::uint32_t state, std::size_t k, std::uint32_t& target) {
        if (loaded != state) {
            before = stored(state);
            observe_before(before, seen);
            loaded = state;
        }
        step_signals signals;
        load_values(loop_, before, &own_code_);
        lock_values after = step_window(loop_, options_.step, windows_[k], signals, &own_code_);
        merge_counters(after);
        observe(after, signals, seen);
        if (evaluate(prop.target, seen) || (prop.has_excuse && evaluate(prop.excuse, seen))) {
            return false;
        }
        int mapping[10];
        if (options_.relabel) {
            relabel_digits(after, options_.digits, mapping);
        }
        packed_state packed{};
        pack(after, packed);
        target = table_.find(packed);
        return target != no_index; // beyond a bounded search: not followed
    };
    const auto longest_from = [&](std::uint32_t root) {
        if (longest[root] != unknown) {
            return longest[root];
        }
        stack.push_back({root, 0, 0});
        longest[root] = on_stack;
        while (!stack.empty()) {
            frame& top = stack.back();
            if (top.next_window < windows_.size() && top.best < cap) {
                std::uint32_t target = 0;
                const std::size_t k = top.next_window++;
                if (!run_goes_on(top.state, k, target)) {
                    continue;
                }
                const std::uint16_t known = longest[target];
                if (known == unknown) {
                    longest[target] = on_stack;
                    stack.push_back({target, 0, 0});
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
            for (std::size_t k = 0; k < windows_.size(); ++k) {
                std::uint32_t target = 0;
                if (run_goes_on(at, k, target) && longest[target] != unknown &&
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

// The exploration's search as one object: the state set and the states in the order found, the
// property checks, the leads-to search; shared by the files that implement it.
#pragma once

#include "explore_arcs.h"
#include "explore_search.h"
#include "explore_table.h"

#include <chrono>
#include <cstdint>
#include <vector>

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

class explorer {
  public:
    explorer(const explore_options& options, const std::vector<property>& properties)
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
    ~explorer() {
        loop_.signals->control->buffer->registered = nullptr;
        release_signals(loop_.signals);
    }
    explorer(const explorer&) = delete;
    explorer& operator=(const explorer&) = delete;

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
    void check_leads_to(leads_to_check& check, loop_state& loop, pw_code& own_code);
    void check_all_leads_to();
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

#include "explore_search.h"

#include "explore_arcs.h"
#include "explore_search_object.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <new>
#include <system_error>

explorer::explorer(const explore_options& options, const std::vector<property>& properties)
    : options_(options), properties_(properties),
      windows_(window_alphabet(options.digits, options.pairs)),
      round_states_(std::max<std::uint32_t>(options.round_states, 1)),
      block_states_(std::max<std::uint32_t>(round_states_ / 16, 1)) {
    result_.outcomes.resize(properties.size());
    open_.resize(properties.size());
    for (std::size_t i = 0; i < properties.size(); ++i) {
        const property& p = properties[i];
        if (p.kind == property_kind::leads_to) {
            leads_to_.push_back({i, {}, {}});
            result_.outcomes[i].checked = false; // until its pass ends
        }
        if (p.kind == property_kind::reachable) {
            result_.outcomes[i].holds = false;
        }
        guards_.push_back(p.kind == property_kind::leads_to ? guard_before(p.holds) : expression{});
        if (p.kind == property_kind::leads_to) {
            continue;
        }
        const auto joint = p.kind == property_kind::never    ? expression_node::kind::either
                           : p.kind == property_kind::always ? expression_node::kind::both
                                                             : expression_node::kind::compare;
        for (expression& part : parts_of(p.holds, joint)) {
            const bool on_step = part.reads_step;
            part_check check{i, {}, {}, {}};
            // A part of the state alone is checked once a state, with nothing before it to guard.
            check.finding =
                finding_of(part, p.kind == property_kind::always, on_step ? &check.guard : nullptr);
            check.first = first_test_of(check.finding, false);
            (on_step ? on_steps_ : on_states_).push_back(std::move(check));
        }
    }
    followed_ = std::min(runs_at_once, leads_to_.size());
    remember_verdicts_ = options.remember_verdicts &&
                         on_steps_.size() + leads_to_.size() + followed_ + on_states_.size() <=
                             verdict_cache::verdict_bits;
    if (remember_verdicts_) {
        std::vector<const expression*> read;
        for (const part_check& c : on_steps_) {
            read.insert(read.end(), {&c.finding, &c.guard});
        }
        for (const leads_to_check& c : leads_to_) {
            const property& p = properties_[c.property];
            read.insert(read.end(), {&p.holds, &p.target, &p.excuse, &guards_[c.property]});
        }
        for (const part_check& c : on_states_) {
            read.push_back(&c.finding);
        }
        classes_ = classes_of(read);
    }
    run_age_.resize(followed_);
    run_violated_.assign(followed_, 0);
    later_age_.assign(followed_ * round_states_, no_run);
    for (std::size_t c = 0; c < followed_; ++c) {
        run_within_[c] = properties_[leads_to_[c].property].within;
    }
    // The workers' memory is made on the helper's thread when there is one: it then comes from
    // that thread's heap, apart from the properties and options both threads read every step.
    // Made on this thread, a signal set written every step could share a cache line with them,
    // and each thread would slow the other down.
    auto prepare = [this] {
        for (expansion_worker& w : workers_) {
            w.prepare(windows_.size(), leads_to_.size(), properties_.size(), round_states_);
            if (remember_verdicts_) {
                w.verdicts.make(verdict_slots);
                w.guard_verdicts.make(verdict_slots / 4);
            }
        }
    };
    if (options.threads > 1) {
        try {
            helper_.launch();
            helper_.start(&prepare);
            helper_.finish();
        } catch (const std::system_error&) {
            // no second thread: this one expands every state
        }
    }
    if (workers_[0].loop.signals == nullptr) {
        prepare();
    }
    for (const expansion_worker& w : workers_) {
        round_lists_bytes_ += w.round_lists_bytes();
        verdict_bytes_ += w.verdicts.bytes() + w.guard_verdicts.bytes();
    }
    round_lists_bytes_ += later_age_.capacity() * sizeof(run_age);
}

packed_state explorer::canonical_of(lock_values values, int mapping[10],
                                    std::string& problem) const {
    merge_counters(values);
    packed_state packed{};
    pack_canonical(values, mapping, packed, problem);
    return packed;
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
    add_state_arrays(packed, no_index, 0);
    return true;
}

// Numbers a new state: its entries in the arrays by state, which room_for_one_more made room for.
void explorer::add_state_arrays(const packed_state& packed, std::uint32_t parent,
                                std::uint8_t window) {
    low_.push_back(packed.low);
    high_.push_back(packed.high);
    parent_.push_back(parent);
    window_.push_back(window);
    for (std::vector<run_age>& ages : run_age_) {
        ages.push_back(no_run);
    }
    if (followed_ > 0) {
        rose_late_.push_back(0);
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
    if (!options_.progress) {
        return;
    }
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
    char leads[64] = "";
    if (leads_to_level_ > 0) {
        std::snprintf(leads, sizeof leads, "; leads-to runs followed %d steps", leads_to_level_);
    }
    std::fprintf(stderr, "\r%llu states, %llu transitions, %zu steps deep%s%s",
                 static_cast<unsigned long long>(low_.size()),
                 static_cast<unsigned long long>(result_.transitions), level_start_.size(), leads,
                 last ? "\n" : "   ");
}

explore_result explorer::run() {
    if (!add_start()) {
        return result_;
    }
    try {
        search();
    } catch (const std::bad_alloc&) {
        stop("memory ran out");
    }
    finish_search();
    return result_;
}

void explorer::finish_search() {
    result_.states = low_.size();
    result_.depth = level_start_.size() > 0 ? level_start_.size() - 1 : 0;
    for (std::size_t p = 0; p < properties_.size(); ++p) {
        if (properties_[p].kind != property_kind::leads_to) {
            result_.outcomes[p].states = result_.states;
        }
    }
    // A search cut short (by a failed allocation too) can leave steps unmerged: the leads-to check
    // starts from empty lists.
    for (expansion_worker& w : workers_) {
        w.found.clear();
        w.finished.clear();
    }
    if (result_.status != explore_status::failed) {
        check_all_leads_to();
    }
    show_progress(true);
    result_.held_bytes = std::max(result_.held_bytes, held_bytes());
    result_.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
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

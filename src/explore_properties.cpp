// Properties on a step: what they see of it, their compiled checks, and the parts and guards
// that let the search skip what a state rules out.
#include "explore_properties.h"

#include "scenario_format.h"

#include <algorithm>

namespace {

const char* const name_texts[property_name_count] = {
    "pw_state",   "pw_timer",    "count",       "lock_state",   "lock_timer",   "locked",
    "changed",    "sound_state", "sound_timer", "light_state",  "light_timer",  "backlight",
    "door",       "cover",       "registered",  "entered",      "sound",        "lock_button",
    "key_sensor", "door_opened", "door_closed", "cover_opened", "cover_closed", "digit",
    "pw_result",  "key_clicked",
};

int slot_of(const operand& o) {
    switch (o.source) {
    case operand::kind::now: return o.name;
    case operand::kind::was: return property_name_count + o.name;
    default: return zero_slot;
    }
}

std::int64_t literal_of(const operand& o) {
    return o.source == operand::kind::literal ? o.literal : 0;
}

// A comparison as a test: (left - right) op 0 is (v[l] - v[r]) op (literal right - literal left),
// where a literal's slot is the one that reads 0.
decision test_of(const expression_node& n) {
    constexpr std::int64_t lowest = -(std::int64_t{1} << 62);
    constexpr std::int64_t highest = std::int64_t{1} << 62;
    const std::int64_t c = literal_of(n.right) - literal_of(n.left);
    std::int64_t low = c;
    std::int64_t high = c;
    switch (n.op) {
    case compare_op::eq:
    case compare_op::ne: break;
    case compare_op::lt: low = lowest, high = c - 1; break;
    case compare_op::le: low = lowest; break;
    case compare_op::gt: low = c + 1, high = highest; break;
    case compare_op::ge: high = highest; break;
    }
    return {{static_cast<std::int16_t>(slot_of(n.left)),
             static_cast<std::int16_t>(slot_of(n.right)), n.op == compare_op::ne, low,
             static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low)},
            ends_true,
            ends_false};
}

// Compiles the subtree at `at` to go on at `if_true` or `if_false`; returns its first test.
// Tests go in after those they lead to (the graph is turned round at the end).
std::int32_t compile_node(const expression& e, int at, std::int32_t if_true, std::int32_t if_false,
                          std::vector<decision>& out) {
    const expression_node& n = e.nodes[static_cast<std::size_t>(at)];
    switch (n.type) {
    case expression_node::kind::compare: {
        decision d = test_of(n);
        d.if_true = if_true;
        d.if_false = if_false;
        out.push_back(d);
        return static_cast<std::int32_t>(out.size()) - 1;
    }
    case expression_node::kind::negate: return compile_node(e, n.first, if_false, if_true, out);
    case expression_node::kind::both:
        return compile_node(e, n.first, compile_node(e, n.second, if_true, if_false, out), if_false,
                            out);
    case expression_node::kind::either:
        return compile_node(e, n.first, if_true, compile_node(e, n.second, if_true, if_false, out),
                            out);
    }
    return ends_false;
}

bool reads_only_before(const expression& e, int at) {
    const expression_node& n = e.nodes[static_cast<std::size_t>(at)];
    switch (n.type) {
    case expression_node::kind::compare:
        return n.left.source != operand::kind::now && n.right.source != operand::kind::now;
    case expression_node::kind::negate: return reads_only_before(e, n.first);
    default: return reads_only_before(e, n.first) && reads_only_before(e, n.second);
    }
}

// Copies the subtree at `at` into `out`; returns its root there.
int copy_tree(const expression& e, int at, expression& out) {
    expression_node n = e.nodes[static_cast<std::size_t>(at)];
    if (n.type != expression_node::kind::compare) {
        n.first = copy_tree(e, n.first, out);
        if (n.type != expression_node::kind::negate) {
            n.second = copy_tree(e, n.second, out);
        }
    }
    out.nodes.push_back(n);
    return static_cast<int>(out.nodes.size()) - 1;
}

// The conjuncts of the condition at `at` (its negation when `negated`), seen through `not` and,
// under a `not`, through `or`: not (a or b) is (not a) and (not b).
struct conjunct {
    int at;
    bool negated;
};
void collect_conjuncts(const expression& e, int at, bool negated, std::vector<conjunct>& out) {
    const expression_node& n = e.nodes[static_cast<std::size_t>(at)];
    const auto joint = negated ? expression_node::kind::either : expression_node::kind::both;
    if (n.type == joint) {
        collect_conjuncts(e, n.first, negated, out);
        collect_conjuncts(e, n.second, negated, out);
    } else if (n.type == expression_node::kind::negate) {
        collect_conjuncts(e, n.first, !negated, out);
    } else {
        out.push_back({at, negated});
    }
}

// The conjunction of the conjuncts, compiled; an empty expression (which holds) for none.
expression conjunction_of(const expression& e, const std::vector<conjunct>& conjuncts) {
    expression out;
    int root = -1;
    for (const conjunct& c : conjuncts) {
        int copied = copy_tree(e, c.at, out);
        if (c.negated) {
            out.nodes.push_back({expression_node::kind::negate, compare_op::eq, {}, {}, copied, 0});
            copied = static_cast<int>(out.nodes.size()) - 1;
        }
        if (root >= 0) {
            out.nodes.push_back(
                {expression_node::kind::both, compare_op::eq, {}, {}, root, copied});
            root = static_cast<int>(out.nodes.size()) - 1;
        } else {
            root = copied;
        }
    }
    compile(out);
    return out;
}

} // namespace

const char* property_name_text(int name) {
    return name >= 0 && name < property_name_count ? name_texts[name] : "?";
}

namespace {

// The names of the state, from `v` on, in the order of property_name.
static_assert(name_entered + 1 == first_step_name, "the state's names come first");
void observe_state(const lock_values& s, std::int64_t* v) {
    v[name_pw_state] = s.pw_state;
    v[name_pw_timer] = s.pw_timer;
    v[name_count] = s.count;
    v[name_lock_state] = s.lock_state;
    v[name_lock_timer] = s.lock_timer;
    v[name_locked] = s.locked;
    v[name_changed] = s.changed;
    v[name_sound_state] = s.sound_state;
    v[name_sound_timer] = s.sound_timer;
    v[name_light_state] = s.light_state;
    v[name_light_timer] = s.light_timer;
    v[name_backlight] = s.backlight;
    v[name_door] = s.door;
    v[name_cover] = s.cover;
    v[name_registered] = s.registered != 0 ? digit_string_value(s.code, code_length) : none_value;
    v[name_entered] = digit_string_value(s.digits, s.count > code_length ? code_length : s.count);
}

} // namespace

void observe(const lock_values& s, const step_signals& signals, observation& out) {
    std::int64_t* v = out.value;
    observe_state(s, v);
    v[name_sound] = signals.sound;
    v[name_lock_button] = signals.lock_button;
    v[name_key_sensor] = signals.events[key_sensor];
    v[name_door_opened] = signals.events[door_opened];
    v[name_door_closed] = signals.events[door_closed];
    v[name_cover_opened] = signals.events[cover_opened];
    v[name_cover_closed] = signals.events[cover_closed];
    v[name_digit] = signals.digit < 0 ? none_value : signals.digit;
    v[name_pw_result] = signals.pw_result;
    v[name_key_clicked] = signals.key_clicked;
}

void observe_before(const lock_values& s, observation& out) {
    observe_state(s, out.value + property_name_count);
}

void compile(expression& e) {
    e.graph.clear();
    if (!e.nodes.empty()) {
        compile_node(e, static_cast<int>(e.nodes.size()) - 1, ends_true, ends_false, e.graph);
        // The first test was compiled last: turn the graph round so that it comes first.
        const auto last = static_cast<std::int32_t>(e.graph.size()) - 1;
        std::reverse(e.graph.begin(), e.graph.end());
        for (decision& d : e.graph) {
            d.if_true = d.if_true >= 0 ? last - d.if_true : d.if_true;
            d.if_false = d.if_false >= 0 ? last - d.if_false : d.if_false;
        }
    }
    e.reads_before = false;
    for (const expression_node& n : e.nodes) {
        e.reads_before =
            e.reads_before ||
            (n.type == expression_node::kind::compare &&
             (n.left.source == operand::kind::was || n.right.source == operand::kind::was));
    }
}

first_test first_test_of(const expression& e, bool value) {
    if (e.graph.empty()) {
        return {{zero_slot, zero_slot, false, 0, 0}, false, false};
    }
    const decision& d = e.graph[0];
    const std::int32_t end = value ? ends_true : ends_false;
    first_test t{d.test, true, true};
    if (d.if_true == end) {
        t.settling_result = true;
    } else if (d.if_false == end) {
        t.settling_result = false;
    } else {
        t.settles = false;
    }
    return t;
}

namespace {

void collect_parts(const expression& e, int at, expression_node::kind joint,
                   std::vector<expression>& parts) {
    const expression_node& n = e.nodes[static_cast<std::size_t>(at)];
    const bool joins =
        joint == expression_node::kind::both || joint == expression_node::kind::either;
    if (joins && n.type == joint) {
        collect_parts(e, n.first, joint, parts);
        collect_parts(e, n.second, joint, parts);
        return;
    }
    expression part;
    copy_tree(e, at, part);
    compile(part);
    part.reads_step = false;
    for (const expression_node& node : part.nodes) {
        part.reads_step =
            part.reads_step ||
            (node.type == expression_node::kind::compare &&
             ((node.left.source == operand::kind::was) ||
              (node.right.source == operand::kind::was) ||
              (node.left.source == operand::kind::now && node.left.name >= first_step_name) ||
              (node.right.source == operand::kind::now && node.right.name >= first_step_name)));
    }
    parts.push_back(std::move(part));
}

} // namespace

std::vector<expression> parts_of(const expression& e, expression_node::kind joint) {
    std::vector<expression> parts;
    if (!e.nodes.empty()) {
        collect_parts(e, static_cast<int>(e.nodes.size()) - 1, joint, parts);
    }
    return parts;
}

expression guard_before(const expression& e) {
    expression guard;
    finding_of(e, false, &guard);
    return guard;
}

expression finding_of(const expression& e, bool negated, expression* guard) {
    if (e.nodes.empty()) {
        return {};
    }
    std::vector<conjunct> conjuncts;
    collect_conjuncts(e, static_cast<int>(e.nodes.size()) - 1, negated, conjuncts);
    std::vector<conjunct> before;
    std::vector<conjunct> others;
    for (const conjunct& c : conjuncts) {
        (guard != nullptr && reads_only_before(e, c.at) ? before : others).push_back(c);
    }
    if (guard != nullptr) {
        *guard = conjunction_of(e, before);
    }
    return conjunction_of(e, others);
}

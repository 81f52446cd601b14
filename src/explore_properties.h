// Properties of the lock's states and steps: the language of a property file, its parser, the
// evaluation on a step, and the built-in properties.
#pragma once

#include "explore_step.h"

#include <cstdint>
#include <string>
#include <vector>

// The names a property can read: the state after the step, then what the step itself raised and
// wrote. Digit strings (registered, entered) and "none" are held as numbers (digit_string_value).
enum property_name : int {
    name_pw_state,
    name_pw_timer,
    name_count,
    name_lock_state,
    name_lock_timer,
    name_locked,
    name_changed,
    name_sound_state,
    name_sound_timer,
    name_light_state,
    name_light_timer,
    name_backlight,
    name_door,
    name_cover,
    name_registered,
    name_entered,
    first_step_name,
    name_sound = first_step_name,
    name_lock_button,
    name_key_sensor,
    name_door_opened,
    name_door_closed,
    name_cover_opened,
    name_cover_closed,
    name_digit,
    name_pw_result,
    name_key_clicked,
    property_name_count
};

// The name's text, as a property writes it.
const char* property_name_text(int name);

// The value of "none", below every number.
constexpr std::int64_t none_value = -1;

// What a property sees of a step: the state after it and the step's values, then the state
// before it (the values of `was NAME`).
struct observation {
    std::int64_t value[2 * property_name_count + 1]; // the last slot always reads 0
};
constexpr int zero_slot = 2 * property_name_count;
// The state's names (merged values: an idle controller's counter reads 0) and the step's.
void observe(const lock_values& state, const step_signals& signals, observation& out);
// The names of the state before the step.
void observe_before(const lock_values& state, observation& out);

enum class compare_op : std::uint8_t { eq, ne, lt, le, gt, ge };

struct operand {
    enum class kind : std::uint8_t { now, was, literal } source;
    int name; // now, was
    std::int64_t literal;
};

struct expression_node {
    enum class kind : std::uint8_t { compare, both, either, negate } type;
    compare_op op;
    operand left, right;
    int first, second; // child nodes: both, either (two), negate (first)
};

// A comparison reduced to whether the difference of two observed values lies in a range (a
// literal is compared against the slot that always reads 0).
struct range_test {
    std::int16_t left, right; // observation slots
    bool outside;             // `!=`: the test holds outside the range
    std::int64_t low;         // the range: low to low + span
    std::uint64_t span;
};

inline bool passes(const range_test& t, const observation& seen) {
    const auto* v = reinterpret_cast<const std::uint64_t*>(seen.value);
    return (v[t.left] - v[t.right] - static_cast<std::uint64_t>(t.low) <= t.span) != t.outside;
}

// The expression compiled for speed: a graph of tests, each naming the test to take next when it
// holds and when it does not. One pass without a switch: `and`, `or` and `not` are only where the
// arrows go.
struct decision {
    range_test test;
    std::int32_t if_true, if_false; // the next test, or one of the two ends below
};
constexpr std::int32_t ends_false = -1;
constexpr std::int32_t ends_true = -2;

// An expression as a tree of nodes, the root last, and its compiled graph (its first test first).
struct expression {
    std::vector<expression_node> nodes;
    std::vector<decision> graph;
    bool reads_step = false;   // names a step's value or a value before the step
    bool reads_before = false; // names a value before the step
};

// Compiles the tree into the graph (the parser does it).
void compile(expression& e);

// Follows the graph from its first test to an end; an empty expression holds.
inline bool evaluate(const expression& e, const observation& seen) {
    const decision* graph = e.graph.data();
    if (e.graph.empty()) {
        return true;
    }
    std::int32_t at = 0;
    for (;;) {
        const decision& d = graph[at];
        at = passes(d.test, seen) ? d.if_true : d.if_false;
        if (at < 0) {
            return at == ends_true;
        }
    }
}

// An expression's first test, and whether one of its outcomes ends the expression at once with a
// given value. A check of many expressions runs their first tests together, without a branch, and
// follows the rest of a graph only where the first test leaves the value open.
struct first_test {
    range_test test;
    bool settles;         // an outcome of the test ends the expression with the value asked for
    bool settling_result; // that outcome
};
first_test first_test_of(const expression& e, bool value);

// Bit i set where tests[i] (i below `count`, at most 64) leaves its expression open.
inline std::uint64_t open_tests(const first_test* tests, std::size_t count,
                                const observation& seen) {
    std::uint64_t open = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const first_test& t = tests[i];
        const bool result = passes(t.test, seen);
        open |= static_cast<std::uint64_t>(!t.settles || result != t.settling_result) << i;
    }
    return open;
}

// The parts that `e` joins at its root by `joint` (`either` for a never, whose parts can be checked
// one by one; `both` for an always), each compiled; `e` itself when it has no such joint, or when
// `joint` is neither of the two (a reachable is one part).
std::vector<expression> parts_of(const expression& e, expression_node::kind joint);

// The part of `e` that reads nothing but values before the step, when `e` is a conjunction with
// such parts (seen through `not`, as `finding_of` sees it): if it is false, so is `e`, whatever the
// step. An empty graph when there is none.
expression guard_before(const expression& e);

// `e` (its negation when `negated`) as a conjunction, split at its `and`s seen through `not` (and,
// under a `not`, through `or`). With `guard`, the conjuncts that read only values before the step
// go there, to be checked once a state, and the rest is returned, to be checked on each step: a
// step's check then does not test again what the state before it settled. Without, all of them
// are returned. An empty expression holds.
expression finding_of(const expression& e, bool negated, expression* guard);

enum class property_kind { always, never, reachable, leads_to };

struct property {
    std::string name; // the built-in's name, or FILE:LINE
    std::string text; // as written
    property_kind kind = property_kind::always;
    expression holds;  // always, never, reachable: the expression; leads_to: P
    expression target; // leads_to: Q
    expression excuse; // leads_to: R, when `unless` is given
    bool has_excuse = false;
    int within = 0;            // leads_to: steps
    bool names_digits = false; // compares a digit or a code with digits written out
};

// Parses one line (comments and blank lines are the caller's); an empty string when good,
// otherwise what is wrong.
std::string parse_property(const std::string& line, property& parsed);

// Reads a property file, one property a line, # comments; on an error writes FILE:LINE: what is
// wrong to stderr and returns false.
bool read_property_file(const char* path, std::vector<property>& properties);

// The built-in properties: the controllers' rules stated on states and steps.
struct builtin_property {
    const char* name;
    const char* text;
};
const std::vector<builtin_property>& builtin_properties();
std::vector<property> parse_builtin_properties();

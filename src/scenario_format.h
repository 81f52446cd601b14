// The scenario format, shared by the runner that reads it and the recorder that writes it: what a
// scenario may name (fields of the screen, parts of the main loop's state, keys), the steps a file
// holds, and how a text is written in double quotes.
#pragma once

#include "determine_signal.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// A field of the screen: its place and width (0: as wide as the expected text).
struct screen_field {
    const char* name;
    int column;
    int row;
    int width;
};
extern const std::span<const screen_field> screen_fields;

// A part of the main loop's state that an expectation can name. Digit strings (the registered
// code, the entered digits) are numbers made by digit_string_value.
struct state_name {
    const char* name;
    std::int64_t (*value)(const loop_state& loop);
    bool digit_string = false;
};
extern const std::span<const state_name> state_names;

// A digit string as a number, -1 for none (no digit): the count of digits above the digits, four
// bits each, so that two strings are equal exactly when their numbers are.
std::int64_t digit_string_value(const std::int32_t* digits, int count);
// The value as an expectation writes it: a number, or for a digit string its digits or "none".
std::string state_value_text(const state_name& name, std::int64_t value);
// Reads a value of the name: a number, or for a digit string "none" or one to four digits.
bool parse_state_value(const state_name& name, const std::string& text, std::int64_t& value);

// The code of the key named `name` (lower case, without the angle brackets), or -1.
int key_code(const std::string& name);
// The name a recording writes for `code`, or nullptr when the key has none.
const char* key_name(int code);

// A timed expectation is two steps: its time (expect_within, expect_for: `number` cycles), then
// the expectation it times.
enum class step_kind : std::uint8_t {
    type,
    press,
    wait,
    expect_text,
    expect_attr,
    expect_bells,
    expect_state,
    expect_within,
    expect_for
};

struct state_check {
    const state_name* name;
    std::int64_t value;
};

// One step, checked, in 24 bytes: its keys, checks and text lie in the scenario's shared lists.
// Consecutive `type` lines (and a `press` of one key, which is the same) make one step, and so do
// consecutive waits, so that the memory a scenario takes stays a small multiple of its file's size.
struct step {
    std::uint32_t line = 0; // where in the file (the first line of a joined step)
    step_kind kind = step_kind::wait;
    std::uint8_t column = 0; // expect_text, expect_attr
    std::uint8_t row = 0;
    std::uint8_t field = 0;   // expect_text of a named field: 1 + its index in screen_fields
    std::uint32_t first = 0;  // type, press: keys; expect_state: checks; expect_text: text bytes
    std::uint32_t count = 0;  //   where they begin in the scenario's list, and how many
    std::uint64_t number = 0; // wait, expect_within, expect_for: cycles; expect_attr: the
                              // attribute; expect_bells: bells
};

// A scenario file, read and checked.
struct scenario_steps {
    std::vector<step> steps;
    std::vector<std::uint16_t> keys;
    std::vector<state_check> checks;
    std::string texts;
};

// Adds a key as a file writes it: the character, <name>, or <0xNN>.
void append_key(std::string& out, int key);

// How an expectation names what it looks at: the field's name, or "text COLUMN ROW".
std::string step_label(const step& s);

// A word of a line, or a text that was in double quotes.
struct token {
    std::string text;
    bool quoted;
};

// Splits a line into blank-separated words and double-quoted texts (\" and \\ inside); a word
// that starts with # begins a comment. Returns an error, or an empty string.
std::string tokenize(const std::string& line, std::vector<token>& tokens);

// `text` in double quotes, with \" and \\ for the quote and the backslash, as a file writes it.
std::string quoted(const std::string& text);

// `text` to be shown in a message: control characters (C0, DEL and C1) and bytes that are not
// UTF-8 as \xNN, and cut after 40 characters, so that no word from a file acts on the terminal
// it is shown on or floods it.
std::string escaped(const std::string& text);

// Length of the valid UTF-8 character at text[i], or 0.
std::size_t utf8_character_length(const std::string& text, std::size_t i);

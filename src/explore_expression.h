// The words of a property line and the parser of its expressions: comparisons typed by the names
// they compare, joined by and, or, not and parentheses.
#pragma once

#include "explore_properties.h"

#include <initializer_list>
#include <string>
#include <vector>

struct lexeme {
    enum class kind { word, number, op, open, close } type;
    std::string text;
};

// Splits a line into words, numbers, operators and parentheses; what is wrong, or empty.
std::string split_words(const std::string& line, std::vector<lexeme>& out);

// Reads expressions from the words, one after another from `at`.
struct expression_parser {
    const std::vector<lexeme>& tokens;
    std::size_t at = 0;
    expression out;
    bool names_digits = false;
    std::string error;

    bool done() const;
    bool next_is(const char* word) const;
    int add(expression_node node);

    // One side of a comparison; the literal's text is kept for typing against the other side.
    bool side(operand& o, std::string& literal_text);

    // Types a literal against the name on the other side.
    bool type_literal(operand& literal, const std::string& text, int name);

    // Whether a comparison of the light's count with a number has one answer for every count from
    // 1000 on, as the search keeps them (false with `error` otherwise).
    bool light_count_comparable(const expression_node& node);

    // The grammar from the bottom up: a comparison; one in parentheses or after `not`; factors
    // joined by `and`; conjunctions joined by `or`. Each returns its node, or -1 with `error`.
    int comparison();
    int factor();
    int conjunction();
    int disjunction();

    // An expression up to the end of the line or one of the given words.
    bool whole(expression& e, std::initializer_list<const char*> stops);
};

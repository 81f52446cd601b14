// The property language's words and expressions: a line split into words, numbers and operators,
// and expressions parsed from them, each literal typed by the name it is compared with.
#include "explore_expression.h"

#include "Light_Controller.h"
#include "scenario_format.h"

namespace {

bool is_digit_string_name(int name) {
    return name == name_registered || name == name_entered;
}

bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

} // namespace

std::string split_words(const std::string& line, std::vector<lexeme>& out) {
    for (std::size_t i = 0; i < line.size();) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '(' || c == ')') {
            out.push_back({c == '(' ? lexeme::kind::open : lexeme::kind::close, std::string(1, c)});
            ++i;
        } else if (c == '=' || c == '!' || c == '<' || c == '>') {
            std::string op(1, c);
            if (i + 1 < line.size() && line[i + 1] == '=') {
                op += '=';
            }
            if (op == "!") {
                return "'!' must be followed by '='";
            }
            out.push_back({lexeme::kind::op, op});
            i += op.size();
        } else if (is_word_char(c)) {
            std::string word;
            while (i < line.size() && is_word_char(line[i])) {
                word += line[i++];
            }
            out.push_back({c >= '0' && c <= '9' ? lexeme::kind::number : lexeme::kind::word, word});
        } else {
            return std::string("unexpected '") + c + "'";
        }
    }
    return {};
}

bool expression_parser::done() const {
    return at >= tokens.size();
}

bool expression_parser::next_is(const char* word) const {
    return !done() && tokens[at].type == lexeme::kind::word && tokens[at].text == word;
}

int expression_parser::add(expression_node node) {
    out.nodes.push_back(node);
    return static_cast<int>(out.nodes.size()) - 1;
}

// One side of a comparison; the literal's text is kept for typing against the other side.
bool expression_parser::side(operand& o, std::string& literal_text) {
    if (done()) {
        error = "a comparison is missing its value";
        return false;
    }
    bool was = false;
    if (next_is("was")) {
        was = true;
        ++at;
        if (done() || tokens[at].type != lexeme::kind::word) {
            error = "'was' must be followed by a name";
            return false;
        }
    }
    const lexeme& t = tokens[at++];
    if (t.type == lexeme::kind::number) {
        o = {operand::kind::literal, -1, 0};
        literal_text = t.text;
        return true;
    }
    if (t.type != lexeme::kind::word) {
        error = "expected a name or a value, not '" + t.text + "'";
        return false;
    }
    if (t.text == "none") {
        o = {operand::kind::literal, -1, none_value};
        literal_text = "none";
        return true;
    }
    for (int n = 0; n < property_name_count; ++n) {
        if (t.text == property_name_text(n)) {
            if (was && n >= first_step_name) {
                error = "'was " + t.text + "': " + t.text +
                        " is a value of the step, not of the state before it";
                return false;
            }
            o = {was ? operand::kind::was : operand::kind::now, n, 0};
            out.reads_step = out.reads_step || was || n >= first_step_name;
            return true;
        }
    }
    if (t.text == "cycle") {
        error = "'cycle' is not part of a state";
    } else {
        error = "unknown name '" + t.text + "'";
    }
    return false;
}

// Types a literal against the name on the other side.
bool expression_parser::type_literal(operand& literal, const std::string& text, int name) {
    if (text == "none") {
        if (!is_digit_string_name(name) && name != name_digit) {
            error = std::string("'none' is a value of registered, entered and digit, not of ") +
                    property_name_text(name);
            return false;
        }
        return true;
    }
    if (is_digit_string_name(name)) {
        if (text.size() > static_cast<std::size_t>(code_length)) {
            error = "'" + text + "': a code has at most four digits";
            return false;
        }
        std::int32_t digits[code_length] = {};
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') {
                error = "'" + text + "' is not a digit string";
                return false;
            }
            digits[i] = text[i] - '0';
        }
        literal.literal = digit_string_value(digits, static_cast<int>(text.size()));
        names_digits = true;
        return true;
    }
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > 100000000) {
            error = "bad number '" + text + "'";
            return false;
        }
        value = value * 10 + (c - '0');
    }
    literal.literal = value;
    names_digits = names_digits || name == name_digit;
    return true;
}

// The light's count reads 1000 in a state for every value from 1000 on: they act alike for the
// lock, and the search keeps them as one. A comparison of the count with a number whose answer
// differs among those values (light_timer>1000, light_timer<=1000, light_timer=1200) would be
// answered for 1000 alone, so it is refused; below 1000, and >=1000 or <1000, it is exact. So is
// the count before and after a step compared (1000 and 1000 for 1000 and 1001). Against any
// other name it is exact: every other counter stays below 1000, and so does every other value.
bool expression_parser::light_count_comparable(const expression_node& node) {
    const auto is_count = [](const operand& o) {
        return o.source != operand::kind::literal && o.name == name_light_timer;
    };
    const std::string limit = std::to_string(light_limit);
    const std::string reads =
        "light_timer reads " + limit + " for every value from " + limit + " on (they act alike), ";
    if (is_count(node.left) && is_count(node.right)) {
        error = reads + "so it is not compared with itself";
        return false;
    }
    const bool left_literal = node.left.source == operand::kind::literal;
    const operand& count = left_literal ? node.right : node.left;
    const operand& other = left_literal ? node.left : node.right;
    if (!is_count(count) || other.source != operand::kind::literal || other.literal < light_limit) {
        return true;
    }
    // The operator as `light_timer OP number`.
    compare_op op = node.op;
    if (left_literal) {
        op = op == compare_op::lt   ? compare_op::gt
             : op == compare_op::gt ? compare_op::lt
             : op == compare_op::le ? compare_op::ge
             : op == compare_op::ge ? compare_op::le
                                    : op;
    }
    if (other.literal == light_limit && (op == compare_op::ge || op == compare_op::lt)) {
        return true;
    }
    error = reads + "so it is compared with numbers below " + limit + ", or as >=" + limit +
            " or <" + limit;
    return false;
}

int expression_parser::comparison() {
    expression_node node{expression_node::kind::compare, compare_op::eq, {}, {}, -1, -1};
    std::string left_text;
    std::string right_text;
    if (!side(node.left, left_text)) {
        return -1;
    }
    if (done() || tokens[at].type != lexeme::kind::op) {
        error = "expected a comparison (=, !=, <, <=, >, >=)";
        return -1;
    }
    const std::string& op = tokens[at++].text;
    node.op = op == "="    ? compare_op::eq
              : op == "!=" ? compare_op::ne
              : op == "<"  ? compare_op::lt
              : op == "<=" ? compare_op::le
              : op == ">"  ? compare_op::gt
                           : compare_op::ge;
    if (op == "==") {
        error = "'==': write '='";
        return -1;
    }
    if (!side(node.right, right_text)) {
        return -1;
    }
    const bool left_literal = node.left.source == operand::kind::literal;
    const bool right_literal = node.right.source == operand::kind::literal;
    if (left_literal && right_literal) {
        error = "a comparison needs a name on one side";
        return -1;
    }
    const int left_name = left_literal ? node.right.name : node.left.name;
    const int right_name = right_literal ? left_name : node.right.name;
    if (is_digit_string_name(left_name) != is_digit_string_name(right_name)) {
        error = "a digit string is compared with a number";
        return -1;
    }
    if (is_digit_string_name(left_name) && node.op != compare_op::eq && node.op != compare_op::ne) {
        error = "digit strings are compared with = or != only";
        return -1;
    }
    if ((left_literal && !type_literal(node.left, left_text, left_name)) ||
        (right_literal && !type_literal(node.right, right_text, left_name))) {
        return -1;
    }
    if ((left_text == "none" || right_text == "none") && node.op != compare_op::eq &&
        node.op != compare_op::ne) {
        error = "'none' is compared with = or != only";
        return -1;
    }
    if (!light_count_comparable(node)) {
        return -1;
    }
    return add(node);
}

int expression_parser::factor() {
    if (next_is("not")) {
        ++at;
        const int inner = factor();
        return inner < 0 ? -1
                         : add({expression_node::kind::negate, compare_op::eq, {}, {}, inner, -1});
    }
    if (!done() && tokens[at].type == lexeme::kind::open) {
        ++at;
        const int inner = disjunction();
        if (inner < 0) {
            return -1;
        }
        if (done() || tokens[at].type != lexeme::kind::close) {
            error = "a '(' is not closed";
            return -1;
        }
        ++at;
        return inner;
    }
    return comparison();
}

int expression_parser::conjunction() {
    int left = factor();
    while (left >= 0 && next_is("and")) {
        ++at;
        const int right = factor();
        left = right < 0 ? -1
                         : add({expression_node::kind::both, compare_op::eq, {}, {}, left, right});
    }
    return left;
}

int expression_parser::disjunction() {
    int left = conjunction();
    while (left >= 0 && next_is("or")) {
        ++at;
        const int right = conjunction();
        left = right < 0
                   ? -1
                   : add({expression_node::kind::either, compare_op::eq, {}, {}, left, right});
    }
    return left;
}

// An expression up to the end of the line or one of the given words.
bool expression_parser::whole(expression& e, std::initializer_list<const char*> stops) {
    out = expression{};
    if (done()) {
        error = "an expression is missing";
        return false;
    }
    if (disjunction() < 0) {
        return false;
    }
    if (!done()) {
        bool stop = false;
        for (const char* word : stops) {
            stop = stop || next_is(word);
        }
        if (!stop) {
            error = "unexpected '" + tokens[at].text + "'";
            return false;
        }
    }
    e = out;
    return true;
}

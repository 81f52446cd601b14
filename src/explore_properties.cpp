#include "explore_properties.h"

#include "scenario_format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char* const name_texts[property_name_count] = {
    "pw_state",   "pw_timer",    "count",       "lock_state",   "lock_timer",   "locked",
    "changed",    "sound_state", "sound_timer", "light_state",  "light_timer",  "backlight",
    "door",       "cover",       "registered",  "entered",      "sound",        "lock_button",
    "key_sensor", "door_opened", "door_closed", "cover_opened", "cover_closed", "digit",
    "pw_result",  "key_clicked",
};

bool is_digit_string_name(int name) {
    return name == name_registered || name == name_entered;
}

// ---- tokens ----

struct lexeme {
    enum class kind { word, number, op, open, close } type;
    std::string text;
};

bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

std::string split(const std::string& line, std::vector<lexeme>& out) {
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

// ---- expressions ----

struct parser {
    const std::vector<lexeme>& tokens;
    std::size_t at = 0;
    expression out;
    bool names_digits = false;
    std::string error;

    bool done() const { return at >= tokens.size(); }
    bool next_is(const char* word) const {
        return !done() && tokens[at].type == lexeme::kind::word && tokens[at].text == word;
    }
    int add(expression_node node) {
        out.nodes.push_back(node);
        return static_cast<int>(out.nodes.size()) - 1;
    }

    // One side of a comparison; the literal's text is kept for typing against the other side.
    bool side(operand& o, std::string& literal_text) {
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
            if (t.text == name_texts[n]) {
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
    bool type_literal(operand& literal, const std::string& text, int name) {
        if (text == "none") {
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

    int comparison() {
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
        if (is_digit_string_name(left_name) && node.op != compare_op::eq &&
            node.op != compare_op::ne) {
            error = "digit strings are compared with = or != only";
            return -1;
        }
        if ((left_literal && !type_literal(node.left, left_text, left_name)) ||
            (right_literal && !type_literal(node.right, right_text, left_name))) {
            return -1;
        }
        return add(node);
    }

    int factor() {
        if (next_is("not")) {
            ++at;
            const int inner = factor();
            return inner < 0
                       ? -1
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

    int conjunction() {
        int left = factor();
        while (left >= 0 && next_is("and")) {
            ++at;
            const int right = factor();
            left = right < 0
                       ? -1
                       : add({expression_node::kind::both, compare_op::eq, {}, {}, left, right});
        }
        return left;
    }

    int disjunction() {
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
    bool whole(expression& e, std::initializer_list<const char*> stops) {
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
};

int slot_of(const operand& o) {
    switch (o.source) {
    case operand::kind::now: return o.name;
    case operand::kind::was: return property_name_count + o.name;
    default: return -1;
    }
}

void compile_node(const expression& e, int at, std::vector<instruction>& out) {
    const expression_node& n = e.nodes[static_cast<std::size_t>(at)];
    switch (n.type) {
    case expression_node::kind::compare: {
        const bool literal_left = n.left.source == operand::kind::literal;
        instruction i{instruction::kind::compare,
                      n.op,
                      static_cast<std::int16_t>(slot_of(n.left)),
                      static_cast<std::int16_t>(slot_of(n.right)),
                      0,
                      literal_left ? n.left.literal : n.right.literal};
        out.push_back(i);
        return;
    }
    case expression_node::kind::negate:
        compile_node(e, n.first, out);
        out.push_back({instruction::kind::negate, compare_op::eq, 0, 0, 0, 0});
        return;
    case expression_node::kind::both:
    case expression_node::kind::either: {
        compile_node(e, n.first, out);
        const std::size_t jump = out.size();
        out.push_back({n.type == expression_node::kind::both ? instruction::kind::jump_if_false
                                                             : instruction::kind::jump_if_true,
                       compare_op::eq, 0, 0, 0, 0});
        compile_node(e, n.second, out);
        out[jump].jump = static_cast<std::int32_t>(out.size());
        return;
    }
    }
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

void collect_guards(const expression& e, int at, std::vector<int>& guards) {
    const expression_node& n = e.nodes[static_cast<std::size_t>(at)];
    if (n.type == expression_node::kind::both) {
        collect_guards(e, n.first, guards);
        collect_guards(e, n.second, guards);
    } else if (reads_only_before(e, at)) {
        guards.push_back(at);
    }
}

// A duration: N cycles, Ns or Nms in whole cycles of 10 ms.
std::string parse_duration(const std::string& text, int& cycles) {
    std::size_t digits = 0;
    std::int64_t n = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && n < 10000000) {
        n = n * 10 + (text[digits++] - '0');
    }
    const std::string unit = text.substr(digits);
    if (digits == 0 || (unit != "" && unit != "s" && unit != "ms")) {
        return "bad duration '" + text + "' (N cycles, Ns or Nms)";
    }
    if (unit == "ms" && n % 10 != 0) {
        return text + " is not a whole number of 10 ms cycles";
    }
    n = unit == "s" ? n * 100 : unit == "ms" ? n / 10 : n;
    if (n < 1 || n > 60000) {
        return "'" + text + "': from 1 to 60000 cycles";
    }
    cycles = static_cast<int>(n);
    return {};
}

} // namespace

const char* property_name_text(int name) {
    return name >= 0 && name < property_name_count ? name_texts[name] : "?";
}

void observe(const lock_values& s, const step_signals& signals, observation& out) {
    std::int64_t* v = out.value;
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
    observation now{};
    observe(s, step_signals{}, now);
    for (int n = 0; n < first_step_name; ++n) {
        out.value[property_name_count + n] = now.value[n];
    }
}

void compile(expression& e) {
    e.program.clear();
    if (!e.nodes.empty()) {
        compile_node(e, static_cast<int>(e.nodes.size()) - 1, e.program);
    }
    e.reads_before = false;
    for (const expression_node& n : e.nodes) {
        e.reads_before =
            e.reads_before ||
            (n.type == expression_node::kind::compare &&
             (n.left.source == operand::kind::was || n.right.source == operand::kind::was));
    }
}

bool evaluate(const expression& e, const observation& seen) {
    bool acc = true;
    const std::int64_t* v = seen.value;
    const instruction* program = e.program.data();
    const auto size = static_cast<std::int32_t>(e.program.size());
    for (std::int32_t pc = 0; pc < size;) {
        const instruction& i = program[pc];
        switch (i.type) {
        case instruction::kind::compare: {
            const std::int64_t a = i.left >= 0 ? v[i.left] : i.literal;
            const std::int64_t b = i.right >= 0 ? v[i.right] : i.literal;
            switch (i.op) {
            case compare_op::eq: acc = a == b; break;
            case compare_op::ne: acc = a != b; break;
            case compare_op::lt: acc = a < b; break;
            case compare_op::le: acc = a <= b; break;
            case compare_op::gt: acc = a > b; break;
            case compare_op::ge: acc = a >= b; break;
            }
            ++pc;
            break;
        }
        case instruction::kind::jump_if_false: pc = acc ? pc + 1 : i.jump; break;
        case instruction::kind::jump_if_true: pc = acc ? i.jump : pc + 1; break;
        case instruction::kind::negate:
            acc = !acc;
            ++pc;
            break;
        }
    }
    return acc;
}

namespace {

void collect_parts(const expression& e, int at, expression_node::kind joint,
                   std::vector<expression>& parts) {
    const expression_node& n = e.nodes[static_cast<std::size_t>(at)];
    if (n.type == joint) {
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
    if (e.nodes.empty()) {
        return guard;
    }
    std::vector<int> parts;
    collect_guards(e, static_cast<int>(e.nodes.size()) - 1, parts);
    int root = -1;
    for (int part : parts) {
        const int copied = copy_tree(e, part, guard);
        if (root >= 0) {
            guard.nodes.push_back(
                {expression_node::kind::both, compare_op::eq, {}, {}, root, copied});
            root = static_cast<int>(guard.nodes.size()) - 1;
        } else {
            root = copied;
        }
    }
    compile(guard);
    return guard;
}

std::string parse_property(const std::string& line, property& parsed) {
    std::vector<lexeme> tokens;
    std::string error = split(line, tokens);
    if (!error.empty()) {
        return error;
    }
    parser p{tokens, 0, {}, false, {}};
    parsed.text = line;
    parsed.text.erase(0, parsed.text.find_first_not_of(" \t"));
    parsed.text.erase(parsed.text.find_last_not_of(" \t") + 1);
    if (p.next_is("always") || p.next_is("never") || p.next_is("reachable")) {
        const std::string& verb = tokens[p.at++].text;
        parsed.kind = verb == "always"  ? property_kind::always
                      : verb == "never" ? property_kind::never
                                        : property_kind::reachable;
        if (!p.whole(parsed.holds, {})) {
            return p.error;
        }
    } else if (tokens.size() >= 2 && tokens[0].type == lexeme::kind::word &&
               tokens[1].type == lexeme::kind::word && tokens[0].text != "not" &&
               tokens[0].text != "was") {
        return "expected always, never, reachable or P leads-to Q within N";
    } else {
        parsed.kind = property_kind::leads_to;
        if (!p.whole(parsed.holds, {"leads-to"})) {
            return p.error.rfind("unexpected", 0) == 0 || p.error == "an expression is missing"
                       ? "expected always, never, reachable or P leads-to Q within N"
                       : p.error;
        }
        if (p.done()) {
            return "expected always, never, reachable or P leads-to Q within N";
        }
        ++p.at;
        if (!p.whole(parsed.target, {"within"})) {
            return p.error;
        }
        if (p.done()) {
            return "leads-to needs 'within N'";
        }
        ++p.at;
        if (p.done()) {
            return "within needs a number of cycles, or a time such as 3s or 250ms";
        }
        error = parse_duration(tokens[p.at++].text, parsed.within);
        if (!error.empty()) {
            return error;
        }
        if (!p.done()) {
            if (!p.next_is("unless")) {
                return "unexpected '" + tokens[p.at].text + "'";
            }
            ++p.at;
            if (!p.whole(parsed.excuse, {})) {
                return p.error;
            }
            parsed.has_excuse = true;
        }
    }
    parsed.names_digits = p.names_digits;
    compile(parsed.holds);
    compile(parsed.target);
    compile(parsed.excuse);
    return {};
}

bool read_property_file(const char* path, std::vector<property>& properties) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(errno));
        return false;
    }
    bool good = true;
    std::string line;
    int number = 0;
    for (int c = 0; c != EOF;) {
        line.clear();
        while ((c = std::fgetc(file)) != EOF && c != '\n') {
            line += static_cast<char>(c);
        }
        if (c == EOF && line.empty()) {
            break;
        }
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        property parsed;
        const std::string error = parse_property(line, parsed);
        if (!error.empty()) {
            std::fprintf(stderr, "%s:%d: %s\n", path, number, error.c_str());
            good = false;
            continue;
        }
        parsed.name = std::string(path) + ":" + std::to_string(number);
        properties.push_back(std::move(parsed));
    }
    if (std::ferror(file) != 0) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(EIO));
        good = false;
    }
    std::fclose(file);
    return good;
}

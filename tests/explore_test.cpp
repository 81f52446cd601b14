// The exploration: the property language's parser, faults planted in the step that the built-in
// properties must find with the shortest path (a counterexample that replays on the faulty step and
// fails on the real one), and the real step holding every built-in property.
#include "Light_Controller.h"
#include "Lock_Controller.h"
#include "explore_arcs.h"
#include "explore_paths.h"
#include "explore_report.h"
#include "explore_search.h"
#include "scenario_runner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#if defined(__unix__)
#include <sys/resource.h>
#endif

namespace {

TEST(PropertyParser, AcceptsTheLanguageAndSaysWhatIsWrong) {
    struct line_case {
        const char* line;
        const char* error; // empty: accepted
    };
    const line_case cases[] = {
        {"always was registered=none or registered=was registered", ""},
        {"never locked=1 and (door_opened=1 or not cover=0)", ""},
        {"reachable entered=0101", ""},
        {"never digit>=5", ""},
        {"never was lock_timer>=lock_timer and lock_state=2 and was lock_state=2", ""},
        {"door_closed=1 leads-to locked=1 within 3s unless door_opened=1", ""},
        {"door_closed=1 leads-to locked=1 within 3010ms", ""},
        {"sometimes locked=1", "expected always, never, reachable or P leads-to Q within N"},
        {"always lockd=1", "unknown name 'lockd'"},
        {"always cycle<5", "'cycle' is not part of a state"},
        {"always was lock_button=0", "'was lock_button': lock_button is a value of the step"},
        {"always registered<1357", "digit strings are compared with = or != only"},
        {"always registered=count", "a digit string is compared with a number"},
        {"always entered=12345", "'12345': a code has at most four digits"},
        {"always 1=1", "a comparison needs a name on one side"},
        {"always locked==1", "'==': write '='"},
        {"always (locked=1", "a '(' is not closed"},
        {"always locked=1 locked=0", "unexpected 'locked'"},
        {"always locked", "expected a comparison (=, !=, <, <=, >, >=)"},
        {"always locked=1 & door=1", "unexpected '&'"},
        {"door_closed=1 leads-to locked=1", "leads-to needs 'within N'"},
        {"door_closed=1 leads-to locked=1 within 5ms", "5ms is not a whole number of 10 ms cycles"},
        {"door_closed=1 leads-to locked=1 within 0", "'0': from 1 to 60000 cycles"},
        {"door_closed=1 leads-to locked=1 within 9 when door=0", "unexpected 'when'"},
        // The light's count reads 1000 for every value from 1000 on: only comparisons that give
        // all those values one answer are taken, either way round.
        {"never light_timer>=1000 or was light_timer<1000", ""},
        {"reachable light_timer=999 or 999<light_timer", ""},
        {"never light_timer>1000", "light_timer reads 1000 for every value from 1000 on"},
        {"always light_timer<=1000", "light_timer reads 1000"},
        {"reachable was light_timer=1000", "light_timer reads 1000"},
        {"never 1000<light_timer", "light_timer reads 1000"},
        {"reachable 1500=light_timer", "light_timer reads 1000"},
        {"reachable 1000<=light_timer and light_timer>pw_timer", ""},
        {"never light_timer=was light_timer", "light_timer reads 1000"},
        {"reachable digit=none and registered!=none and entered=none", ""},
        {"reachable pw_result=none", "'none' is a value of registered, entered and digit, not of "
                                     "pw_result"},
        {"never digit<none", "'none' is compared with = or != only"},
    };
    for (const line_case& c : cases) {
        property p;
        const std::string error = parse_property(c.line, p);
        if (*c.error == '\0') {
            EXPECT_EQ(error, "") << c.line;
        } else {
            EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error) << c.line;
        }
    }
    property p;
    ASSERT_EQ(parse_property("door_closed=1 leads-to locked=1 within 3s", p), "");
    EXPECT_EQ(p.within, 300);
}

// A field of each width packs and unpacks unchanged up to the largest value it holds; one more,
// or a negative one (255 for a one-byte level), is refused rather than spilling into its neighbour.
TEST(StatePacking, EveryWidthHoldsItsRangeAndRefusesWhatLiesBeyond) {
    const struct {
        const char* field;
        void (*set)(lock_values&, int);
        int largest;
    } fields[] = {
        {"pw_state", [](lock_values& v, int x) { v.pw_state = static_cast<std::uint8_t>(x); }, 7},
        {"pw_timer", [](lock_values& v, int x) { v.pw_timer = x; }, 1023},
        {"count", [](lock_values& v, int x) { v.count = x; }, 7},
        {"digits[3]", [](lock_values& v, int x) { v.digits[3] = x; }, 15},
        {"registered", [](lock_values& v, int x) { v.registered = static_cast<std::uint8_t>(x); },
         1},
        {"code[0]", [](lock_values& v, int x) { v.code[0] = x; }, 15},
        {"lock_state", [](lock_values& v, int x) { v.lock_state = static_cast<std::uint8_t>(x); },
         3},
        {"lock_timer", [](lock_values& v, int x) { v.lock_timer = x; }, 511},
        {"sound_timer", [](lock_values& v, int x) { v.sound_timer = x; }, 1023},
        {"light_timer", [](lock_values& v, int x) { v.light_timer = x; }, 1023},
        {"cover", [](lock_values& v, int x) { v.cover = static_cast<std::uint8_t>(x); }, 1},
    };
    for (const auto& f : fields) {
        SCOPED_TRACE(f.field);
        lock_values values;
        f.set(values, f.largest);
        packed_state packed{};
        ASSERT_TRUE(pack(values, packed));
        EXPECT_TRUE(unpack(packed) == values);
        for (const int beyond : {f.largest + 1, f.largest == 1 ? 255 : -1}) {
            lock_values wrong;
            f.set(wrong, beyond);
            EXPECT_FALSE(pack(wrong, packed)) << beyond << " packed";
        }
    }
}

// A part is checked as a guard on the state before the step and a finding on the step; together
// they must find a violation (a witness) exactly where the part does, whatever the values.
TEST(PropertyParts, TheGuardAndTheFindingFindWhatThePartFinds) {
    std::vector<property> properties = parse_builtin_properties();
    for (const char* text : {"always not (was locked=1 and (door=0 or not cover=1))",
                             "never not (was count<2 or not (locked=1 or was door!=door))",
                             "reachable was pw_state=1 and not (pw_state=1 or was count=count)",
                             "always was locked=0 or was door=1"}) {
        property p;
        ASSERT_EQ(parse_property(text, p), "") << text;
        properties.push_back(p);
    }
    const std::int64_t values[] = {-1, 0, 1, 2, 3, 4, 255, 299, 300, 301, 999, 1000};
    std::mt19937 random(20261208);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(values) - 1);
    for (const property& p : properties) {
        if (p.kind == property_kind::leads_to) {
            continue;
        }
        const bool always = p.kind == property_kind::always;
        const auto joint = p.kind == property_kind::never ? expression_node::kind::either
                           : always                       ? expression_node::kind::both
                                                          : expression_node::kind::compare;
        for (const expression& part : parts_of(p.holds, joint)) {
            expression guard;
            const expression finding = finding_of(part, always, &guard);
            for (int trial = 0; trial < 3000; ++trial) {
                observation seen{};
                for (int slot = 0; slot < zero_slot; ++slot) {
                    seen.value[slot] = values[pick(random)];
                }
                const bool found = evaluate(guard, seen) && evaluate(finding, seen);
                // The guard is checked before the step: nothing of the step may change it.
                observation stepped = seen;
                for (int slot = 0; slot < property_name_count; ++slot) {
                    stepped.value[slot] = values[pick(random)];
                }
                if (found != (evaluate(part, seen) != always) ||
                    evaluate(guard, stepped) != evaluate(guard, seen)) {
                    ADD_FAILURE() << p.name << ": the part finds " << !found << " where guard "
                                  << evaluate(guard, seen) << " (" << evaluate(guard, stepped)
                                  << " after another step), finding " << evaluate(finding, seen)
                                  << " (trial " << trial << ")";
                    break;
                }
            }
        }
    }
}

// Faults planted between the controllers and the end-of-cycle clear of the real step.
void plant(loop_state& loop, bool (*fault)(loop_state&), const cycle_watcher* watcher) {
    struct planted {
        bool (*fault)(loop_state&);
        const cycle_watcher* watcher;
        loop_state* loop;
    } context{fault, watcher, &loop};
    const cycle_watcher wrapper{&context, [](void* c, const loop_state&) {
                                    auto* p = static_cast<planted*>(c);
                                    p->fault(*p->loop);
                                    if (p->watcher != nullptr) {
                                        p->watcher->see(p->watcher->context, *p->loop);
                                    }
                                }};
    step_cycle(loop, &wrapper);
}

void lock_now(loop_state& loop) {
    LockP(&loop.status);
    loop.lock_state = lock_locked;
    loop.signals->control->locked = 1;
}

void unlock_now(loop_state& loop) {
    UnlockP(&loop.status);
    loop.lock_state = lock_unlocked;
    loop.signals->control->locked = 0;
}

bool cover_close_unlocks(loop_state& loop) {
    if (loop.signals->events->raised[cover_closed] != 0 && loop.status.locked != 0) {
        unlock_now(loop);
    }
    return true;
}

bool three_digits_suffice(loop_state& loop) {
    const pw_buffer* buffer = loop.signals->control->buffer;
    if (loop.pw_result == 0 && buffer->digits[0] == buffer->registered->digits[0] &&
        buffer->digits[1] == buffer->registered->digits[1] &&
        buffer->digits[2] == buffer->registered->digits[2]) {
        loop.pw_result = 1;
        unlock_now(loop);
    }
    return true;
}

bool locks_after_300(loop_state& loop) {
    if (loop.lock_state == lock_closing && loop.lock_timer == auto_lock_limit) {
        lock_now(loop);
    }
    return true;
}

// The countdown of the automatic lock runs past anything a state can hold: the search fails.
bool countdown_overflows(loop_state& loop) {
    if (loop.lock_state == lock_closing && loop.lock_timer == 10) {
        loop.lock_timer = 4000;
    }
    return true;
}

// The light goes off every cycle: a step without keys then leaves an idle state as it was.
bool light_stays_off(loop_state& loop) {
    loop.light_state = light_off;
    return true;
}

void step_cover_close_unlocks(loop_state& loop, const cycle_watcher* w) {
    plant(loop, cover_close_unlocks, w);
}
void step_three_digits_suffice(loop_state& loop, const cycle_watcher* w) {
    plant(loop, three_digits_suffice, w);
}
void step_locks_after_300(loop_state& loop, const cycle_watcher* w) {
    plant(loop, locks_after_300, w);
}
void step_countdown_overflows(loop_state& loop, const cycle_watcher* w) {
    plant(loop, countdown_overflows, w);
}
void step_light_stays_off(loop_state& loop, const cycle_watcher* w) {
    plant(loop, light_stays_off, w);
}

// Builds that run many times slower (sanitizers, no optimisation, an emulator) search shallow
// spaces only.
#if defined(DOORLOCK_SLOW_BUILD)
constexpr bool slow_build = true;
#else
constexpr bool slow_build = false;
#endif
constexpr std::uint64_t shallow = 20;

class Exploration : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        directory = std::filesystem::temp_directory_path() /
                    ("doorlock-explore-" + std::to_string(random()));
        std::filesystem::create_directory(directory);
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::filesystem::path directory;
};

TEST_F(Exploration, APlantedFaultBreaksItsPropertyWithTheShortestPathThatReplays) {
    struct fault_case {
        step_function step;
        const char* digits;
        std::uint64_t depth;
        const char* property;
        std::size_t cycles; // of the shortest counterexample
    };
    const fault_case cases[] = {
        // Register 0000 (4 digits, the fifth cycle registers, L locks in it), then C.
        {step_cover_close_unlocks, "0", 8, "the-bolt-unlocks-only-by-key-button-or-right-code", 6},
        // Register and lock; the controller takes digits again in the third cycle after the
        // registration: 0001 in cycles 8 to 11, compared in the twelfth.
        {step_three_digits_suffice, "01", 13, "a-right-code-reads-1-a-wrong-one-0", 12},
        // Register with the door closed in the fifth cycle: the real step locks in the 301st
        // cycle after it, the faulty one a cycle early.
        {step_locks_after_300, "0", 306, "the-bolt-locks-only-by-button-or-after-300-cycles-closed",
         305},
    };
    const std::vector<property> properties = parse_builtin_properties();
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.property);
        if (slow_build && c.depth > shallow) {
            continue;
        }
        explore_options options;
        options.digits.clear();
        for (const char* d = c.digits; *d != '\0'; ++d) {
            options.digits.push_back(*d - '0');
        }
        options.pairs = false;
        options.max_depth = c.depth;
        options.step = c.step;
        const explore_result result = explore(options, properties);
        ASSERT_NE(result.status, explore_status::failed) << result.problem;
        std::size_t index = 0;
        while (index < properties.size() && properties[index].name != c.property) {
            ++index;
        }
        ASSERT_LT(index, properties.size());
        const property_outcome& outcome = result.outcomes[index];
        ASSERT_FALSE(outcome.holds);
        EXPECT_EQ(outcome.path.size(), c.cycles);

        const std::string file = (directory / "counterexample.scn").string();
        ASSERT_TRUE(
            write_path_scenario(file.c_str(), outcome.path, properties[index], false, c.step));
        EXPECT_EQ(run_scenario_file(file.c_str(), nullptr, c.step), scenario_holds)
            << "the counterexample replays";
        EXPECT_EQ(run_scenario_file(file.c_str(), nullptr, step_cycle), scenario_fails)
            << "the real lock does not do that";
    }
}

// A counterexample is written whole or not at all: it takes the place of an old file at once, and
// one that cannot be put in place leaves what was there, with no partial file behind.
TEST_F(Exploration, ACounterexampleIsWrittenWholeOrNotAtAll) {
    property p;
    ASSERT_EQ(parse_property("never locked=1", p), "");
    p.name = "a-test";
    const std::vector<key_window> path = {{{'1', 0}}, {{0, 0}}};
    const auto partial = [](const std::filesystem::path& f) { return f.string() + ".partial"; };
    const std::filesystem::path file = directory / "old.scn";
    std::ofstream(file) << "old\n";
    ASSERT_TRUE(write_path_scenario(file.string().c_str(), path, p, false, step_cycle));
    std::ifstream in(file);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find("expect cycle=2"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(partial(file)));

#if defined(__unix__)
    // A write that fails on the way (here: files may not grow past 64 bytes) keeps the old file.
    std::ofstream(file) << "old\n";
    struct rlimit before {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    struct rlimit small = before;
    small.rlim_cur = 64;
    const auto was = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = write_path_scenario(file.string().c_str(), path, p, false, step_cycle);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, was);
    EXPECT_FALSE(written);
    std::ifstream again(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "old\n");
    EXPECT_FALSE(std::filesystem::exists(partial(file)));
#endif

    const std::filesystem::path taken = directory / "taken.scn"; // a folder: no file goes there
    std::filesystem::create_directories(taken / "inside");
    EXPECT_FALSE(write_path_scenario(taken.string().c_str(), path, p, false, step_cycle));
    EXPECT_TRUE(std::filesystem::exists(taken / "inside"));
    EXPECT_FALSE(std::filesystem::exists(partial(taken)));
}

// The single-key space with digits 0 and 1, its first 120 steps (the whole space, 4,000 steps
// deep, takes minutes: bench/explore_speed.sh runs it and every property holds there); a
// shallower part where the build is slow. A reachable of one comparison is one part, reached.
TEST_F(Exploration, TheRealStepHoldsEveryBuiltinProperty) {
    std::vector<property> properties = parse_builtin_properties();
    property locks;
    ASSERT_EQ(parse_property("reachable locked=1", locks), "");
    properties.push_back(locks);
    explore_options options;
    options.pairs = false;
    options.max_depth = slow_build ? 25 : 120;
    const explore_result result = explore(options, properties);
    ASSERT_NE(result.status, explore_status::failed) << result.problem;
    for (std::size_t i = 0; i < properties.size(); ++i) {
        EXPECT_TRUE(result.outcomes[i].holds) << properties[i].name;
        EXPECT_TRUE(result.outcomes[i].checked) << properties[i].name;
    }
    // A code of four digits, then L: the bolt cannot lock sooner.
    EXPECT_EQ(result.outcomes.back().path.size(), 5u);
}

// A search whose memory runs out between the breadth-first search and the leads-to check reports
// those properties unchecked, not as holding: the limit is set just below what the check needs.
TEST_F(Exploration, ALeadsToTheSearchStoppedBeforeIsNotChecked) {
    const std::vector<property> properties = parse_builtin_properties();
    explore_options options;
    options.pairs = false;
    options.max_depth = shallow;
    const explore_result whole = explore(options, properties);
    ASSERT_NE(whole.status, explore_status::failed) << whole.problem;
    options.max_memory = whole.held_bytes - 1;
    const explore_result result = explore(options, properties);
    EXPECT_EQ(result.status, explore_status::incomplete);
    EXPECT_EQ(result.states, whole.states) << "the breadth-first search ran to its depth";
    for (std::size_t i = 0; i < properties.size(); ++i) {
        EXPECT_TRUE(whole.outcomes[i].checked) << properties[i].name;
        EXPECT_EQ(result.outcomes[i].checked, properties[i].kind != property_kind::leads_to)
            << properties[i].name;
    }
}

// The memory limit counts what the search keeps for a leads-to: an obligation for each state its
// P leads into. With a P that holds in half the states, the limit that the search and check of a P
// that never holds just fit is too small, and no limit is passed.
TEST_F(Exploration, TheMemoryLimitCountsWhatALeadsToKeeps) {
    const auto run = [](const char* text, std::uint64_t max_memory) {
        property p;
        EXPECT_EQ(parse_property(text, p), "");
        explore_options options;
        options.pairs = false;
        options.max_depth = shallow;
        options.max_memory = max_memory;
        return explore(options, {p});
    };
    const explore_result none = run("door=1 and door=0 leads-to door=0 within 3", 0);
    ASSERT_TRUE(none.outcomes[0].checked) << none.problem;
    const std::uint64_t limit = none.held_bytes;
    const explore_result half = run("door=1 leads-to door=0 within 3", limit);
    EXPECT_NE(half.problem.find("--max-memory"), std::string::npos)
        << half.problem << "; " << half.held_bytes << " bytes held against a limit of " << limit;
    EXPECT_LE(half.held_bytes, limit);
    // Whatever the limit, from a tenth of what the whole search of that P holds, nothing held
    // passes it, the search's obligations included.
    const explore_result whole = run("door=1 leads-to door=0 within 3", 0);
    for (std::uint64_t tenths = 1; tenths < 10; ++tenths) {
        const std::uint64_t under = whole.held_bytes / 10 * tenths;
        const explore_result part = run("door=1 leads-to door=0 within 3", under);
        EXPECT_LE(part.held_bytes, under) << tenths << " tenths; " << part.states << " states";
    }
}

// The second thread and the size of a round change nothing but the time: the same states in the
// same order, so the same counts and the same shortest counterexamples, with a planted fault to
// give some. Rounds of 64 states make many rounds a level: merges beside the next round, and a
// level's first round beside the last merge of the level before. Only what the steps after a limit
// count depends on the round: the rest of the round is counted (its verdicts kept too).
TEST_F(Exploration, TwoThreadsFindWhatOneFinds) {
    std::vector<property> properties = parse_builtin_properties();
    // Witnesses in wide levels, reached along many paths of the same length.
    for (const char* text : {"reachable locked=1 and count=2 and entered!=registered",
                             "reachable locked=0 and changed=1 and count=3"}) {
        property p;
        ASSERT_EQ(parse_property(text, p), "");
        properties.push_back(p);
    }
    // To a depth, and to a limit of states met in the middle of a level.
    for (const bool to_a_limit : {false, true}) {
        SCOPED_TRACE(to_a_limit ? "to a limit of states" : "to a depth");
        explore_options options;
        options.step = step_three_digits_suffice;
        options.max_depth = slow_build ? 9 : 14;
        options.max_states = to_a_limit ? 3000 : 0;
        options.threads = 1;
        const explore_result one = explore(options, properties);
        EXPECT_GT(one.states, to_a_limit ? 2999u : 5000u) << "levels wide enough to be split";
        int violated = 0;
        for (const property_outcome& outcome : one.outcomes) {
            violated += outcome.holds ? 0 : 1;
        }
        EXPECT_GT(violated, 0) << "the planted fault breaks a property";
        const struct {
            int threads;
            std::uint32_t round_states;
        } runs[] = {{2, options.round_states}, {2, 64}, {1, 64}};
        for (const auto& run : runs) {
            SCOPED_TRACE(std::to_string(run.threads) + " threads, rounds of " +
                         std::to_string(run.round_states));
            explore_options other = options;
            other.threads = run.threads;
            other.round_states = run.round_states;
            const explore_result two = explore(other, properties);
            EXPECT_EQ(one.status, two.status);
            EXPECT_EQ(one.states, two.states);
            if (!to_a_limit || run.round_states == options.round_states) {
                EXPECT_EQ(one.transitions, two.transitions);
            }
            if (run.round_states == options.round_states) {
                // What the leads-to check after the search starts from, and so the memory it
                // holds, does not depend on how far a merge came beside a round.
                EXPECT_EQ(one.held_bytes, two.held_bytes);
            }
            EXPECT_EQ(one.depth, two.depth);
            for (std::size_t i = 0; i < properties.size(); ++i) {
                SCOPED_TRACE(properties[i].name);
                EXPECT_EQ(one.outcomes[i].holds, two.outcomes[i].holds);
                EXPECT_EQ(one.outcomes[i].states, two.outcomes[i].states);
                ASSERT_EQ(one.outcomes[i].path.size(), two.outcomes[i].path.size());
                for (std::size_t k = 0; k < one.outcomes[i].path.size(); ++k) {
                    EXPECT_EQ(std::string(one.outcomes[i].path[k].keys, 2),
                              std::string(two.outcomes[i].path[k].keys, 2))
                        << "step " << k;
                }
            }
        }
    }
}

// A fault found part-way through a round ends the search where one thread expanding the states
// in order would end it, whatever the other thread went on with after it.
TEST_F(Exploration, AFaultEndsTheSearchWhereOneThreadWould) {
    explore_options options;
    options.step = step_countdown_overflows;
    options.pairs = false;
    options.round_states = 64;
    options.threads = 1;
    const explore_result one = explore(options, parse_builtin_properties());
    ASSERT_EQ(one.status, explore_status::failed);
    EXPECT_NE(one.problem.find("outside the ranges"), std::string::npos) << one.problem;
    options.threads = 2;
    const explore_result two = explore(options, parse_builtin_properties());
    EXPECT_EQ(two.status, explore_status::failed);
    EXPECT_EQ(one.problem, two.problem);
    EXPECT_EQ(one.states, two.states);
    EXPECT_EQ(one.transitions, two.transitions);
    EXPECT_EQ(one.merge_checks, two.merge_checks);
    EXPECT_EQ(one.depth, two.depth);
}

// A search stopped at its depth leaves its last level unexpanded, and the leads-to check steps
// those states: a value out of its range there fails the run as it fails the search.
TEST_F(Exploration, AFaultOnlyTheLeadsToCheckStepsFailsTheRun) {
    // The shallowest level that holds a state whose countdown the step overflows.
    constexpr std::uint64_t overflow_depth = 14;
    explore_options options;
    options.step = step_countdown_overflows;
    options.pairs = false;
    options.digits = {0};
    options.max_depth = overflow_depth;
    const explore_result result = explore(options, parse_builtin_properties());
    EXPECT_EQ(result.status, explore_status::failed);
    EXPECT_NE(result.problem.find("outside the ranges"), std::string::npos) << result.problem;
    options.max_depth = overflow_depth - 1; // the check steps nothing that far
    EXPECT_EQ(explore(options, parse_builtin_properties()).status, explore_status::incomplete);
}

// Four states in a diamond: the start steps to one state under L and to another under every other
// window; both step to a third, which stays. The two steps into the third come in one merge. (No
// controller runs: the door and the cover stay as they were.)
void step_diamond(loop_state& loop, const cycle_watcher* watcher) {
    loop.door_input = open_unchanged;
    loop.cover_input = open_unchanged;
    const bool at_start = loop.backlight == 1 && loop.status.changed == 0;
    if (at_start && loop.button_toggle != 0) {
        loop.backlight = 0;
    } else if (at_start) {
        loop.status.changed = 1;
    } else {
        loop.backlight = 0;
        loop.status.changed = 1;
    }
    if (watcher != nullptr) {
        watcher->see(watcher->context, loop);
    }
}

// A limit of exactly the states there are stops nothing: a step into a state already added in the
// same merge needs no room. One state fewer stops the search at the limit.
TEST_F(Exploration, ALimitOfAllTheStatesThereAreLeavesTheSearchComplete) {
    property last; // met on a step into the last state, added or not
    ASSERT_EQ(parse_property("reachable backlight=0 and changed=1", last), "");
    const struct {
        std::uint64_t max_states;
        explore_status status;
        std::uint64_t states;
    } cases[] = {{0, explore_status::complete, 4},
                 {4, explore_status::complete, 4},
                 {3, explore_status::incomplete, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE("--max-states " + std::to_string(c.max_states));
        explore_options options;
        options.step = step_diamond;
        options.pairs = false;
        options.threads = 1;
        options.max_states = c.max_states;
        const explore_result result = explore(options, {last});
        EXPECT_EQ(result.status, c.status) << result.problem;
        EXPECT_EQ(result.states, c.states);
        EXPECT_TRUE(result.outcomes[0].holds) << "the last state is reached by a step";
    }
}

TEST_F(Exploration, EveryMergeHoldsWhereItIsChecked) {
    explore_options options;
    options.check_every_merge = true;
    options.max_depth = slow_build ? 10 : 14; // a registration, a locking (and a comparison)
    const explore_result result = explore(options, {});
    EXPECT_NE(result.status, explore_status::failed) << result.problem;
    EXPECT_GT(result.merge_checks, 1000u);

    options.digits = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    options.relabel = true;
    options.pairs = false;
    options.max_depth = slow_build ? 6 : 10;
    const explore_result relabelled = explore(options, {});
    EXPECT_NE(relabelled.status, explore_status::failed) << relabelled.problem;
}

// Runs that only a step the search merges too late for carries on, in a space where the light is
// kept off, so that a step without keys leaves an idle state as it was. The search follows runs as
// it merges the steps of its states in order; the check after it must take up a state whose age
// comes too late for its own steps: a step back to a state found before it (itself, or another),
// the first run into a later state of the same round (in rounds of more than one state), which
// was expanded while it had none, or a state of the last level, which a search one step deep
// does not expand.
TEST_F(Exploration, RunsTheSearchMeetsTooLateAreFollowedAfterIt) {
    const struct {
        const char* text;
        bool one_deep; // also in a search one step deep
    } cases[] = {
        // The door closed, no code, nothing going on: a step without keys comes back to the same
        // state. Every step with a key excuses the run.
        {"door=1 and registered=none and pw_state=0 and sound_state=0 leads-to door=0 within 3 "
         "unless key_clicked=1 or lock_button=1 or key_sensor=1 or cover_opened=1 or "
         "cover_closed=1 or door_opened=1",
         true},
        // P after the first step without keys; the run goes on only while the door is closed: D
        // takes it into the state that D from the start reached first, in the same level.
        {"was light_state=1 and door=0 and cover=0 and count=0 leads-to locked=1 within 3 "
         "unless door=0",
         true},
        // The run goes on only through steps that move the cover: C back and forth between two
        // states, the second found before the first.
        {"door=1 leads-to locked=1 within 3 unless was cover=cover", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        property p;
        ASSERT_EQ(parse_property(c.text, p), "");
        const struct {
            std::uint32_t round_states;
            std::uint64_t depth;
        } runs[] = {{4096, 6}, {1, 6}, {4096, 1}};
        for (const auto& run : runs) {
            if (run.depth == 1 && !c.one_deep) {
                continue;
            }
            SCOPED_TRACE("rounds of " + std::to_string(run.round_states) + ", " +
                         std::to_string(run.depth) + " deep");
            explore_options options;
            options.step = step_light_stays_off;
            options.digits = {0};
            options.pairs = false;
            options.max_depth = run.depth;
            options.round_states = run.round_states;
            const explore_result result = explore(options, {p});
            EXPECT_FALSE(result.outcomes[0].holds);
            // A step into P, then three steps without Q.
            EXPECT_EQ(result.outcomes[0].path.size(), 4u);
        }
    }
}

TEST_F(Exploration, ALeadsToFailsWithTheShortestWayToPThenNStepsWithoutQ) {
    struct leads_to_case {
        const char* text;
        std::uint64_t depth;
        std::size_t cycles; // of the counterexample; 0: it holds
    };
    const leads_to_case cases[] = {
        // The first digit, then two cycles without the fourth.
        {"key_clicked=1 leads-to count=4 within 2", 6, 3},
        // The fourth digit comes three cycles after the first at the soonest.
        {"key_clicked=1 and count=1 leads-to count=4 within 3 unless key_clicked=0", 6, 0},
        // Four digits, the door closed as the fifth cycle registers, then 300 cycles without
        // the lock, which comes in the 301st.
        {"door_closed=1 and lock_state=2 leads-to locked=1 within 300 unless door_opened=1", 310,
         305},
        {"door_closed=1 and lock_state=2 leads-to locked=1 within 301 unless door_opened=1", 310,
         0},
    };
    for (const leads_to_case& c : cases) {
        SCOPED_TRACE(c.text);
        if (slow_build && c.depth > shallow) {
            continue;
        }
        property p;
        ASSERT_EQ(parse_property(c.text, p), "");
        p.name = "under-test";
        explore_options options;
        options.digits = {0};
        options.pairs = false;
        options.max_depth = c.depth;
        const explore_result result = explore(options, {p});
        EXPECT_EQ(result.outcomes[0].holds, c.cycles == 0);
        EXPECT_EQ(result.outcomes[0].path.size(), c.cycles);
    }
}

// A run that can go round a cycle of steps without Q goes on for ever: the check that looks for
// such a cycle, here at once, decides as following the runs level by level to N does, and takes
// far fewer levels where there is one.
TEST_F(Exploration, ARunThatCanGoRoundIsViolatedWithoutFollowingItToN) {
    // With the light off, a step without keys leaves an idle state as it was.
    const char* idle =
        "door=1 and registered=none and pw_state=0 and sound_state=0 leads-to door=0 "
        "within 500 unless key_clicked=1 or lock_button=1 or key_sensor=1 or "
        "cover_opened=1 or cover_closed=1 or door_opened=1";
    // C back and forth between two states, the run going on only through C.
    const char* cover = "door=1 leads-to locked=1 within 40 unless was cover=cover";
    // Runs that end: the countdown locks in the 301st cycle.
    const char* countdown =
        "door_closed=1 and lock_state=2 leads-to locked=1 within 301 unless door_opened=1";
    const struct {
        std::vector<const char*> texts;
        step_function step;
        std::uint64_t depth;
        std::vector<std::size_t> cycles; // of each counterexample; 0: it holds
        bool goes_round;
    } cases[] = {
        {{idle}, step_light_stays_off, 6, {501}, true},
        {{cover}, step_light_stays_off, 6, {41}, true},
        {{countdown}, step_cycle, 310, {0}, false},
        // Several in one pass: each looked at for its own runs.
        {{countdown, cover, idle}, step_light_stays_off, 6, {0, 41, 501}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.texts.back());
        if (slow_build && c.depth > shallow) {
            continue;
        }
        std::vector<property> properties(c.texts.size());
        for (std::size_t i = 0; i < c.texts.size(); ++i) {
            ASSERT_EQ(parse_property(c.texts[i], properties[i]), "");
        }
        explore_options options;
        options.step = c.step;
        options.digits = {0};
        options.pairs = false;
        options.max_depth = c.depth;
        options.cycle_check_share = 0.0;
        const explore_result at_once = explore(options, properties);
        options.cycle_check_share = 1e18;
        const explore_result never = explore(options, properties);
        for (std::size_t i = 0; i < c.texts.size(); ++i) {
            SCOPED_TRACE(c.texts[i]);
            EXPECT_EQ(at_once.outcomes[i].holds, c.cycles[i] == 0);
            EXPECT_EQ(never.outcomes[i].holds, c.cycles[i] == 0);
            EXPECT_EQ(at_once.outcomes[i].path.size(), c.cycles[i]);
            EXPECT_EQ(never.outcomes[i].path.size(), c.cycles[i]);
        }
        if (c.goes_round) {
            EXPECT_LT(at_once.leads_to_levels * 4, never.leads_to_levels)
                << "levels looking at once: " << at_once.leads_to_levels
                << ", never: " << never.leads_to_levels;
        } else {
            EXPECT_EQ(at_once.leads_to_levels, never.leads_to_levels);
        }
    }
}

// A window whose step ends where an earlier window's ends is the same step only when it raised the
// same signals too: the key turned in an open lock changes nothing but is still a step of its own.
TEST_F(Exploration, StepsThatEndAlikeButRaiseDifferentSignalsAreEachChecked) {
    const struct {
        const char* text;
        bool holds;
        std::size_t cycles; // of the shortest witness or counterexample
    } cases[] = {
        {"reachable key_sensor=1 and was locked=0 and lock_state=was lock_state", true, 1},
        {"reachable digit!=none and key_clicked=0", true, 5},
        // The key turned four times in the open lock: both the search and the counterexample's
        // own search follow the run through those steps.
        {"locked=0 leads-to key_sensor=0 within 3", false, 4},
    };
    std::vector<property> properties;
    for (const auto& c : cases) {
        property p;
        ASSERT_EQ(parse_property(c.text, p), "");
        p.name = c.text;
        properties.push_back(p);
    }
    explore_options options;
    options.max_depth = 6;
    const explore_result result = explore(options, properties);
    for (std::size_t i = 0; i < properties.size(); ++i) {
        SCOPED_TRACE(cases[i].text);
        EXPECT_EQ(result.outcomes[i].holds, cases[i].holds);
        EXPECT_EQ(result.outcomes[i].path.size(), cases[i].cycles);
    }
}

#if !defined(DOORLOCK_NO_EXAMPLES)
// Together the examples run every arc of every controller, so that an arc a change adds shows up
// here until an example runs it.
TEST(ExampleCoverage, TheExamplesRunEveryArcOfEveryController) {
    arc_coverage total;
    int examples = 0;
    for (const auto& entry : std::filesystem::directory_iterator(DOORLOCK_EXAMPLES)) {
        if (entry.path().extension() != ".scn") {
            continue;
        }
        arc_coverage coverage;
        const loop_observer observer = coverage_observer(coverage);
        const std::string path = entry.path().string();
        ASSERT_EQ(run_scenario_file(path.c_str(), &observer, step_cycle), scenario_holds) << path;
        total.ran |= coverage.ran;
        ++examples;
    }
    EXPECT_GT(examples, 0);
    const std::uint64_t every = (std::uint64_t{1} << controller_arcs().size()) - 1;
    EXPECT_EQ(coverage_report(total.ran), coverage_report(every));
}
#endif

// A path as its keys, two a window ('-' for none).
std::string path_text(const std::vector<key_window>& path) {
    std::string text;
    for (const key_window& w : path) {
        text += {w.keys[0] != 0 ? w.keys[0] : '-', w.keys[1] != 0 ? w.keys[1] : '-', ' '};
    }
    return text;
}

// The verdicts the search remembers for steps alike are the verdicts of checking each step, path
// for path: on counters read at single values (each in a search of its own, so that no other
// property keeps that counter's values apart), against each other, before the step only, and on
// a signal alone; and on digits relabelled.
TEST_F(Exploration, RememberedVerdictsDecideAsCheckingEveryStep) {
    struct expected {
        const char* text;
        bool holds;
        std::size_t cycles; // of the shortest witness or counterexample
    };
    const struct {
        std::vector<int> digits;
        std::vector<expected> cases;
    } searches[] = {
        {{0}, {{"never sound_timer=57 and was sound_timer=56", false, 58}}},
        {{0}, {{"reachable light_timer=40 and was light_timer=39", true, 40}}},
        {{0}, {{"never was pw_timer>=20 and pw_timer<20 and pw_state=1", false, 22}}},
        {{0},
         {{"reachable lock_state=2 and lock_timer=5", true, 10},
          // Read only before the step, where the state's guard reads it.
          {"never was lock_timer=7 and lock_button=1", false, 13}}},
        {{0},
         {{"sound_state=4 and sound_timer=10 leads-to sound_timer=20 within 10", false, 21},
          {"never sound_timer=30 and key_clicked=1", true, 0},
          // The button without a code: the state steps as without it, only the signal tells.
          {"reachable lock_button=1 and locked=0", true, 1}}},
        {{0},
         {{"reachable light_timer>sound_timer and sound_timer>5 and pw_state=1", true, 7},
          {"never was sound_timer<pw_timer and sound_timer>pw_timer", true, 0}}},
        {{0, 1, 2},
         {{"reachable registered!=none and entered!=registered and count=4", true, 11},
          {"reachable pw_result=0 and was count=4", true, 12}}},
    };
    for (const auto& search : searches) {
        std::vector<property> properties = parse_builtin_properties();
        const std::size_t first = properties.size();
        for (const expected& c : search.cases) {
            property p;
            ASSERT_EQ(parse_property(c.text, p), "");
            p.name = c.text;
            properties.push_back(p);
        }
        explore_options options;
        options.digits = search.digits;
        options.relabel = search.digits.size() > 2; // (no case names a digit)
        options.pairs = false;
        const bool relabelled = search.digits.size() > 2;
        options.max_depth = relabelled ? (slow_build ? 10 : 12) : (slow_build ? 25 : 70);
        explore_options each_step = options;
        each_step.remember_verdicts = false;
        const explore_result remembered = explore(options, properties);
        const explore_result checked = explore(each_step, properties);
        ASSERT_EQ(remembered.states, checked.states);
        for (std::size_t i = 0; i < properties.size(); ++i) {
            SCOPED_TRACE(properties[i].name);
            EXPECT_EQ(remembered.outcomes[i].holds, checked.outcomes[i].holds);
            EXPECT_EQ(path_text(remembered.outcomes[i].path), path_text(checked.outcomes[i].path));
            const expected* c = i >= first ? &search.cases[i - first] : nullptr;
            if (c != nullptr && c->cycles <= options.max_depth) {
                EXPECT_EQ(checked.outcomes[i].holds, c->holds);
                EXPECT_EQ(checked.outcomes[i].path.size(), c->cycles);
            }
        }
    }
}

} // namespace

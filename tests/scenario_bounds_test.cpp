// The scenario reader and runner on any input: memory a small multiple of the file whatever it
// holds, endless input refused at once, and cycle counts past 2^32.
#include "scenario_parse.h"
#include "scenario_runner.h"
#include "temporary_folder.h"

#include <gtest/gtest.h>

namespace {

std::size_t bytes_held(const scenario_steps& s) {
    return s.steps.capacity() * sizeof(step) + s.keys.capacity() * sizeof(std::uint16_t) +
           s.checks.capacity() * sizeof(state_check) + s.texts.capacity();
}

TEST(Hardening, ScenarioMemoryIsASmallMultipleOfTheFile) {
    const temporary_folder folder;
    for (const char* line : {"type 1\n", "press 12\n", "wait 1\n", "expect bells 0\n",
                             "expect cycle=1 count=0\n", "expect echo \"a\"\n", "# a comment\n"}) {
        std::string content = "type 1\n";
        for (int i = 0; i < 100000; ++i) {
            content += line;
        }
        write_file(folder / "big.scn", content);
        scenario_steps steps;
        scenario_error error;
        ASSERT_TRUE(read_scenario((folder / "big.scn").c_str(), steps, error)) << line;
        EXPECT_LE(bytes_held(steps), 8 * content.size())
            << "for lines of " << line << "(" << steps.steps.size() << " steps)";
    }
}

TEST(Hardening, ScenarioBoundsOnEndlessInputAndLongRuns) {
#ifndef _WIN32
    scenario_steps endless;
    scenario_error said;
    EXPECT_FALSE(read_scenario("/dev/zero", endless, said));
    EXPECT_EQ(said.message, "/dev/zero:1: the line is longer than 4096 bytes");
#endif

    const temporary_folder folder;
    write_file(folder / "long.scn", "wait 10\nexpect cycle=4294967300\n");
    scenario_steps steps;
    scenario_error error;
    ASSERT_TRUE(read_scenario((folder / "long.scn").c_str(), steps, error));
    const std::string path = folder / "long.scn";
    std::string screen;
    const scenario_result outcome =
        run_scenario({path.c_str(), false, false, nullptr, false, 4294967290u}, steps, screen);
    EXPECT_EQ(outcome.outcome, scenario_outcome::passed) << outcome.message;
    EXPECT_EQ(outcome.expectations, 1);
    EXPECT_EQ(outcome.cycles, 4294967300u);
}

} // namespace

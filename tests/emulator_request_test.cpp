#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "emulator/options.h"
#include "emulator/pacer.h"
#include "emulator/request.h"
#include "emulator/variety.h"

namespace {

using horolan::RequestAction;
using horolan::RequestParser;

struct Step {
    RequestAction action;
    int minutes; // meaningful for the two periodic actions
};

// Feeds `bytes`; a 0 entry in `bytes` stands for "the wait for an interval byte ran out".
std::vector<Step> run(const std::vector<int> &bytes)
{
    RequestParser parser;
    std::vector<Step> steps;
    for (int b : bytes) {
        int minutes = -1;
        const RequestAction a = b == 0
                                    ? horolan::request_expire(&parser)
                                    : horolan::request_feed(&parser, static_cast<unsigned char>(b), &minutes);
        if (a != horolan::REQUEST_NONE)
            steps.push_back({a, minutes});
    }
    return steps;
}

TEST(EmulatorRequest, HostPatterns)
{
    struct Case {
        const char *name;
        std::vector<int> bytes;
        std::vector<Step> steps;
    } cases[] = {
        {"service request", {0x78, 0x40 | 5}, {{horolan::REQUEST_PERIODIC, 5}}},
        {"service request for 63 minutes", {0x78, 0x7F}, {{horolan::REQUEST_PERIODIC, 63}}},
        // 0x78 and 0x75 are also interval bytes for 56 and 53 minutes
        {"56 minutes", {0x78, 0x78}, {{horolan::REQUEST_PERIODIC, 56}}},
        {"53 minutes", {0x78, 0x75}, {{horolan::REQUEST_PERIODIC, 53}}},
        {"one-shot setter",
         {0x40, 0x78, 0, 0x78, 0},
         {{horolan::REQUEST_PERIOD, 0}, {horolan::REQUEST_ONCE, -1}, {horolan::REQUEST_ONCE, -1}}},
        {"alternative command", {0x75, 0}, {{horolan::REQUEST_ONCE, -1}}},
        // the interval byte came too late: one telegram now, the period from then on
        {"split request", {0x78, 0, 0x41}, {{horolan::REQUEST_ONCE, -1}, {horolan::REQUEST_PERIOD, 1}}},
        {"command then noise", {0x78, 0x0D}, {{horolan::REQUEST_ONCE, -1}}},
        {"noise alone", {0x00, 0x0D, 0xFF, 0xBB, 0}, {}},
    };
    for (const Case &c : cases) {
        const std::vector<Step> got = run(c.bytes);
        ASSERT_EQ(got.size(), c.steps.size()) << c.name;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].action, c.steps[i].action) << c.name << " step " << i;
            if (got[i].action == horolan::REQUEST_PERIODIC || got[i].action == horolan::REQUEST_PERIOD) {
                EXPECT_EQ(got[i].minutes, c.steps[i].minutes) << c.name << " step " << i;
            }
        }
    }
}

TEST(EmulatorPacer, RequestedTelegramsLeaveOnWholeSecondsAfterTheMinimumDelay)
{
    horolan::Pacer p;
    p.min_delay_ms = 100;
    EXPECT_EQ(horolan::pacer_next_due(p), -1);
    horolan::pacer_request_once(&p, 10'950);
    EXPECT_EQ(horolan::pacer_next_due(p), 12'000);
    horolan::pacer_sent(&p, 12'000, 12'001);
    EXPECT_EQ(horolan::pacer_next_due(p), -1);

    horolan::pacer_request_once(&p, 10'100);
    EXPECT_EQ(horolan::pacer_next_due(p), 11'000);
    p.align = false;
    EXPECT_EQ(horolan::pacer_align(p, 10'200), 10'200);

    // --at-ms: the same beat, shifted into the second.
    p.align = true;
    p.at_ms = 750;
    EXPECT_EQ(horolan::pacer_align(p, 10'100), 10'750);
    EXPECT_EQ(horolan::pacer_align(p, 10'750), 10'750);
    EXPECT_EQ(horolan::pacer_align(p, 10'751), 11'750);
}

TEST(EmulatorPacer, PeriodicSendingKeepsItsBeatAndStops)
{
    horolan::Pacer p;
    p.min_delay_ms = 100;
    horolan::pacer_request_periodic(&p, 20'500, 2'000);
    long long due = horolan::pacer_next_due(p);
    EXPECT_EQ(due, 21'000);
    std::vector<long long> sent;
    for (int i = 0; i < 3; ++i) {
        due = horolan::pacer_next_due(p);
        sent.push_back(due);
        horolan::pacer_sent(&p, due, due + 3); // sent a little late, as in life
    }
    EXPECT_EQ(sent, (std::vector<long long>{21'000, 23'000, 25'000}));

    // After a long stall it sends once, not a burst of missed telegrams.
    horolan::pacer_sent(&p, 27'000, 40'000);
    EXPECT_EQ(horolan::pacer_next_due(p), 40'000);

    horolan::pacer_set_period(&p, 41'000, 0);
    EXPECT_EQ(horolan::pacer_next_due(p), -1);
}

TEST(EmulatorPacer, ZeroMinuteRequestSendsJustOneAndLonePeriodWaitsOnePeriod)
{
    horolan::Pacer p;
    horolan::pacer_request_periodic(&p, 5'000, 0);
    EXPECT_EQ(horolan::pacer_next_due(p), 5'000);
    horolan::pacer_sent(&p, 5'000, 5'000);
    EXPECT_EQ(horolan::pacer_next_due(p), -1);

    horolan::pacer_set_period(&p, 5'200, 3'000);
    EXPECT_EQ(horolan::pacer_next_due(p), 9'000);
    // A one-shot request in between does not disturb the beat.
    horolan::pacer_request_once(&p, 6'000);
    EXPECT_EQ(horolan::pacer_next_due(p), 6'000);
    horolan::pacer_sent(&p, 6'000, 6'001);
    EXPECT_EQ(horolan::pacer_next_due(p), 9'000);
}

// --window-ms: many telegrams a second, none outside its part of the second.
TEST(EmulatorPacer, WindowSendsSeveralASecondAndHoldsTheRestForTheNextSecond)
{
    horolan::Pacer p;
    p.at_ms = 100;
    p.window_ms = 600;
    horolan::pacer_request_periodic(&p, 10'000, 250);
    std::vector<long long> sent;
    for (int i = 0; i < 6; ++i) {
        const long long due = horolan::pacer_next_due(p);
        sent.push_back(due);
        horolan::pacer_sent(&p, due, due + 1);
    }
    EXPECT_EQ(sent, (std::vector<long long>{10'100, 10'350, 10'600, 11'100, 11'350, 11'600}));
}

TEST(EmulatorVariety, OffsetsKeepTheirBoundAndFaultsComeInRotation)
{
    horolan::Random a{42};
    horolan::Random b{42};
    int zero = 0;
    int slewed = 0;
    int beyond_an_hour = 0;
    for (int i = 0; i < 10'000; ++i) {
        const long long s = horolan::random_offset(&a, 43'000);
        ASSERT_EQ(s, horolan::random_offset(&b, 43'000)); // the seed decides everything
        ASSERT_LE(s < 0 ? -s : s, 43'000);
        zero += s == 0 ? 1 : 0;
        slewed += s != 0 && s >= -5 && s <= 5 ? 1 : 0;
        beyond_an_hour += s < -3600 || s > 3600 ? 1 : 0;
    }
    EXPECT_NEAR(zero, 1'000, 200);
    EXPECT_NEAR(slewed, 5'000, 300);
    EXPECT_NEAR(beyond_an_hour, 1'500, 250);
    for (int i = 0; i < 1'000; ++i)
        ASSERT_LE(std::abs(horolan::random_offset(&a, 3)), 3);

    std::vector<horolan::RotatingFault> faults;
    faults.reserve(15);
    for (int i = 0; i < 15; ++i)
        faults.push_back(horolan::rotating_fault(3, i));
    using horolan::FAULT_NONE;
    EXPECT_EQ(faults,
              (std::vector<horolan::RotatingFault>{
                  FAULT_NONE, FAULT_NONE, horolan::FAULT_GARBAGE, FAULT_NONE, FAULT_NONE,
                  horolan::FAULT_BAD_CHECKSUM, FAULT_NONE, FAULT_NONE, horolan::FAULT_UNCERTAIN, FAULT_NONE,
                  FAULT_NONE, horolan::FAULT_HANGUP, FAULT_NONE, FAULT_NONE, horolan::FAULT_GARBAGE}));
}

// The options point into `args`, as the program's into its argv.
int parse(std::vector<std::string> *args, horolan::Options *o, std::string *error = nullptr)
{
    args->insert(args->begin(), "horolan-emu");
    std::vector<char *> argv;
    for (std::string &a : *args)
        argv.push_back(a.data());
    char text[160] = {};
    const int rc = horolan::parse_options(static_cast<int>(argv.size()), argv.data(), o, text, sizeof text);
    if (error != nullptr)
        *error = text;
    return rc;
}

TEST(EmulatorOptions, ParsesValuesAndRejectsBadOnes)
{
    horolan::Options o;
    std::vector<std::string> good{"--minute-ms", "250", "--offset",  "-7200",      "--start-byte", "0xBA",
                                  "--uncertain", "2",   "--ff-byte", "--no-align", "--log",        "/tmp/x"};
    ASSERT_EQ(parse(&good, &o), 0);
    EXPECT_EQ(o.minute_ms, 250);
    EXPECT_EQ(o.offset_s, -7200);
    EXPECT_EQ(o.faults.start_byte, 0xBA);
    EXPECT_EQ(o.faults.uncertain, 2);
    EXPECT_TRUE(o.faults.ff_byte);
    EXPECT_FALSE(o.align);
    EXPECT_STREQ(o.log_path, "/tmp/x");
    std::vector<std::string> at{"--at-ms", "999"};
    ASSERT_EQ(parse(&at, &o), 0);
    EXPECT_EQ(o.at_ms, 999);
    std::vector<std::string> soak{"--window-ms", "800",  "--random-offset", "43199",
                                  "--seed",      "0x2a", "--fault-every",   "500",
                                  "--down-ms",   "0",    "--link",          "/tmp/term-a"};
    ASSERT_EQ(parse(&soak, &o), 0);
    EXPECT_EQ(o.window_ms, 800);
    EXPECT_EQ(o.random_offset_s, 43199);
    EXPECT_EQ(o.seed, 42);
    EXPECT_EQ(o.fault_every, 500);
    EXPECT_EQ(o.down_ms, 0);
    EXPECT_STREQ(o.link_path, "/tmp/term-a");

    std::string error;
    for (std::vector<std::string> bad : {std::vector<std::string>{"--minute-ms"},
                                         {"--minute-ms", "0"},
                                         {"--telegrams", "3x"},
                                         {"--start-byte", "256"},
                                         {"--uncertain", "-1"},
                                         {"--log"},
                                         {"--at-ms", "1000"},
                                         {"--no-align", "--at-ms", "5"},
                                         {"--window-ms", "500", "--at-ms", "500"},
                                         {"--random-offset", "43200"},
                                         {"--link"},
                                         {"--bogus"}}) {
        const std::string name = bad[0];
        EXPECT_EQ(parse(&bad, &o, &error), -1) << name;
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
}

} // namespace

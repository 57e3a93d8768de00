#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <vector>

#include "link/dcf_protocol.h"

namespace {

using Telegram = std::array<unsigned char, 10>;

// 12:30:00, 15.7.96, weekday 1; bytes 1..7 add up to 161, checksum 33.
const Telegram kGood = {0xBB, 12, 30, 0, 96, 7, 15, 1, 33, 0xC5};

Telegram with_checksum(Telegram t)
{
    t[8] = static_cast<unsigned char>(telegram_checksum(t.data()));
    return t;
}

Telegram changed(Telegram t, int offset, unsigned char value, bool fix_checksum)
{
    t[static_cast<size_t>(offset)] = value;
    return fix_checksum ? with_checksum(t) : t;
}

TEST(LinkTelegram, Validation)
{
    struct {
        const char *name;
        Telegram t;
        int expected;
    } const cases[] = {
        {"good", kGood, TELEGRAM_VALID},
        {"checksum off by one", changed(kGood, 8, 34, false), TELEGRAM_BAD_CHECKSUM},
        {"other start byte", changed(kGood, 0, 0xBA, false), TELEGRAM_UNEXPECTED},
        {"other start byte, bad checksum", changed(changed(kGood, 0, 0xBA, false), 8, 0, false),
         TELEGRAM_UNEXPECTED},
        {"unknown status", changed(kGood, 9, 0x00, false), TELEGRAM_UNEXPECTED},
        {"uncertain", changed(kGood, 9, 0xD2, false), TELEGRAM_UNCERTAIN},
        {"uncertain, bad checksum", changed(changed(kGood, 9, 0xD2, false), 8, 34, false),
         TELEGRAM_BAD_CHECKSUM},
        {"hour 24", changed(kGood, 1, 24, true), TELEGRAM_UNEXPECTED},
        {"minute 60", changed(kGood, 2, 60, true), TELEGRAM_UNEXPECTED},
        {"second 61", changed(kGood, 3, 61, true), TELEGRAM_UNEXPECTED},
        {"leap second", changed(kGood, 3, 60, true), TELEGRAM_VALID},
        {"23:59", changed(changed(kGood, 1, 23, false), 2, 59, true), TELEGRAM_VALID},
        {"hour 24, bad checksum", changed(changed(kGood, 1, 24, true), 8, 0, false), TELEGRAM_BAD_CHECKSUM},
        {"hour 24, uncertain", changed(changed(kGood, 9, 0xD2, false), 1, 24, true), TELEGRAM_UNEXPECTED},
        // The date by the two-digit window: 00 is 2000, a leap year.
        {"year 100", changed(kGood, 4, 100, true), TELEGRAM_UNEXPECTED},
        {"month 13", changed(kGood, 5, 13, true), TELEGRAM_UNEXPECTED},
        {"day 0", changed(kGood, 6, 0, true), TELEGRAM_UNEXPECTED},
        {"31 April", changed(changed(kGood, 5, 4, false), 6, 31, true), TELEGRAM_UNEXPECTED},
        {"29 February 2000", changed(changed(changed(kGood, 4, 0, false), 5, 2, false), 6, 29, true),
         TELEGRAM_VALID},
        {"29 February 2026", changed(changed(changed(kGood, 4, 26, false), 5, 2, false), 6, 29, true),
         TELEGRAM_UNEXPECTED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(validate_telegram(c.t.data()), c.expected);
    }
}

TEST(LinkTelegram, ChecksumKeepsLowSevenBitsOfBytesOneToSeven)
{
    struct {
        Telegram t;
        int expected;
    } const cases[] = {
        {kGood, 33},
        {{0xFF, 127, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, 127},
        {{0x00, 100, 28, 0, 0, 0, 0, 0, 0x00, 0x00}, 0},
        {{0x00, 200, 55, 0, 0, 0, 0, 0, 0x00, 0x00}, 127},
        {{0x00, 255, 255, 255, 255, 255, 255, 255, 0x00, 0x00}, 1785 % 128},
    };
    for (const auto &c : cases)
        EXPECT_EQ(telegram_checksum(c.t.data()), c.expected);
}

TEST(LinkTimeRequest, SendsCommandAndIntervalByte)
{
    struct {
        int minutes;
        unsigned char interval;
    } const cases[] = {{1, 0x41}, {60, 0x7C}, {63, 0x7F}, {64, 0x40}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.minutes);
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        time_request_to_DCF(p[1], c.minutes); // the flush fails on a pipe and is ignored
        close(p[1]);
        unsigned char got[3] = {0, 0, 0};
        EXPECT_EQ(read(p[0], got, 3), 2);
        close(p[0]);
        EXPECT_EQ(got[0], 0x78);
        EXPECT_EQ(got[1], c.interval);
    }
}

} // namespace

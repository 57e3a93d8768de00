// How far the NTP samples made from the receiver's telegrams are from the
// truth: the emulator paced fast on a pseudo-terminal, the line set up and
// read byte by byte as the service does, byte 0 stamped with CLOCK_REALTIME,
// the sample made from that stamp; the truth is the emulator's moment of
// writing plus the character time a real line takes to deliver byte 0.
//
//   ntp_sample_bench [telegrams]

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "link/dcf_protocol.h"
#include "link/rd_wr_rp.h"
#include "tests/support/emu_process.h"
#include "timesvc/ntp_sample.h"

namespace {

// Telegram minus the local time of day of `seconds`, folded into half a day.
long long telegram_difference(const unsigned char *telegram, time_t seconds)
{
    struct tm local = {};
    localtime_r(&seconds, &local);
    long long d = (telegram[DCF_OFS_HOUR] - local.tm_hour) * 3600LL +
                  (telegram[DCF_OFS_MINUTE] - local.tm_min) * 60LL +
                  (telegram[DCF_OFS_SECOND] - local.tm_sec);
    if (d > 43200)
        d -= 86400;
    if (d < -43200)
        d += 86400;
    return d;
}

struct Reading {
    ntp_sample sample;
    long long arrival_us;
};

// One telegram off the line, byte 0 stamped; false on any read failure.
bool read_sample(int fd, Reading *r)
{
    unsigned char telegram[DCF_TELEGRAM_SIZE];
    struct timespec arrival = {};
    for (int i = 0; i < DCF_TELEGRAM_SIZE; ++i) {
        if (read_char(fd, &telegram[i]) != SERIAL_OK)
            return false;
        if (i == 0)
            clock_gettime(CLOCK_REALTIME, &arrival);
    }
    if (validate_telegram(telegram) != TELEGRAM_VALID)
        return false;
    r->arrival_us = arrival.tv_sec * 1000000LL + arrival.tv_nsec / 1000;
    return ntp_make_sample(arrival, telegram_difference(telegram, arrival.tv_sec), &r->sample) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    const int wanted = argc > 1 ? std::atoi(argv[1]) : 250;
    horolan_test::EmuProcess emu;
    // One "minute" of 20 ms, sent at once: about fifty telegrams a second.
    if (!horolan_test::emu_start({"--no-align", "--minute-ms", "20", "--min-delay-ms", "0"}, &emu)) {
        std::fprintf(stderr, "cannot start the emulator\n");
        return 1;
    }
    const int fd = open(emu.slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || set_port_paramers(fd, 200, 14, 48, 1, 1, 0) != 0)
        return 1;
    flush_port(fd, FLUSH_INPUT);
    time_request_to_DCF(fd, 1);

    std::vector<Reading> readings;
    while (static_cast<int>(readings.size()) < wanted) {
        Reading r{};
        if (!read_sample(fd, &r)) {
            std::fprintf(stderr, "read failed after %zu telegrams\n", readings.size());
            return 1;
        }
        readings.push_back(r);
    }
    close(fd);
    horolan_test::emu_stop(&emu, true);

    // Each reading against the last write before it: the receiver's time at
    // that write was the telegram's second plus one character.
    const std::vector<horolan_test::EmuSent> sent = horolan_test::emu_telegrams(emu);
    std::vector<double> errors;
    std::vector<double> latencies;
    for (const Reading &r : readings) {
        const horolan_test::EmuSent *write = nullptr;
        for (const horolan_test::EmuSent &s : sent) {
            if (s.at_us <= r.arrival_us)
                write = &s;
        }
        if (write == nullptr)
            continue;
        const time_t sec = static_cast<time_t>(write->at_us / 1000000);
        const double truth = static_cast<double>(telegram_difference(write->bytes.data(), sec)) +
                             static_cast<double>(NTP_CHAR_TIME_NS) / 1e9 -
                             static_cast<double>(write->at_us % 1000000) / 1e6;
        errors.push_back(std::abs(r.sample.offset - truth));
        latencies.push_back(static_cast<double>(r.arrival_us - write->at_us));
    }
    horolan_test::emu_stop(&emu);
    if (errors.empty())
        return 1;
    std::sort(errors.begin(), errors.end());
    std::sort(latencies.begin(), latencies.end());
    const size_t n = errors.size();
    std::printf("telegrams %zu  |error| median %.3f ms  p90 %.3f ms  worst %.3f ms  "
                "(byte 0 read %.0f us median, %.0f us worst after the write)\n",
                n, errors[n / 2] * 1e3, errors[n * 9 / 10] * 1e3, errors[n - 1] * 1e3, latencies[n / 2],
                latencies[n - 1]);
    return errors[n / 2] <= 0.0002 && errors[n - 1] <= 0.002 ? 0 : 2;
}

// How far the samples tempusd /N hands to an NTP daemon are from the truth,
// beside what the whole-second mode would make of the same telegrams. The
// real tempusd runs under the test interposer against the emulator paced
// fast on a pseudo-terminal and sends its samples to a datagram socket held
// here, where chronyd's would be. The truth of each sample is the emulator's
// last write before byte 0 was stamped: at that write the receiver's time was
// the telegram's second plus one character time (11 bits at 19200 baud, what
// a real line takes to deliver byte 0, which a pseudo-terminal delivers at once).
//
//   ntp_sample_bench [telegrams]

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/emu_process.h"
#include "tests/support/proc.h"
#include "timesvc/ntp_sample.h"
#include "timesvc/ntp_sock.h"

namespace {

// Telegram minus the local time of day of `seconds`, folded into half a day.
long long telegram_difference(const unsigned char *telegram, time_t seconds)
{
    struct tm local = {};
    localtime_r(&seconds, &local);
    long long d = (telegram[1] - local.tm_hour) * 3600LL + (telegram[2] - local.tm_min) * 60LL +
                  (telegram[3] - local.tm_sec);
    if (d > 43200)
        d -= 86400;
    if (d < -43200)
        d += 86400;
    return d;
}

int bound_datagram_socket(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        return -1;
    return fd;
}

struct Errors {
    std::vector<double> sample;       // |sample offset - truth|
    std::vector<double> whole_second; // |the step's difference - truth|
};

void print(const char *what, std::vector<double> errors)
{
    std::sort(errors.begin(), errors.end());
    const size_t n = errors.size();
    std::printf("%-14s telegrams %zu  |error| median %.3f ms  p90 %.3f ms  worst %.3f ms\n", what, n,
                errors[n / 2] * 1e3, errors[n * 9 / 10] * 1e3, errors[n - 1] * 1e3);
}

} // namespace

int main(int argc, char **argv)
{
    const size_t wanted = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 250;
    const std::string dir = tproc::make_scratch_dir();
    const std::string sock_path = dir + "/dcf.sock";
    const int sock = bound_datagram_socket(sock_path);
    horolan_test::EmuProcess emu;
    // One "minute" of 20 ms, sent at once: about fifty telegrams a second.
    if (sock < 0 ||
        !horolan_test::emu_start({"--no-align", "--minute-ms", "20", "--min-delay-ms", "0"}, &emu)) {
        std::fprintf(stderr, "cannot start the emulator or bind %s\n", sock_path.c_str());
        return 1;
    }
    const int key = tproc::unique_registry_key();
    tproc::Spawn sp;
    sp.argv = {TEMPUSD_PATH, "/T1", "/N" + sock_path};
    sp.cwd = dir;
    sp.with_shim = true;
    sp.env = {"TEMPUS_SHIM_SEM_KEY=" + std::to_string(key), "TEMPUS_SHIM_TERM_A=" + emu.slave_path,
              "TEMPUS_SHIM_CLOCK_LOG=" + dir + "/clock.log"};
    const tproc::Result installed = tproc::run(sp);
    if (installed.exit_code != 0) {
        std::fprintf(stderr, "tempusd did not start: %s\n", installed.err.c_str());
        return 1;
    }

    std::vector<ntp_sock_sample> samples;
    while (samples.size() < wanted) {
        struct pollfd ready = {sock, POLLIN, 0};
        ntp_sock_sample s = {};
        if (poll(&ready, 1, 5000) != 1 || recv(sock, &s, sizeof s, 0) != static_cast<ssize_t>(sizeof s)) {
            std::fprintf(stderr, "no sample after %zu\n%s", samples.size(),
                         tproc::read_file(dir + "/dcf.log").c_str());
            break;
        }
        samples.push_back(s);
    }
    tproc::kill_registered(key);
    horolan_test::emu_stop(&emu, true);
    const std::vector<horolan_test::EmuSent> sent = horolan_test::emu_telegrams(emu);
    horolan_test::emu_stop(&emu);
    const bool clock_untouched = tproc::read_file(dir + "/clock.log").empty();
    close(sock);
    tproc::remove_tree(dir);

    Errors errors;
    for (const ntp_sock_sample &s : samples) {
        const long long arrival_us = s.tv.tv_sec * 1000000LL + s.tv.tv_usec;
        const horolan_test::EmuSent *write = nullptr;
        for (const horolan_test::EmuSent &w : sent)
            if (w.at_us <= arrival_us)
                write = &w;
        if (write == nullptr)
            continue;
        const double truth =
            static_cast<double>(
                telegram_difference(write->bytes.data(), static_cast<time_t>(write->at_us / 1000000))) +
            static_cast<double>(NTP_CHAR_TIME_NS) / 1e9 - static_cast<double>(write->at_us % 1000000) / 1e6;
        // What the step would use: whole seconds from the arrival's second.
        const double whole_second = std::round(s.offset + static_cast<double>(s.tv.tv_usec) / 1e6 -
                                               static_cast<double>(NTP_CHAR_TIME_NS) / 1e9);
        errors.sample.push_back(std::fabs(s.offset - truth));
        errors.whole_second.push_back(std::fabs(whole_second - truth));
    }
    if (errors.sample.empty())
        return 1;
    print("/N sample", errors.sample);
    print("whole second", errors.whole_second);
    std::printf("clock calls: %s\n", clock_untouched ? "none" : "SOME (must be none)");
    std::sort(errors.sample.begin(), errors.sample.end());
    const double median = errors.sample[errors.sample.size() / 2];
    return median <= 0.0002 && errors.sample.back() <= 0.002 && clock_untouched ? 0 : 2;
}

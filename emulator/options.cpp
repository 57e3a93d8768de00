#include "emulator/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace horolan {

static const char kUsage[] =
    "Usage: horolan-emu [options]\n"
    "Plays the Horolan DCF77 receiver on a pseudo-terminal (or on --device).\n"
    "Prints the path of the line the host opens as the first line on stdout.\n"
    "\n"
    "Requests: 0x78 or 0x75 followed at once by 0x40|m sends a telegram now and\n"
    "then every m minutes (m = 0: just the one). 0x78 or 0x75 alone (no interval\n"
    "byte within --command-wait-ms) sends one telegram. 0x40 alone stops periodic\n"
    "sending; 0x40|m alone (m > 0) sends every m minutes from one period on.\n"
    "Telegram: 0xBB hour minute second year%100 month day weekday(1=Mon..7=Sun)\n"
    "checksum(bytes 1..7 mod 128) 0xC5, the host's local time (TZ) plus --offset,\n"
    "taken at the whole second at which it goes out. Written a byte at a time,\n"
    "each 11 bits at 19200 baud (573 us) after the one before, as on a real line.\n"
    "The line starts raw, 19200 baud, 8 bits, VMIN 0, VTIME 50; a data byte 0xFF\n"
    "is written once (with PARMRK the host's driver doubles it). The line stays\n"
    "open between hosts; bytes no host has read are dropped when the last host\n"
    "closes it or the first one opens it, as on a serial port nobody has open.\n"
    "\n"
    "Options:\n"
    "  --device PATH        serve this terminal device instead of a new pty\n"
    "  --log FILE           log, one line each, flushed:\n"
    "                         \"<unix_sec>.<us> 0x78\"           a byte from the host\n"
    "                         \"<unix_sec>.<us> sent bb 0c ...\" a write to the host\n"
    "                         \"<unix_sec>.<us> note <text>\"    an event\n"
    "                       (<us>: six digits; a write's stamp is taken just before it)\n"
    "  --minute-ms N        one minute of interval lasts N ms (default 60000)\n"
    "  --offset S           add S seconds (may be negative) to the telegram time\n"
    "  --no-align           send at once instead of on the next whole second\n"
    "  --at-ms N            send N ms (0..999) after the whole second instead, still\n"
    "                       carrying that whole second's time (not with --no-align)\n"
    "  --window-ms N        a telegram may also go out up to N ms after --at-ms in the\n"
    "                       same second (--at-ms + N at most 999), carrying that\n"
    "                       second's time; one due later waits for the next second.\n"
    "                       With a short --minute-ms: many telegrams a second, each\n"
    "                       read in the second it carries (not with --no-align)\n"
    "  --min-delay-ms N     send a requested telegram no sooner than N ms (100)\n"
    "  --command-wait-ms N  wait N ms for an interval byte after a command (100)\n"
    "  --silent             never send anything\n"
    "  --telegrams N        exit (status 0) --linger-ms after the N-th telegram\n"
    "  --hangup-after N     close the line --linger-ms after the N-th telegram and\n"
    "                       keep running (without a line) until SIGTERM\n"
    "  --linger-ms N        the pause of --telegrams and --hangup-after (1000)\n"
    "Faults; K counts telegrams from the first one sent:\n"
    "  --uncertain K        status 0xD2 in the first K telegrams\n"
    "  --bad-checksum K     checksum one off in the first K telegrams\n"
    "  --bad-start K        start byte 0xBC in the first K telegrams\n"
    "  --start-byte X       start byte X (e.g. 0xBA) in every telegram\n"
    "  --bad-status K       status 0x00 in the first K telegrams\n"
    "  --bad-fields K       hour 25, minute 61, second 62, month 13, day 32,\n"
    "                       weekday 8 (checksum right) in the first K telegrams\n"
    "  --ff-byte            weekday byte 0xFF (checksum right) in every telegram\n"
    "  --short K            the first K telegrams lack the status byte (9 bytes)\n"
    "  --parity-error K     the first K telegrams send the start byte as the\n"
    "                       parity-error mark 0xFF 0x00 0xBB (11 bytes)\n"
    "  --break K            the first K telegrams send the break mark\n"
    "                       0xFF 0x00 0x00 instead of the start byte (12 bytes)\n"
    "                       (both marks arrive as such only when the host's line\n"
    "                       has PARMRK clear; with PARMRK the 0xFF is doubled)\n"
    "Long runs:\n"
    "  --random-offset MAX  each telegram's offset is --offset plus a random whole\n"
    "                       number of seconds, at most MAX (0..43199) either way: 0\n"
    "                       in one telegram of ten, 1..5 s in five, 6 s..1 h in one\n"
    "                       of four, over 1 h up to MAX in the rest; logged as\n"
    "                       \"note offset <S>\" (S: the whole offset) before its write\n"
    "  --seed N             seed of the random offsets and garbage (default 1)\n"
    "  --fault-every N      every N-th telegram carries a fault, in this rotation:\n"
    "                       garbage (13 bytes 0x01..0x7F instead of the telegram),\n"
    "                       bad checksum, uncertain status, hang-up (no telegram:\n"
    "                       the line is closed, and after --down-ms a new one, or\n"
    "                       --device again, is opened and served); logged as\n"
    "                       \"note fault <name>\"\n"
    "  --down-ms N          how long a hang-up of the rotation lasts (3000)\n"
    "  --link PATH          keep a symbolic link PATH pointing at the host's end of\n"
    "                       the line (replaced at once when a new line is opened), so\n"
    "                       a host that opens PATH again finds the new line\n"
    "  --help               this text\n"
    "SIGTERM or SIGINT ends the program with status 0; 1: line or log failure;\n"
    "2: bad command line. The system clock is only read, never set.\n";

const char *usage_text()
{
    return kUsage;
}

static bool parse_number(const char *text, int base, long long min, long long max, long long *out)
{
    if (text == nullptr || *text == '\0')
        return false;
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text, &end, base);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

struct NumberOption {
    const char *name;
    int base;
    long long min;
    long long max;
};

static const NumberOption kNumberOptions[] = {
    {"--minute-ms", 10, 1, 3600000},
    {"--offset", 10, -3153600000LL, 3153600000LL},
    {"--min-delay-ms", 10, 0, 60000},
    {"--command-wait-ms", 10, 0, 60000},
    {"--telegrams", 10, 0, INT_MAX},
    {"--hangup-after", 10, 0, INT_MAX},
    {"--linger-ms", 10, 0, 600000},
    {"--uncertain", 10, 0, INT_MAX},
    {"--bad-checksum", 10, 0, INT_MAX},
    {"--bad-start", 10, 0, INT_MAX},
    {"--start-byte", 0, 0, 255},
    {"--bad-status", 10, 0, INT_MAX},
    {"--bad-fields", 10, 0, INT_MAX},
    {"--short", 10, 0, INT_MAX},
    {"--parity-error", 10, 0, INT_MAX},
    {"--break", 10, 0, INT_MAX},
    {"--at-ms", 10, 0, 999},
    {"--window-ms", 10, 0, 999},
    {"--random-offset", 10, 0, 43199},
    {"--seed", 0, 0, LLONG_MAX},
    {"--fault-every", 10, 0, INT_MAX},
    {"--down-ms", 10, 0, 600000},
};

static void store_number(Options *o, const char *name, long long v)
{
    const int n = static_cast<int>(v > INT_MAX ? INT_MAX : v);
    if (std::strcmp(name, "--minute-ms") == 0)
        o->minute_ms = v;
    else if (std::strcmp(name, "--offset") == 0)
        o->offset_s = v;
    else if (std::strcmp(name, "--min-delay-ms") == 0)
        o->min_delay_ms = v;
    else if (std::strcmp(name, "--command-wait-ms") == 0)
        o->command_wait_ms = v;
    else if (std::strcmp(name, "--telegrams") == 0)
        o->telegrams = n;
    else if (std::strcmp(name, "--hangup-after") == 0)
        o->hangup_after = n;
    else if (std::strcmp(name, "--linger-ms") == 0)
        o->linger_ms = v;
    else if (std::strcmp(name, "--uncertain") == 0)
        o->faults.uncertain = n;
    else if (std::strcmp(name, "--bad-checksum") == 0)
        o->faults.bad_checksum = n;
    else if (std::strcmp(name, "--bad-start") == 0)
        o->faults.bad_start = n;
    else if (std::strcmp(name, "--start-byte") == 0)
        o->faults.start_byte = n;
    else if (std::strcmp(name, "--bad-status") == 0)
        o->faults.bad_status = n;
    else if (std::strcmp(name, "--bad-fields") == 0)
        o->faults.bad_fields = n;
    else if (std::strcmp(name, "--short") == 0)
        o->faults.short_write = n;
    else if (std::strcmp(name, "--parity-error") == 0)
        o->faults.parity_error = n;
    else if (std::strcmp(name, "--break") == 0)
        o->faults.line_break = n;
    else if (std::strcmp(name, "--at-ms") == 0)
        o->at_ms = v;
    else if (std::strcmp(name, "--window-ms") == 0)
        o->window_ms = v;
    else if (std::strcmp(name, "--random-offset") == 0)
        o->random_offset_s = v;
    else if (std::strcmp(name, "--seed") == 0)
        o->seed = v;
    else if (std::strcmp(name, "--fault-every") == 0)
        o->fault_every = n;
    else if (std::strcmp(name, "--down-ms") == 0)
        o->down_ms = v;
}

static const NumberOption *find_number_option(const char *name)
{
    for (const NumberOption &opt : kNumberOptions) {
        if (std::strcmp(opt.name, name) == 0)
            return &opt;
    }
    return nullptr;
}

int parse_options(int argc, char **argv, Options *out, char *error, std::size_t error_size)
{
    *out = Options{};
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (std::strcmp(arg, "--help") == 0) {
            out->help = true;
        } else if (std::strcmp(arg, "--silent") == 0) {
            out->silent = true;
        } else if (std::strcmp(arg, "--no-align") == 0) {
            out->align = false;
        } else if (std::strcmp(arg, "--ff-byte") == 0) {
            out->faults.ff_byte = true;
        } else if (std::strcmp(arg, "--device") == 0 || std::strcmp(arg, "--log") == 0 ||
                   std::strcmp(arg, "--link") == 0) {
            if (!has_value || argv[i + 1][0] == '\0') {
                std::snprintf(error, error_size, "%s needs a path", arg);
                return -1;
            }
            if (arg[2] == 'd')
                out->device = argv[++i];
            else if (arg[3] == 'o')
                out->log_path = argv[++i];
            else
                out->link_path = argv[++i];
        } else if (const NumberOption *opt = find_number_option(arg)) {
            long long v = 0;
            if (!has_value || !parse_number(argv[i + 1], opt->base, opt->min, opt->max, &v)) {
                std::snprintf(error, error_size, "%s needs a number from %lld to %lld", arg, opt->min,
                              opt->max);
                return -1;
            }
            store_number(out, opt->name, v);
            ++i;
        } else {
            std::snprintf(error, error_size, "unknown option %s", arg);
            return -1;
        }
    }
    if ((out->at_ms != 0 || out->window_ms != 0) && !out->align) {
        std::snprintf(error, error_size,
                      "--at-ms and --window-ms need whole-second alignment (drop --no-align)");
        return -1;
    }
    if (out->at_ms + out->window_ms > 999) {
        std::snprintf(error, error_size,
                      "--window-ms must end within the second (--at-ms + --window-ms <= 999)");
        return -1;
    }
    return 0;
}

} // namespace horolan

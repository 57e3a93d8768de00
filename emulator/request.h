#ifndef TEMPUS_EMULATOR_REQUEST_H
#define TEMPUS_EMULATOR_REQUEST_H

// What the receiver makes of the bytes the host sends.
//
// A command byte (0x78 or 0x75) followed at once by an interval byte
// (0x40 | minutes) asks for a telegram now and then every that many minutes
// (0 minutes: just the one). A command byte that no interval byte follows
// within a short moment asks for one telegram. An interval byte without a
// command byte stops the periodic sending (0 minutes) or sets a new period
// whose first telegram comes one period later: that way a request whose two
// bytes arrive far apart still ends up sending periodically. Any other byte
// is ignored.

namespace horolan {

constexpr unsigned char COMMAND_TELEGRAM = 0x78;
constexpr unsigned char COMMAND_TELEGRAM_ALT = 0x75;
constexpr unsigned char INTERVAL_BASE = 0x40;

enum RequestAction {
    REQUEST_NONE,     // nothing to do (yet)
    REQUEST_ONCE,     // send one telegram
    REQUEST_PERIODIC, // send one telegram now, then every `minutes` (0: no repetition)
    REQUEST_PERIOD,   // no telegram now; send every `minutes` from now (0: stop)
};

struct RequestParser {
    bool command_pending = false;
};

// True for 0x40..0x7F, whose low six bits are a number of minutes.
bool is_interval_byte(unsigned char byte);

// Feeds one host byte; returns the action it completes and, for the two
// periodic actions, stores the minutes.
RequestAction request_feed(RequestParser *parser, unsigned char byte, int *minutes);

// The moment for an interval byte has passed: a pending command becomes
// REQUEST_ONCE; otherwise REQUEST_NONE.
RequestAction request_expire(RequestParser *parser);

} // namespace horolan

#endif

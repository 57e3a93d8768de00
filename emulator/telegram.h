#ifndef TEMPUS_EMULATOR_TELEGRAM_H
#define TEMPUS_EMULATOR_TELEGRAM_H

// The receiver's ten-byte time telegram, as the receiver builds it, and the
// faults it can be told to put into it.

namespace horolan {

constexpr int TELEGRAM_BYTES = 10;
constexpr int WIRE_MAX_BYTES = 16; // room for a telegram with a marked sequence in it

constexpr unsigned char TELEGRAM_START = 0xBB;
constexpr unsigned char TELEGRAM_START_BAD = 0xBC;
constexpr unsigned char STATUS_VALID = 0xC5;
constexpr unsigned char STATUS_UNCERTAIN = 0xD2;
constexpr unsigned char STATUS_BAD = 0x00;

// Local wall-clock fields as the telegram carries them: year is two digits,
// month 1..12, weekday 1 = Monday .. 7 = Sunday.
struct ClockFields {
    int hour;
    int minute;
    int second;
    int year;
    int month;
    int day;
    int weekday;
};

// Counts of leading telegrams that get each fault (0 = none), and faults that
// hold for every telegram.
struct FaultPlan {
    int uncertain = 0;    // status 0xD2
    int bad_checksum = 0; // checksum one off
    int bad_start = 0;    // start byte 0xBC
    int bad_status = 0;   // status 0x00
    int bad_fields = 0;   // impossible date and time, checksum still right
    int short_write = 0;  // status byte left out: only nine bytes go out
    int parity_error = 0; // start byte sent as the parity-error mark 0xFF 0x00 0xBB
    int line_break = 0;   // start byte replaced by the break mark 0xFF 0x00 0x00
    int start_byte = -1;  // start byte of every telegram; -1 = 0xBB
    bool ff_byte = false; // weekday byte 0xFF in every telegram, checksum still right
};

// The faults of one telegram; a default one has none.
struct TelegramFaults {
    bool uncertain = false;
    bool bad_checksum = false;
    bool bad_start = false;
    bool bad_status = false;
    bool bad_fields = false;
    bool short_write = false;
    bool parity_error = false;
    bool line_break = false;
    bool ff_byte = false;
    int start_byte = -1;
};

// Local wall-clock fields of the instant `unix_seconds` in the host's zone
// (TZ honoured). False when the C library cannot break the instant down.
bool clock_fields_at(long long unix_seconds, ClockFields *out);

// Low seven bits of the sum of bytes 1..7.
unsigned char telegram_sum(const unsigned char *telegram);

// The faults that telegram number `index` (0 = the first sent) carries.
TelegramFaults faults_for_telegram(const FaultPlan &plan, int index);

// Builds the bytes that go on the line for one telegram into `out` (room for
// WIRE_MAX_BYTES); returns how many. Without faults that is TELEGRAM_BYTES.
int encode_telegram(const ClockFields &fields, const TelegramFaults &faults, unsigned char *out);

} // namespace horolan

#endif

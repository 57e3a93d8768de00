#include "emulator/request.h"

namespace horolan {

bool is_interval_byte(unsigned char byte)
{
    return (byte & 0xC0) == INTERVAL_BASE;
}

static bool is_command_byte(unsigned char byte)
{
    return byte == COMMAND_TELEGRAM || byte == COMMAND_TELEGRAM_ALT;
}

RequestAction request_feed(RequestParser *parser, unsigned char byte, int *minutes)
{
    // The command bytes lie in the interval range themselves (0x78 is also the
    // interval byte for 56 minutes), so position decides: right after a command
    // they are its interval.
    if (parser->command_pending) {
        parser->command_pending = false;
        if (!is_interval_byte(byte))
            return REQUEST_ONCE;
        *minutes = byte & 0x3F;
        return REQUEST_PERIODIC;
    }
    if (is_command_byte(byte)) {
        parser->command_pending = true;
        return REQUEST_NONE;
    }
    if (!is_interval_byte(byte))
        return REQUEST_NONE;
    *minutes = byte & 0x3F;
    return REQUEST_PERIOD;
}

RequestAction request_expire(RequestParser *parser)
{
    if (!parser->command_pending)
        return REQUEST_NONE;
    parser->command_pending = false;
    return REQUEST_ONCE;
}

} // namespace horolan

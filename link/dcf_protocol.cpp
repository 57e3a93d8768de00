#include "link/dcf_protocol.h"

#include "link/rd_wr_rp.h"

void time_request_bytes(int minutes, unsigned char bytes[2])
{
    bytes[0] = DCF_REQUEST_BYTE;
    bytes[1] = static_cast<unsigned char>(DCF_INTERVAL_BASE | (minutes & 0x3F));
}

void time_request_to_DCF(int fd, int minutes)
{
    // A lost request shows only as a missing telegram later, so results are not looked at.
    unsigned char request[2];
    time_request_bytes(minutes, request);
    (void)flush_port(fd, FLUSH_OUTPUT);
    (void)write_char(fd, request[0]);
    (void)write_char(fd, request[1]);
}

int telegram_checksum(const unsigned char *buf)
{
    int sum = 0;
    for (int i = DCF_OFS_HOUR; i <= DCF_OFS_WEEKDAY; ++i)
        sum += buf[i];
    return sum % 128;
}

// The seven-bit checksum lets many corruptions through; a time of day that
// cannot exist must not reach the clock.
static bool time_fields_in_range(const unsigned char *buf)
{
    return buf[DCF_OFS_HOUR] <= 23 && buf[DCF_OFS_MINUTE] <= 59 && buf[DCF_OFS_SECOND] <= 60;
}

int validate_telegram(const unsigned char *buf)
{
    int status = buf[DCF_OFS_STATUS];
    if (buf[DCF_OFS_START] != DCF_START_BYTE ||
        (status != DCF_STATUS_VALID && status != DCF_STATUS_UNCERTAIN))
        return TELEGRAM_UNEXPECTED;
    if (buf[DCF_OFS_CHECKSUM] != telegram_checksum(buf))
        return TELEGRAM_BAD_CHECKSUM;
    if (!time_fields_in_range(buf))
        return TELEGRAM_UNEXPECTED;
    if (status == DCF_STATUS_UNCERTAIN)
        return TELEGRAM_UNCERTAIN;
    return TELEGRAM_VALID;
}

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

int telegram_full_year(int two_digit_year)
{
    if (two_digit_year < 0 || two_digit_year > 99)
        return -1;
    return two_digit_year < 70 ? 2000 + two_digit_year : 1900 + two_digit_year;
}

static int days_in_month(int year, int month)
{
    static constexpr int length[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return length[month - 1] + (month == 2 && leap ? 1 : 0);
}

bool wall_time_in_range(const dcf_wall_time *when)
{
    return when->month >= 1 && when->month <= 12 && when->day >= 1 &&
           when->day <= days_in_month(when->year, when->month) && when->hour >= 0 && when->hour <= 23 &&
           when->minute >= 0 && when->minute <= 59 && when->second >= 0 && when->second <= 60;
}

int telegram_wall_time(const unsigned char *buf, dcf_wall_time *out)
{
    const int year = telegram_full_year(buf[DCF_OFS_YEAR]);
    const dcf_wall_time when = {year,
                                buf[DCF_OFS_MONTH],
                                buf[DCF_OFS_DAY],
                                buf[DCF_OFS_HOUR],
                                buf[DCF_OFS_MINUTE],
                                buf[DCF_OFS_SECOND]};
    if (year < 0 || !wall_time_in_range(&when))
        return -1;
    *out = when;
    return 0;
}

int validate_telegram(const unsigned char *buf)
{
    int status = buf[DCF_OFS_STATUS];
    if (buf[DCF_OFS_START] != DCF_START_BYTE ||
        (status != DCF_STATUS_VALID && status != DCF_STATUS_UNCERTAIN))
        return TELEGRAM_UNEXPECTED;
    if (buf[DCF_OFS_CHECKSUM] != telegram_checksum(buf))
        return TELEGRAM_BAD_CHECKSUM;
    // The seven-bit checksum lets many corruptions through; a date or time
    // that cannot exist must not reach the clock.
    dcf_wall_time when = {};
    if (telegram_wall_time(buf, &when) != 0)
        return TELEGRAM_UNEXPECTED;
    if (status == DCF_STATUS_UNCERTAIN)
        return TELEGRAM_UNCERTAIN;
    return TELEGRAM_VALID;
}

#ifndef TEMPUS_TIMESVC_DCF_LOG_H
#define TEMPUS_TIMESVC_DCF_LOG_H

#include "calendar/rwtime.h"

// Log file, relative to the working directory.
#define DCF_LOG_FILE "dcf.log"

// Appends "[dd/mm/yyyy hh:mm:ss]:- text\n" to dcf.log, stamp rendered in the
// library's local zone; ends the process with exit code 2 if the log cannot be opened.
void write_to_log(const char *text, RWTime stamp);

#endif

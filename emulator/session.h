#ifndef TEMPUS_EMULATOR_SESSION_H
#define TEMPUS_EMULATOR_SESSION_H

#include <cstdio>

#include "emulator/line.h"
#include "emulator/options.h"

namespace horolan {

// From now on SIGTERM and SIGINT only ask serve_line to end; SIGPIPE is ignored.
void install_stop_handlers();

// Serves the line as the receiver until SIGTERM or SIGINT, the --telegrams
// limit, or a line failure; logs to `log` when it is not null. Returns the
// exit status: 0 after a stop or the limit, 1 after a line failure.
int serve_line(const Options &options, Line *line, std::FILE *log);

} // namespace horolan

#endif

// horolan-emu: plays the Horolan receiver on a serial line for tests and demos.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "emulator/line.h"
#include "emulator/options.h"
#include "emulator/session.h"

int main(int argc, char **argv)
{
    horolan::Options options;
    char error[160];
    if (horolan::parse_options(argc, argv, &options, error, sizeof error) != 0) {
        std::fprintf(stderr, "horolan-emu: %s\n%s", error, horolan::usage_text());
        return 2;
    }
    if (options.help) {
        std::fputs(horolan::usage_text(), stdout);
        return 0;
    }

    // Before the path goes out: a stop right after start must still end cleanly.
    horolan::install_stop_handlers();
    std::FILE *log = nullptr;
    if (options.log_path != nullptr) {
        log = std::fopen(options.log_path, "a");
        if (log == nullptr) {
            std::fprintf(stderr, "horolan-emu: cannot open log %s: %s\n", options.log_path,
                         std::strerror(errno));
            return 1;
        }
    }

    horolan::Line line;
    const int opened = options.device != nullptr ? horolan::open_device_line(options.device, &line)
                                                 : horolan::open_pty_line(&line);
    if (opened != 0) {
        std::fprintf(stderr, "horolan-emu: cannot open the line%s%s: %s\n",
                     options.device != nullptr ? " " : "", options.device != nullptr ? options.device : "",
                     std::strerror(errno));
        if (log != nullptr)
            std::fclose(log);
        return 1;
    }
    if (options.link_path != nullptr && horolan::point_link(options.link_path, line.path) != 0) {
        std::fprintf(stderr, "horolan-emu: cannot make the link %s: %s\n", options.link_path,
                     std::strerror(errno));
        horolan::close_line(&line);
        if (log != nullptr)
            std::fclose(log);
        return 1;
    }
    std::printf("%s\n", line.path);
    std::fflush(stdout);

    const int status = horolan::serve_line(options, &line, log);
    horolan::close_line(&line);
    if (options.link_path != nullptr)
        unlink(options.link_path);
    if (log != nullptr)
        std::fclose(log);
    return status;
}

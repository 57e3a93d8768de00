// Runs telegram validation over every ten-byte window of the input and checks
// that a telegram accepted for use really has the shape the clock relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "link/dcf_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly ten heap bytes, so that a read past the telegram is caught.
    std::unique_ptr<unsigned char[]> t(new unsigned char[DCF_TELEGRAM_SIZE]);
    for (size_t at = 0; at + DCF_TELEGRAM_SIZE <= size; ++at) {
        std::memcpy(t.get(), data + at, DCF_TELEGRAM_SIZE);
        int sum = telegram_checksum(t.get());
        if (sum < 0 || sum > 127)
            abort();
        int rc = validate_telegram(t.get());
        switch (rc) {
        case TELEGRAM_VALID:
        case TELEGRAM_UNCERTAIN:
            if (t[0] != DCF_START_BYTE || t[8] != sum || t[1] > 23 || t[2] > 59 || t[3] > 60)
                abort();
            if (t[9] != (rc == TELEGRAM_VALID ? DCF_STATUS_VALID : DCF_STATUS_UNCERTAIN))
                abort();
            break;
        case TELEGRAM_BAD_CHECKSUM:
            if (t[8] == sum)
                abort();
            break;
        case TELEGRAM_UNEXPECTED: break;
        default: abort();
        }
    }
    return 0;
}

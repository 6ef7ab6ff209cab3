#include "tests/expected_console.h"

std::string mainboard_progress(size_t chunks)
{
    std::string text;
    size_t sent = 0;
    for (long address = 5920; address >= 0 && chunks > 0; address -= 32, --chunks) {
        sent += address == 5920 ? 10 : 32;
        text += "\r  " + std::to_string(sent * 100 / 5930) + "%";
    }
    return text;
}

std::string control_progress(size_t first, size_t last)
{
    std::string text;
    for (size_t block = first; block <= last; ++block)
        text += "\r  " + std::to_string(block * 4 * 4800 / 61440) + "%";
    return text;
}

// SPDX-License-Identifier: MIT
#include "app/command_line.h"

#include <cstring>

#include "app/update_run.h"
#include "payload/firmware_payload.h"
#include "util/console.h"

program_request requested(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0)
            return program_request::version;
        if (std::strcmp(argv[i], "--help") == 0)
            return program_request::help;
    }
    return program_request::update;
}

static void print_version()
{
    constexpr const char* images = PLACEHOLDER_IMAGES
                                       ? "placeholder images, not a release - do not use this build on a device"
                                       : "the release's images";
    console_print("quennet-update %s\n", PROGRAM_VERSION);
    console_print("Carries Mainboard v%X.%02X and Control v%X.%02X: %s\n", TARGET_MAINBOARD_REVISION.major,
                  TARGET_MAINBOARD_REVISION.minor, TARGET_CONTROL_REVISION.major, TARGET_CONTROL_REVISION.minor,
                  images);
}

static void print_help()
{
    console_print(
        "Usage: quennet-update [--version | --help]\n"
        "\n"
        "Updates the software of a Calverra Quennet connected by USB with the\n"
        "Mainboard and Control programs this build carries (see --version).\n"
        "Switch the Quennet on, connect only one, run quennet-update, type y and\n"
        "press Enter to agree. Do not disconnect it until the program says it is done.\n"
        "\n"
        "It takes no other arguments; any other argument is ignored.\n"
        "\n"
        "Exit status: 0 after a completed update, 1 otherwise. After a failure,\n"
        "leave the Quennet switched on and connected and run quennet-update again.\n"
        "\n"
        "Manual: man quennet-update (on Windows: README.txt beside the program).\n");
}

int program_main(int argc, const char* const* argv)
{
    const program_request request = requested(argc, argv);
    if (request == program_request::update)
        return update_run();
    console_begin();
    if (request == program_request::version)
        print_version();
    else
        print_help();
    return EXIT_STATUS_COMPLETED;
}

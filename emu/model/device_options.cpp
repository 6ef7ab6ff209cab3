// SPDX-License-Identifier: MIT
#include "emu/model/device_options.h"

namespace {

// Codes above every character, so that no tool's own short option meets them.
enum : int {
    OPTION_MAINBOARD = 0x100,
    OPTION_CONTROL,
    OPTION_FAULT,
    OPTION_REALISTIC,
    OPTION_OTHER_INTERFACE,
};

}  // namespace

static const std::string OPTIONS_HELP = std::string(
    "  --mainboard V      Mainboard version the device runs (default 0.95; 0.90 asks for a power cycle)\n"
    "  --control V        Control version the device runs (default 0.98)\n"
    "  --fault F          a device fault, repeatable:\n"
    "                       ") + FAULT_KINDS + "\n                       " + FAULT_SELECTORS + "\n" +
    "  --realistic        answer with the timing of a real device on a full-speed bus\n"
    "  --other-interface  add the device's second, non-update HID interface\n";
const char* const DEVICE_OPTIONS_HELP = OPTIONS_HELP.c_str();

std::vector<option> device_long_options(const std::vector<option>& tool_options)
{
    std::vector<option> all = {
        {"mainboard", required_argument, nullptr, OPTION_MAINBOARD},
        {"control", required_argument, nullptr, OPTION_CONTROL},
        {"fault", required_argument, nullptr, OPTION_FAULT},
        {"realistic", no_argument, nullptr, OPTION_REALISTIC},
        {"other-interface", no_argument, nullptr, OPTION_OTHER_INTERFACE},
    };
    all.insert(all.end(), tool_options.begin(), tool_options.end());
    all.push_back(option{nullptr, 0, nullptr, 0});
    return all;
}

option_use take_device_option(int code, const char* value, device_options& options, std::string& error)
{
    switch (code) {
    case OPTION_MAINBOARD:
    case OPTION_CONTROL: {
        device_model& device = options.device;
        if (parse_version(value, code == OPTION_MAINBOARD ? device.mainboard_version : device.control_version))
            return option_use::taken;
        error = std::string(code == OPTION_MAINBOARD ? "--mainboard" : "--control") + " takes a version such as 0.95";
        return option_use::bad;
    }
    case OPTION_FAULT: {
        fault_rule rule;
        if (!parse_fault_rule(value, rule, error))
            return option_use::bad;
        options.device.faults.push_back(rule);
        return option_use::taken;
    }
    case OPTION_REALISTIC:
        options.realistic = true;
        return option_use::taken;
    case OPTION_OTHER_INTERFACE:
        options.other_interface = true;
        return option_use::taken;
    default:
        return option_use::not_shared;
    }
}

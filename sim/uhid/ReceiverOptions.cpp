#include "sim/uhid/ReceiverOptions.h"

#include "link/LinkProtocol.h"

#include <exception>

namespace {

bool ReadNumber(const std::string& text, unsigned long max, unsigned long* value) {
    try {
        std::size_t used = 0;
        const unsigned long number = std::stoul(text, &used, 0);
        if (used != text.size() || number > max || text[0] == '-') {
            return false;
        }
        *value = number;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// One behaviour option and its value (empty for a flag); false when it is not one.
bool ReadBehaviour(const std::string& name, const std::string& value, Behaviour* b, bool* ok) {
    unsigned long n = 0;
    if (name == "--absent") {
        b->Absent = true;
    } else if (name == "--ack-finish") {
        b->Firmware.EndWithAck = true;
    } else if (name == "--mode") {
        *ok = ReadNumber(value, 2, &n) && n >= 1;
        b->Mode = static_cast<int>(n);
    } else if (name == "--version") {
        *ok = ReadNumber(value, 0xFFFFFFFFul, &n);
        b->Firmware.Version = static_cast<std::uint32_t>(n);
    } else if (name == "--fail-at") {
        const std::size_t colon = value.find(':');
        unsigned long code = 0x15;
        *ok = ReadNumber(value.substr(0, colon), 1u << 30, &n) && n >= 1 &&
              (colon == std::string::npos || ReadNumber(value.substr(colon + 1), 0xFF, &code));
        b->Firmware.FailAtRequest = static_cast<int>(n);
        b->Firmware.FailureSubCode = static_cast<std::uint8_t>(code);
    } else if (name == "--unplug-at") {
        *ok = ReadNumber(value, 1u << 30, &n) && n >= 1;
        b->Firmware.UnplugAfterBlocks = static_cast<int>(n);
    } else if (name == "--stream") {
        *ok = ReadNumber(value, 0xFFFFFFFFul, &n);
        b->Stream = true;
        b->StreamVersion = static_cast<std::uint32_t>(n);
    } else if (name == "--other-interface") {
        *ok = ReadNumber(value, 255, &n) && n >= 2 && n != REPORT_LENGTH_MODE1;
        b->OtherInterfaceLength = static_cast<int>(n);
    } else if (name == "--reboot-ms") {
        *ok = ReadNumber(value, 60000, &n);
        b->RebootMs = static_cast<int>(n);
    } else {
        return false;
    }
    return true;
}

} // namespace

bool ParseReceiverOptions(const std::vector<std::string>& args, bool behaviourOnly,
                          ReceiverOptions* o, std::string* error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        const bool flag = name == "--absent" || name == "--ack-finish";
        if (!flag && i + 1 >= args.size()) {
            *error = name + " needs a value";
            return false;
        }
        const std::string value = flag ? std::string() : args[++i];
        unsigned long n = 0;
        bool ok = true;
        const bool setup = name == "--vendor" || name == "--product" || name == "--received" ||
                           name == "--control";
        if (setup && !behaviourOnly) {
            if (name == "--vendor" || name == "--product") {
                ok = ReadNumber(value, 0xFFFE, &n);
                (name == "--vendor" ? o->Vendor : o->Product) = static_cast<std::uint16_t>(n);
            } else {
                (name == "--received" ? o->Received : o->Control) = value;
            }
        } else if (!ReadBehaviour(name, value, &o->Start, &ok)) {
            *error = "not an option here: " + name;
            return false;
        }
        if (!ok) {
            *error = name + ": bad value \"" + value + "\"";
            return false;
        }
    }
    return true;
}

// korvalis bundle: the exact bytes Upload would send for the same slot actions.
#include "Command.h"
#include "SlotOptions.h"

namespace korvalis::cli {

namespace {

int RunBundle(std::span<const std::string> args) {
    TSlotOptions options;
    std::string message;
    if (!ParseSlotOptions(args, options, message))
        return UsageError("bundle", message);
    TSlotPictures slots;
    if (const int rc = FillSlots(options, slots))
        return rc;
    return WriteOutputFile(options.Output, BundleOf(slots)) ? 0 : 1;
}

const TCommandRegistration kBundle{{
    "bundle",
    "bundle " + SlotUsage() + " " + PictureOptionsUsage() + " -o OUT.bin",
    "write the 464,896-byte bundle Upload would send; slots start as at start-up",
    RunBundle,
    PictureOptionsHelp(),
}};

} // namespace

} // namespace korvalis::cli

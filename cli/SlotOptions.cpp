#include "SlotOptions.h"

#include "Command.h"
#include "bundle/ResourceBundle.h"

#include <exception>

namespace korvalis::cli {

namespace {

std::string OptionOf(const TSlotInfo& slot) {
    return "--" + slot.Keyword();
}

// The slot an option names, or -1.
int SlotOfOption(const std::string& name) {
    for (size_t s = 0; s < kSlotCount; ++s)
        if (name == OptionOf(kSlots[s]))
            return int(s);
    return -1;
}

} // namespace

std::string SlotUsage() {
    std::string usage;
    for (const TSlotInfo& slot : kSlots)
        usage += (usage.empty() ? "[" : " [") + OptionOf(slot) + " FILE|" +
                 std::string(slot.ResetWord()) + "]";
    return usage;
}

bool ParseSlotOptions(std::span<const std::string> args, TSlotOptions& options,
                      std::string& message, bool requireOutput) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        const bool inlineValue = name.rfind("--", 0) == 0 && name.find('=') != std::string::npos;
        if (inlineValue) {
            value = name.substr(name.find('=') + 1);
            name = name.substr(0, name.find('='));
        } else if (name == "-o" || name == "--output" || SlotOfOption(name) >= 0) {
            if (i + 1 >= args.size()) {
                message = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (name == "-o" || name == "--output") {
            if (!requireOutput) {
                message = "unknown option '" + name + "'";
                return false;
            }
            if (!options.Output.empty()) {
                message = "only one output file, please";
                return false;
            }
            options.Output = value;
            continue;
        }
        const int slot = SlotOfOption(name);
        if (slot < 0) {
            message = "unknown option '" + args[i] + "'";
            return false;
        }
        if (value.empty()) {
            message = "option " + name + " needs a value";
            return false;
        }
        const TSlotInfo& info = kSlots[size_t(slot)];
        std::string& source = options.Sources[size_t(slot)];
        if (!source.empty()) {
            message = "option " + name + " given twice";
            return false;
        }
        // Each slot has the buttons it has in the window: Default for a slot with
        // a built-in picture, Clear for the others. A file of such a name can be
        // given as ./default.
        if ((value == "default" || value == "clear") && value != info.ResetWord()) {
            message = name + " cannot be '" + value + "'";
            return false;
        }
        source = value;
    }
    if (requireOutput && options.Output.empty()) {
        message = "no output file (-o OUT)";
        return false;
    }
    return true;
}

void PrintLoadError(const std::string& fileName, const std::string& message) {
    std::string line;
    // Some reader messages carry a line break; the report stays on one line.
    for (const char c : fileName + ": " + kErrorLoadingImage + ": " + message) {
        if (c != '\r' && c != '\n')
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    PrintError(line);
}

namespace {

// What the slot's left button does: Default or Clear.
void Reset(const TSlotInfo& slot, TRasterPictureControl& picture) {
    if (slot.HasBuiltIn())
        DefaultPicture(picture, slot.BuiltIn);
    else
        ClearImage(picture);
}

} // namespace

int FillSlots(const TSlotOptions& options, TSlotPictures& slots) {
    for (size_t s = 0; s < kSlotCount; ++s)
        Reset(kSlots[s], slots[s]);
    for (size_t s = 0; s < kSlotCount; ++s) {
        const std::string& source = options.Sources[s];
        if (source.empty())
            continue;
        if (source == kSlots[s].ResetWord()) {
            Reset(kSlots[s], slots[s]);
        } else {
            try {
                LoadImageFile(slots[s], source);
            } catch (const std::exception& e) {
                PrintLoadError(source, e.what());
                return 1;
            }
        }
    }
    return 0;
}

std::vector<uint8_t> BundleOf(TSlotPictures& slots) {
    TResourceBundle bundle;
    bundle.Initialise();
    for (size_t s = 0; s < kSlotCount; ++s)
        bundle.Image2Bin(slots[s].Picture(), kSlots[s].Offset);
    const auto data = bundle.Data();
    return {data.begin(), data.end()};
}

} // namespace korvalis::cli

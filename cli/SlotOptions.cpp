#include "SlotOptions.h"

#include "Command.h"
#include "bundle/ResourceBundle.h"

#include <exception>
#include <optional>

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

// A picture option: for all slots (--fit) or for one (--logo-fit).
struct TChoiceInfo {
    const char* Word;
    const char* Value; // nullptr for a flag
    const char* Help;
};
constexpr TChoiceInfo kChoices[] = {
    {"rotate", "0|90|180|270", "turn the picture clockwise, after turning a JPEG upright"},
    {"fit", "MODE",
     "device (default): pictures that fit stay as they are; landscape ones\n"
     "      shrink to 240 wide, portrait and square ones to 320 high, cropped at\n"
     "      the sides when wider than 240; contain: the whole picture, never\n"
     "      cropped; cover: the slot filled, the overflow cropped equally;\n"
     "      stretch: exactly 240 x 320"},
    {"filter", "nearest|smooth",
     "how contain, cover and stretch scale: the nearest pixel (default) or\n"
     "      the mean of the area each pixel covers; device always takes the nearest"},
    {"background", "'#RRGGBB'",
     "the colour behind transparency and around a picture that does not fill\n"
     "      the slot (default #000000)"},
    {"dither", nullptr, "Floyd-Steinberg dithering to the device's RGB565 colours"},
    {"no-auto-orient", nullptr, "keep a JPEG as stored, whatever its EXIF orientation says"},
    {"enlarge", nullptr, "contain: a picture smaller than the slot grows to its edges"},
};
constexpr size_t kChoiceCount = std::size(kChoices);

// What the command line chose for all slots or for one; unset parts fall back.
struct TChosen {
    std::optional<int> Rotation;
    std::optional<TFitMode> Fit;
    std::optional<TScaleFilter> Filter;
    std::optional<TColor> Background;
    std::optional<bool> Dither, NoAutoOrient, Enlarge;
};

// The option a name gives: the choice and its slot (kSlotCount for all slots).
struct TChoiceOption {
    size_t Choice = kChoiceCount;
    size_t Slot = kSlotCount;
};
std::optional<TChoiceOption> ChoiceOf(const std::string& name) {
    for (size_t c = 0; c < kChoiceCount; ++c) {
        if (name == std::string("--") + kChoices[c].Word)
            return TChoiceOption{c, kSlotCount};
        for (size_t s = 0; s < kSlotCount; ++s)
            if (name == OptionOf(kSlots[s]) + "-" + kChoices[c].Word)
                return TChoiceOption{c, s};
    }
    return std::nullopt;
}

template <typename T> std::string OneOf(std::span<const T> items, std::string_view (*name)(T)) {
    std::string text;
    for (const T item : items)
        text += (text.empty() ? "" : ", ") + std::string(name(item));
    return text;
}

// Sets the choice from value; answers false with a message for a bad value or a
// second setting.
bool Choose(TChosen& chosen, size_t choice, const std::string& name, const std::string& value,
            std::string& message) {
    const auto set = [&](auto& field, auto parsed, const std::string& expected) {
        if (field) {
            message = "option " + name + " given twice";
            return false;
        }
        if (!parsed) {
            message = "option " + name + ": '" + value + "' is not " + expected;
            return false;
        }
        field = *parsed;
        return true;
    };
    switch (choice) {
    case 0:
        return set(chosen.Rotation, ParseRotation(value), "one of 0, 90, 180, 270");
    case 1:
        return set(chosen.Fit, ParseFitMode(value), "one of " + OneOf(FitModes(), FitModeName));
    case 2:
        return set(chosen.Filter, ParseScaleFilter(value),
                   "one of " + OneOf(ScaleFilters(), ScaleFilterName));
    case 3:
        return set(chosen.Background, ParseColour(value), "a colour written #RRGGBB");
    case 4:
        return set(chosen.Dither, std::optional(true), "");
    case 5:
        return set(chosen.NoAutoOrient, std::optional(true), "");
    default:
        return set(chosen.Enlarge, std::optional(true), "");
    }
}

TPictureOptions Merged(const TChosen& slot, const TChosen& all) {
    TPictureOptions options;
    options.Rotation = slot.Rotation.value_or(all.Rotation.value_or(options.Rotation));
    options.Fit = slot.Fit.value_or(all.Fit.value_or(options.Fit));
    options.Filter = slot.Filter.value_or(all.Filter.value_or(options.Filter));
    options.Background = slot.Background.value_or(all.Background.value_or(options.Background));
    options.Dither = slot.Dither.value_or(all.Dither.value_or(false));
    options.AutoOrient = !slot.NoAutoOrient.value_or(all.NoAutoOrient.value_or(false));
    options.Enlarge = slot.Enlarge.value_or(all.Enlarge.value_or(false));
    return options;
}

} // namespace

std::string PictureOptionsUsage() {
    std::string usage;
    for (const TChoiceInfo& c : kChoices)
        usage += std::string(usage.empty() ? "[--" : " [--") + c.Word +
                 (c.Value ? std::string(" ") + c.Value : "") + "]";
    return usage + " [--SLOT-OPTION ...]";
}

std::string PictureOptionsHelp() {
    std::string slots;
    for (const TSlotInfo& slot : kSlots)
        slots += (slots.empty() ? "" : ", ") + slot.Keyword();
    std::string help = "\nPicture options, for every slot's picture file (--fit cover) or for one\n"
                       "slot's (--" +
                       kSlots[1].Keyword() + "-fit cover; SLOT is " + slots +
                       "); a slot's own option wins:\n";
    for (const TChoiceInfo& c : kChoices)
        help += std::string("  --") + c.Word + (c.Value ? std::string(" ") + c.Value : "") +
                "\n      " + c.Help + "\n";
    return help;
}

std::string SlotUsage() {
    std::string usage;
    for (const TSlotInfo& slot : kSlots)
        usage += (usage.empty() ? "[" : " [") + OptionOf(slot) + " FILE|" +
                 std::string(slot.ResetWord()) + "]";
    return usage;
}

bool ParseSlotOptions(std::span<const std::string> args, TSlotOptions& options,
                      std::string& message, bool requireOutput) {
    std::array<TChosen, kSlotCount + 1> chosen{};
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        const bool inlineValue = name.rfind("--", 0) == 0 && name.find('=') != std::string::npos;
        if (inlineValue) {
            value = name.substr(name.find('=') + 1);
            name = name.substr(0, name.find('='));
        }
        const std::optional<TChoiceOption> choice = ChoiceOf(name);
        const bool takesValue = name == "-o" || name == "--output" || SlotOfOption(name) >= 0 ||
                                (choice && kChoices[choice->Choice].Value);
        if (choice && !kChoices[choice->Choice].Value && inlineValue) {
            message = "option " + name + " takes no value";
            return false;
        }
        if (takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                message = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (choice) {
            if (!Choose(chosen[choice->Slot], choice->Choice, name, value, message))
                return false;
            continue;
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
    for (size_t s = 0; s < kSlotCount; ++s)
        options.Pictures[s] = Merged(chosen[s], chosen[kSlotCount]);
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
                LoadImageFile(slots[s], source, options.Pictures[s]);
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

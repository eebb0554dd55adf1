#include "SlotOptions.h"

#include "Command.h"
#include "bundle/ResourceBundle.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

namespace korvalis::cli {

namespace {

const char* const kSlotNames[3] = {"--splash", "--logo", "--screensaver"};

} // namespace

bool ParseSlotOptions(std::span<const std::string> args, TSlotOptions& options,
                      std::string& message, bool requireOutput) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        const bool inlineValue = name.rfind("--", 0) == 0 && name.find('=') != std::string::npos;
        if (inlineValue) {
            value = name.substr(name.find('=') + 1);
            name = name.substr(0, name.find('='));
        } else if (name == "-o" || name == "--output" || name == "--splash" || name == "--logo" ||
                   name == "--screensaver") {
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
        int slot = -1;
        for (int s = 0; s < 3; ++s)
            if (name == kSlotNames[s])
                slot = s;
        if (slot < 0) {
            message = "unknown option '" + args[i] + "'";
            return false;
        }
        if (value.empty()) {
            message = "option " + name + " needs a value";
            return false;
        }
        if (!options.Sources[slot].empty()) {
            message = "option " + name + " given twice";
            return false;
        }
        // Each slot has the buttons it has in the window: Default for the Splash,
        // Clear for the others. A file of such a name can be given as ./default.
        if ((slot == 0 && value == "clear") || (slot != 0 && value == "default")) {
            message = std::string(kSlotNames[slot]) + " cannot be '" + value + "'";
            return false;
        }
        options.Sources[slot] = value;
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

int FillSlots(const TSlotOptions& options, TRasterPictureControl (&slots)[3]) {
    DefaultPicture(slots[0]);
    ClearImage(slots[1]);
    ClearImage(slots[2]);
    for (int s = 0; s < 3; ++s) {
        const std::string& source = options.Sources[s];
        if (source.empty())
            continue;
        if (source == "default") {
            DefaultPicture(slots[s]);
        } else if (source == "clear") {
            ClearImage(slots[s]);
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

std::vector<uint8_t> BundleOf(TRasterPictureControl (&slots)[3]) {
    TResourceBundle bundle;
    bundle.Initialise();
    bundle.Image2Bin(slots[0].Picture(), TResourceBundle::kSplashOffset);
    bundle.Image2Bin(slots[1].Picture(), TResourceBundle::kLogoOffset);
    bundle.Image2Bin(slots[2].Picture(), TResourceBundle::kScreensaverOffset);
    const auto data = bundle.Data();
    return {data.begin(), data.end()};
}

bool WriteOutputFile(const std::string& fileName, std::span<const uint8_t> bytes) {
    return WriteOutputFile(fileName, [bytes](const TByteSink& sink) { sink(bytes); });
}

bool WriteOutputFile(const std::string& fileName,
                     const std::function<void(const TByteSink&)>& produce) {
    const std::string temporary = fileName + ".korvalis-partial";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) {
        PrintError(fileName + ": " + std::strerror(errno));
        return false;
    }
    bool written = true;
    int savedErrno = 0;
    produce([&](std::span<const uint8_t> bytes) {
        if (written && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
            written = false;
            savedErrno = errno;
        }
        return written;
    });
    if (std::fclose(f) != 0 || !written) {
        std::remove(temporary.c_str());
        PrintError(fileName + ": " + std::strerror(written ? errno : savedErrno));
        return false;
    }
    if (std::rename(temporary.c_str(), fileName.c_str()) != 0) {
        const int renameErrno = errno;
        std::remove(temporary.c_str());
        PrintError(fileName + ": " + std::strerror(renameErrno));
        return false;
    }
    return true;
}

} // namespace korvalis::cli

#pragma once

// The picture slots of the device, in bundle order. Everything that knows
// "how many slots" or "which slot is which" reads this table: the bundle's
// directory and offsets, the window's groups and buttons, the command-line
// options and the emulator's pictures. A new slot is a new row (and room for
// it in the bundle, which the bundle checks at compile time).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvalis {

struct TSlotInfo {
    // As the user reads it: the group caption, the device screen's label; in
    // lower case, the command-line option (--splash) and the emulator's file.
    const char* Name;
    // The raw-data resource of the slot's built-in picture. A slot with one has
    // a Default button and starts with the picture; one without (nullptr) has a
    // Clear button and starts black.
    const char* BuiltIn;
    // Where the slot's RGB565 picture starts in the bundle.
    uint32_t Offset;
    // The window's components of the slot, by their names in the layout.
    const char* Picture;
    const char* ResetButton;
    const char* OpenButton;

    constexpr bool HasBuiltIn() const { return BuiltIn != nullptr; }
    // The name in lower case: "splash" for --splash and splash.png.
    std::string Keyword() const {
        std::string word(Name);
        for (char& c : word)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        return word;
    }
    // The word for the left button on the command line: "default" or "clear".
    constexpr std::string_view ResetWord() const { return HasBuiltIn() ? "default" : "clear"; }
};

inline constexpr std::array kSlots{
    TSlotInfo{"Splash", "Splash", 0x1000, "img1", "btn1Def", "btn1Open"},
    TSlotInfo{"Logo", nullptr, 0x26800, "img2", "btn2Clr", "btn2Open"},
    TSlotInfo{"Screensaver", nullptr, 0x4C000, "img3", "btn3Clr", "btn3Open"},
};
inline constexpr size_t kSlotCount = kSlots.size();

} // namespace korvalis

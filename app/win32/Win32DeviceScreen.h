#pragma once

#include "bundle/Slots.h"
#include "graphics/Raster.h"

#include "Win32Api.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace korvalis {

// The demo's "device screen": the slots' pictures the emulated device
// received, decoded back from RGB565, side by side at half size.
class TWin32DeviceScreen {
  public:
    TWin32DeviceScreen();
    ~TWin32DeviceScreen();
    TWin32DeviceScreen(const TWin32DeviceScreen&) = delete;
    TWin32DeviceScreen& operator=(const TWin32DeviceScreen&) = delete;

    // Shows the window beside the main window, to its right when the screen
    // has room, else to its left, else below it.
    void ShowBeside(HWND main);
    // Shows what a bundle holds; an incomplete bundle shows what has arrived.
    void ShowBundle(std::span<const uint8_t> bundle, const std::wstring& caption);
    const TRaster& Picture(int index) const { return FPictures[size_t(index)]; }
    const std::wstring& Caption() const { return FCaption; }
    HWND Handle() const { return FHandle; }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc) const;

    HWND FHandle = nullptr;
    std::array<TRaster, kSlotCount> FPictures;
    std::wstring FCaption = L"Nothing received yet";
};

} // namespace korvalis

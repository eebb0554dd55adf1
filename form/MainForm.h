#pragma once

// The uploader's main window as behaviour only: what it does when it is
// created and shown, on each button, on the timer and on every key-down,
// with its device controller, connection, slots and bundle. It reaches the
// window a toolkit built from MainFormLayout() only through toolkit/.

#include "bundle/ResourceBundle.h"
#include "hid/HidControllerClass.h"
#include "imaging/ImageSlots.h"
#include "protocol/Connection.h"
#include "protocol/DevConBinding.h"
#include "toolkit/Components.h"
#include "ui/AltBugFixes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvalis {

class TfrmMain {
  public:
    // The window must outlive the form. Wires every component and runs
    // FormCreate; the device controller starts its first pass from the GUI loop.
    explicit TfrmMain(IFormComponents& window);
    ~TfrmMain();
    TfrmMain(const TfrmMain&) = delete;
    TfrmMain& operator=(const TfrmMain&) = delete;

    // What the toolkit passes on from the window.
    // Every time the window is shown; FormShow runs on the first.
    void WindowShown();
    // Every key-down, before the window acts on it; the key is never consumed.
    void WindowKeyDown(uint16_t key);
    // A private message posted to the window; answers whether the form took it.
    bool WindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);

    // A slot's components, found by the names kSlots gives them.
    struct TSlotComponents {
        const TSlotInfo& Info;
        IPictureControl& Picture;
        // Default for a slot with a built-in picture, else Clear.
        IPushButton& Reset;
        IPushButton& Open;
    };

    // Components, by their names in the layout; the slots' in kSlots order.
    const std::vector<TSlotComponents> Slots;
    IPushButton& btnUpload;
    IStatusPanel& stBar;
    IProgressBar& pb1;
    IOneShotTimer& tmrDataflash;
    THidDeviceController* DevCon = nullptr;

    TResourceBundle& Bundle() { return FBundle; }
    IOpenDialog& OpenDialog() { return *FOpenDialog; }
    // Tests put a scripted dialog in place of the window's; nullptr restores it.
    void SetOpenDialog(IOpenDialog* dialog) { FOpenDialog = dialog ? dialog : &FDlgOpen; }
    TConnection& Connection() { return *FConnection; }
    TDevConBinding& DevConBinding() { return *FDevConBinding; }
    TAltBugFix& AltBugFix() { return *FAltBugFix; }
    // How each slot makes its picture from a loaded file, in kSlots order.
    const TPictureOptions& SlotOptions(size_t slot) const { return FSlotStates.at(slot).Options; }
    // Every slot shows its picture in the device's RGB565 colours.
    bool DeviceColoursShown() const { return FDeviceColours; }

  private:
    void FormCreate();
    void FormShow();
    void FormShortCut(uint16_t key, bool& handled);

    // Default puts the built-in picture back, Clear makes the slot black.
    void SlotResetClick(const TSlotComponents& slot);
    void SlotOpenClick(const TSlotComponents& slot);
    // Open... after the dialog, and a file dropped onto the slot's picture.
    void LoadSlotFile(const TSlotComponents& slot, const std::string& fileName);
    void AddWindowExtras();
    // The picture's menu: the slot's options and the window's colour view.
    std::vector<TMenuItem> SlotMenu(const TSlotComponents& slot);
    void SetSlotOptions(const TSlotComponents& slot, const TPictureOptions& options);
    void SetDeviceColours(bool shown);
    // Makes the slot's picture again: its file with its options, else what
    // Default or Clear left.
    void RedrawSlot(const TSlotComponents& slot);
    // The device's colours over what the slot shows, when they are asked for.
    void ShowDeviceColours(const TSlotComponents& slot);
    void ShowLoadFailure(const TLoadOutcome& outcome);

    struct TSlotState {
        TPictureOptions Options;
        TSlotSource Source;
    };
    TSlotState& State(const TSlotComponents& slot) {
        return FSlotStates[size_t(&slot.Info - kSlots.data())];
    }
    void btnUploadClick();
    void tmrDataflashTimer();

    IFormComponents& FWindow;
    IOpenDialog& FDlgOpen;
    IOpenDialog* FOpenDialog;
    TResourceBundle FBundle;
    std::unique_ptr<TConnection> FConnection;
    // DevCon's handlers (DevConEnumerate, DevConDeviceChange, DevConDeviceCreateError,
    // DevConDeviceData) live in the binding.
    std::unique_ptr<TDevConBinding> FDevConBinding;
    std::unique_ptr<TAltBugFix> FAltBugFix;
    bool FShown = false;
    std::vector<TSlotState> FSlotStates{kSlotCount};
    bool FDeviceColours = false;
};

} // namespace korvalis

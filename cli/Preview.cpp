// korvalis preview: the slots side by side as the device will show them.
#include "Command.h"
#include "SlotOptions.h"

#include "bundle/ResourceBundle.h"
#include "imaging/PngWriter.h"

namespace korvalis::cli {

namespace {

constexpr int kGap = 8;
constexpr TColor kGapColour{64, 64, 64};

int RunPreview(std::span<const std::string> args) {
    TSlotOptions options;
    std::string message;
    if (!ParseSlotOptions(args, options, message))
        return UsageError("preview", message);
    TSlotPictures slots;
    if (const int rc = FillSlots(options, slots))
        return rc;
    // Through the bundle and back, so the preview shows RGB565 as the device does.
    const std::vector<uint8_t> bundle = BundleOf(slots);
    constexpr int kCount = int(kSlotCount);
    TRaster sheet(kCount * kSlotWidth + (kCount - 1) * kGap, kSlotHeight);
    sheet.SetFillColor(kGapColour);
    sheet.FillRect(0, 0, sheet.Width(), sheet.Height());
    for (int i = 0; i < kCount; ++i)
        sheet.Draw(i * (kSlotWidth + kGap), 0, BundlePicture(bundle, i));
    return WriteOutputFile(options.Output, EncodePngRgb(sheet)) ? 0 : 1;
}

const TCommandRegistration kPreview{{
    "preview",
    "preview " + SlotUsage() + " " + PictureOptionsUsage() + " -o OUT.png",
    "write the three slots side by side as the device will show them, as PNG",
    RunPreview,
    PictureOptionsHelp(),
}};

} // namespace

} // namespace korvalis::cli

// Any bytes as a PNG slot load: the reader with its key mask, the drawing rules
// over black, and fit and centre onto a slot.
#include "decoders/PngPicture.h"
#include "imaging/ImageSlots.h"
#include "imaging/PngDrawing.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korvalis;
    const std::span<const uint8_t> bytes(data, size);
    // Huge pictures only cost time; their sizes are checked before allocation.
    if (size >= 24 && data[12] == 'I' && data[13] == 'H' && data[14] == 'D' && data[15] == 'R') {
        const uint64_t width = uint64_t{data[16]} << 24 | data[17] << 16 | data[18] << 8 | data[19];
        const uint64_t height =
            uint64_t{data[20]} << 24 | data[21] << 16 | data[22] << 8 | data[23];
        if (width * height > (uint64_t{1} << 22))
            return 0;
    }
    TBytesStream stream(bytes);
    TPngPicture png;
    try {
        png.ReadFromStream(stream);
    } catch (const Exception&) {
        return 0; // a slot load stops here, before the slot is touched
    }
    TRasterPictureControl slot;
    try {
        PlaceOnSlot(slot, ComposePng(png));
    } catch (const Exception&) {
        return 0;
    }
    if (slot.Picture().Width() != kSlotWidth || slot.Picture().Height() != kSlotHeight)
        std::abort();
    return 0;
}

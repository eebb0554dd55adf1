// Crafted files cost bounded memory and work: each is loaded the way a slot
// loads a picture, with the heap watched through the sanitizer's allocation
// hooks (in sanitized builds) and the load's own budget.
#include "graphics/LoadBudget.h"
#include "CraftedPictures.h"
#include "TestPictures.h"
#include "decoders/JpegPicture.h"
#include "graphics/Exceptions.h"
#include "imaging/ImageSlots.h"
#include "imaging/PictureFile.h"
#include "imaging/PngWriter.h"

#include <gtest/gtest.h>
#include <jerror.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

extern "C" {
// Provided by the sanitizer runtimes; null in other builds.
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                              void (*)(const volatile void*)) __attribute__((weak));
size_t __sanitizer_get_allocated_size(const volatile void*) __attribute__((weak));
}

namespace korvalis::testing {
namespace {

// The heap while a load runs: what it holds at most, and what it asks for in
// all (work done copying shows up there).
struct THeapWatch {
    static inline bool Active = false;
    static inline int64_t Current = 0, Peak = 0;
    static inline uint64_t Requested = 0;

    static void OnMalloc(const volatile void*, size_t size) {
        if (!Active)
            return;
        Current += static_cast<int64_t>(size);
        Requested += size;
        Peak = std::max(Peak, Current);
    }
    static void OnFree(const volatile void* p) {
        if (Active && p)
            Current -= static_cast<int64_t>(__sanitizer_get_allocated_size(p));
    }
    static bool Available() {
        static const bool installed = __sanitizer_install_malloc_and_free_hooks &&
                                      __sanitizer_get_allocated_size &&
                                      __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
        return installed;
    }
    static void Start() {
        Current = Peak = 0;
        Requested = 0;
        Active = Available();
    }
    static void Stop() { Active = false; }
};

constexpr uint64_t kMiB = uint64_t{1} << 20;

enum class TOutcome { Loads, OutOfResources, TooManyScans };

struct TCraftedRow {
    const char* Name;
    std::function<std::vector<uint8_t>()> Make;
    TOutcome Outcome;
    uint64_t MaxPeak;      // bytes the load may hold at once
    uint64_t MaxRequested; // bytes it may ask for in all; 0: not checked
};

TEST(LoadBudget, CraftedFilesStayWithinTheirBounds) {
    const uint64_t r4000 = 4000 * 4000 * 3; // 24-bit rasters
    const uint64_t r5000 = 5000 * 5000 * 3;
    const TCraftedRow rows[] = {
        // Texts are capped for the picture, not per chunk: 20 bombs of 8 MiB each
        // keep one text.
        {"texts.png", [] { return PngWithTexts(20, size_t{8} << 20); }, TOutcome::Loads, 20 * kMiB,
         0},
        // Texts just past the cap are dropped, but inflating them uses the room.
        {"texts over.png", [] { return PngWithTexts(20, (size_t{8} << 20) + 1); }, TOutcome::Loads,
         20 * kMiB, 40 * kMiB},
        // 1.2 MB of empty chunks: growing the list must not copy it again and again.
        {"chunks.png", [] { return PngWithEmptyChunks(100000); }, TOutcome::Loads, 24 * kMiB,
         40 * kMiB},
        {"500 scans.jpg", [] { return JpegRepeatingScan(64, 64, 500); }, TOutcome::Loads, 2 * kMiB,
         0},
        {"501 scans.jpg", [] { return JpegRepeatingScan(64, 64, 501); }, TOutcome::TooManyScans,
         2 * kMiB, 0},
        // No pixel rows at all, then one row: no buffer as wide as the picture.
        {"wide32 empty.bmp", [] { return BmpDeclaring(1000000, 1, 32, 0, 0, 0); }, TOutcome::Loads,
         3000000 + kMiB / 4, 0},
        {"wide32.bmp", [] { return BmpDeclaring(1000000, 1, 32, 0, 0, 4000000); }, TOutcome::Loads,
         3000000 + kMiB / 4, 0},
        // 24-bit rasters just above 1 GiB fail before anything is made for them.
        {"rle8 wide.bmp", [] { return BmpDeclaring(357913942, 1, 8, 1, 256, 16); },
         TOutcome::OutOfResources, kMiB, 0},
        {"rle8 30000.bmp", [] { return BmpDeclaring(30000, 30000, 8, 1, 256, 16); },
         TOutcome::OutOfResources, kMiB, 0},
        {"grey 18919.png", [] { return PngOfZeros(18919, 18919, 0, 1); }, TOutcome::OutOfResources,
         3 * kMiB, 0},
        // Pictures of more than the allowance load: raster, alpha plane and
        // working raster; libjpeg's coefficients (as many bytes as the raster at
        // 4:2:0) beside the raster; a BMP without its rows.
        {"rgba.png", [] { return PngOfZeros(4000, 4000, 6); }, TOutcome::Loads,
         r4000 * 7 / 3 + kMiB, 0},
        {"progressive.jpg", [] { return JpegDeclaring(5000, 5000); }, TOutcome::Loads,
         2 * r5000 + kMiB, 0},
        {"24 bits.bmp", [] { return BmpDeclaring(5000, 5000, 24, 0, 0, 0); }, TOutcome::Loads,
         r5000 + kMiB, 0},
        // RLE with no black in its table is drawn at 24 bits only, never also at 8.
        {"rle8 no black.bmp", [] { return BmpDeclaring(4000, 4000, 8, 1, 256, 16); },
         TOutcome::Loads, r4000 + kMiB, 0},
    };
    for (const TCraftedRow& row : rows) {
        const std::vector<uint8_t> bytes = row.Make();
        const std::string path = WriteScratchFile(row.Name, bytes);
        TOutcome outcome = TOutcome::Loads;
        uint64_t budgetPeak = 0;
        THeapWatch::Start();
        {
            TLoadScope load;
            try {
                const TRaster working = DecodePictureFile(path);
                EXPECT_FALSE(working.Empty()) << row.Name;
            } catch (const EOutOfResources&) {
                outcome = TOutcome::OutOfResources;
            } catch (const EJPEG& e) {
                EXPECT_EQ(e.Code(), JERR_BAD_SCAN_SCRIPT) << row.Name;
                outcome = TOutcome::TooManyScans;
            }
            budgetPeak = load.Budget().Peak();
        }
        THeapWatch::Stop();
        EXPECT_EQ(outcome, row.Outcome) << row.Name;
        EXPECT_LE(budgetPeak, row.MaxPeak) << row.Name;
        if (!THeapWatch::Available())
            continue;
        const auto heapPeak = static_cast<uint64_t>(THeapWatch::Peak);
        EXPECT_LE(heapPeak, row.MaxPeak) << row.Name;
        // Whatever the load holds is counted, but for its copy of the file and
        // a few buffers of fixed size.
        EXPECT_LE(heapPeak, budgetPeak + bytes.size() + kMiB) << row.Name;
        if (row.MaxRequested != 0) {
            EXPECT_LE(THeapWatch::Requested, row.MaxRequested) << row.Name;
        }
    }
}

// A PNG's rows that become the working raster bring the charge that counted
// them: counted once while the load runs, and for their whole padded buffer for
// as long as the working raster keeps them.
TEST(LoadBudget, HandedOverRowsKeepTheirCharge) {
    const struct {
        const char* Name;
        uint8_t ColourType;
        uint64_t Held, MaxPeak;
    } rows[] = {
        // 1001 pixels of 3 bytes take 3004 bytes a row in the PNG's buffer.
        {"rgb 1001.png", 2, 3004 * 1000, 3004 * 1000 + kMiB},
        {"rgba 1001.png", 6, 3004 * 1000, (3004 + 1001) * 1000 + kMiB},
        // Opaque grey (and palette) rows stay indexed: the buffer itself is handed over.
        {"grey 1001.png", 0, 1004 * 1000, 1004 * 1000 + kMiB},
    };
    for (const auto& row : rows) {
        const std::string path = WriteScratchFile(row.Name, PngOfZeros(1001, 1000, row.ColourType));
        TLoadScope load;
        const TRaster working = DecodePictureFile(path);
        EXPECT_EQ(working.Width(), 1001) << row.Name;
        EXPECT_EQ(load.Budget().Used(), row.Held) << row.Name;
        EXPECT_LE(load.Budget().Peak(), row.MaxPeak) << row.Name;
    }
}

// A JPEG slot load keeps only the fitted rows, under the same budget and scan
// limit as a whole decode: libjpeg's coefficients are its whole cost.
TEST(LoadBudget, JpegSlotLoadsStayWithinTheirBounds) {
    const uint64_t r5000 = 5000 * 5000 * 3;
    const struct {
        const char* Name;
        std::function<std::vector<uint8_t>()> Make;
        TOutcome Outcome;
        uint64_t MaxPeak;
    } rows[] = {
        {"slot 500 scans.jpg", [] { return JpegRepeatingScan(64, 64, 500); }, TOutcome::Loads,
         2 * kMiB},
        {"slot 501 scans.jpg", [] { return JpegRepeatingScan(64, 64, 501); },
         TOutcome::TooManyScans, 2 * kMiB},
        {"slot progressive.jpg", [] { return JpegDeclaring(5000, 5000); }, TOutcome::Loads,
         r5000 + kMiB},
        {"slot 20000.jpg", [] { return JpegDeclaring(20000, 20000); }, TOutcome::OutOfResources,
         kMiB},
    };
    for (const auto& row : rows) {
        const std::string path = WriteScratchFile(row.Name, row.Make());
        TRasterPictureControl slot;
        TOutcome outcome = TOutcome::Loads;
        TLoadScope load;
        try {
            LoadImageFile(slot, path);
            EXPECT_TRUE(slot.HasPicture()) << row.Name;
        } catch (const EOutOfResources&) {
            outcome = TOutcome::OutOfResources;
        } catch (const EJPEG& e) {
            EXPECT_EQ(e.Code(), JERR_BAD_SCAN_SCRIPT) << row.Name;
            outcome = TOutcome::TooManyScans;
        }
        EXPECT_EQ(outcome, row.Outcome) << row.Name;
        EXPECT_LE(load.Budget().Peak(), row.MaxPeak) << row.Name;
    }
}

// A window's load draws what the plain load draws and holds no more, but for
// what it keeps: a picture beyond the slot's budget is fitted or composed as
// the plain load does it, one within is kept and drawn without a working copy.
TEST(LoadBudget, AWindowLoadHoldsThePlainLoadAndWhatItKeeps) {
    const size_t r1000 = 1000 * 1000 * 3;
    const auto rgba = [] {
        TPngPixels png;
        png.Width = png.Height = 1000;
        png.ColourType = 6;
        for (uint32_t y = 0; y < 1000; ++y)
            for (uint32_t x = 0; x < 1000; ++x)
                png.Rows.insert(png.Rows.end(),
                                {uint8_t(x), uint8_t(y), uint8_t(x ^ y), uint8_t(x + y)});
        return EncodePng(png);
    };
    const struct {
        const char* Name;
        std::function<std::vector<uint8_t>()> Make;
        size_t Budget;
        bool Kept;
        uint64_t MaxExtra; // bytes held beyond the plain load's peak
    } rows[] = {
        // The plain load never holds the decoded JPEG.
        {"window.jpg", [] { return MakeJpegOf(PatternRaster(1000, 1000)); }, r1000, true, r1000},
        {"window.jpg", [] { return MakeJpegOf(PatternRaster(1000, 1000)); }, r1000 - 1, false, 0},
        {"window progressive.jpg", [] { return JpegDeclaring(1000, 1000); }, r1000 - 1, false, 0},
        // The colours are the plain load's own; the alpha plane is kept beside them.
        {"window rgba.png", rgba, r1000 + 1000000, true, 1000000},
        {"window rgba.png", rgba, r1000 - 1, false, 0},
    };
    for (const auto& row : rows) {
        const std::string path = WriteScratchFile(row.Name, row.Make());
        TRasterPictureControl plain, window;
        uint64_t plainPeak = 0, windowPeak = 0;
        {
            TLoadScope load;
            LoadImageFile(plain, path);
            plainPeak = load.Budget().Peak();
        }
        TSlotSource source(row.Budget);
        {
            TLoadScope load;
            source.Load(window, path, {});
            windowPeak = load.Budget().Peak();
        }
        EXPECT_EQ(source.HeldBytes() > 0, row.Kept) << row.Name << " " << row.Budget;
        EXPECT_LE(windowPeak, plainPeak + row.MaxExtra) << row.Name << " " << row.Budget;
        const TRaster &a = plain.Picture(), &b = window.Picture();
        ASSERT_EQ(a.Width(), b.Width());
        ASSERT_EQ(a.Height(), b.Height());
        for (int y = 0; y < a.Height(); ++y)
            ASSERT_EQ(std::memcmp(a.ScanLine(y), b.ScanLine(y), a.Stride()), 0)
                << row.Name << " row " << y;
    }
}

// A picture may hold three times its 24-bit raster; one whose raster would pass
// 1 GiB is refused outright.
TEST(LoadBudget, PictureSizeSetsTheLimit) {
    const struct {
        uint64_t Width, Height;
        bool Refused;
        uint64_t Limit;
    } rows[] = {
        {0, 0, false, TLoadBudget::kAllowance},
        {1000, 1000, false, 9000000 + TLoadBudget::kAllowance},
        {357913941, 1, false, 3 * uint64_t{1073741823} + TLoadBudget::kAllowance},
        {357913942, 1, true, 0},
        {65535, 65535, true, 0},
        {uint64_t{1} << 40, uint64_t{1} << 40, true, 0},
    };
    for (const auto& row : rows) {
        TLoadScope load;
        if (row.Refused) {
            EXPECT_THROW(load.Budget().SetPicture(row.Width, row.Height), EOutOfResources)
                << row.Width << " x " << row.Height;
            continue;
        }
        load.Budget().SetPicture(row.Width, row.Height);
        EXPECT_EQ(load.Budget().Limit(), row.Limit) << row.Width << " x " << row.Height;
        EXPECT_TRUE(load.Budget().TryReserve(row.Limit));
        EXPECT_FALSE(load.Budget().TryReserve(1));
    }
}

} // namespace
} // namespace korvalis::testing

#include "LoadBudget.h"

#include "Exceptions.h"
#include "Raster.h"

#include <algorithm>
#include <utility>

namespace korvalis {

namespace {
thread_local std::shared_ptr<TLoadBudget> tCurrentLoad;

// Each side held to 2^32, so the product cannot overflow.
uint64_t PixelsOf(uint64_t width, uint64_t height) {
    return std::min<uint64_t>(width, UINT32_MAX) * std::min<uint64_t>(height, UINT32_MAX);
}
} // namespace

uint64_t TLoadBudget::LimitFor(uint64_t width, uint64_t height) {
    const uint64_t pixels = PixelsOf(width, height);
    const uint64_t raster = pixels > TRaster::kMaxBytes / 3 ? TRaster::kMaxBytes : pixels * 3;
    return kRasterFactor * raster + kAllowance;
}

void TLoadBudget::SetPicture(uint64_t width, uint64_t height) {
    if (PixelsOf(width, height) > TRaster::kMaxBytes / 3)
        throw EOutOfResources();
    FLimit = std::max(FUsed, LimitFor(width, height));
}

void TLoadBudget::AllowFor(uint64_t width, uint64_t height) {
    FLimit = std::max(FLimit, LimitFor(width, height));
}

bool TLoadBudget::TryReserve(uint64_t bytes) {
    if (bytes > Available())
        return false;
    FUsed += bytes;
    FPeak = std::max(FPeak, FUsed);
    return true;
}

void TLoadBudget::Reserve(uint64_t bytes) {
    if (!TryReserve(bytes))
        throw EOutOfResources();
}

void TLoadBudget::Release(uint64_t bytes) {
    FUsed -= std::min(bytes, FUsed);
}

TLoadBudget* TLoadBudget::Current() {
    return tCurrentLoad.get();
}

TLoadScope::TLoadScope() {
    if (!tCurrentLoad) {
        tCurrentLoad = std::make_shared<TLoadBudget>();
        FOutermost = true;
    }
    FBudget = tCurrentLoad;
}

TLoadScope::~TLoadScope() {
    if (FOutermost)
        tCurrentLoad.reset();
}

TBudgetCharge::TBudgetCharge(TBudgetCharge&& other) noexcept
    : FBudget(std::move(other.FBudget)), FBytes(std::exchange(other.FBytes, 0)) {}

TBudgetCharge& TBudgetCharge::operator=(TBudgetCharge&& other) noexcept {
    if (this != &other) {
        Reset();
        FBudget = std::move(other.FBudget);
        FBytes = std::exchange(other.FBytes, 0);
    }
    return *this;
}

void TBudgetCharge::Set(uint64_t bytes) {
    if (!FBudget) {
        if (bytes == 0 || !tCurrentLoad)
            return;
        FBudget = tCurrentLoad;
    }
    if (bytes > FBytes)
        FBudget->Reserve(bytes - FBytes);
    else
        FBudget->Release(FBytes - bytes);
    FBytes = bytes;
}

bool TBudgetCharge::TryAdd(uint64_t bytes) {
    if (!FBudget) {
        if (bytes == 0 || !tCurrentLoad)
            return true;
        FBudget = tCurrentLoad;
    }
    if (!FBudget->TryReserve(bytes))
        return false;
    FBytes += bytes;
    return true;
}

TBudgetCharge TBudgetCharge::Split(uint64_t bytes) {
    TBudgetCharge part;
    bytes = std::min(bytes, FBytes);
    if (bytes == 0)
        return part;
    part.FBudget = FBudget;
    part.FBytes = bytes;
    FBytes -= bytes;
    return part;
}

void TBudgetCharge::Reset() {
    if (FBudget)
        FBudget->Release(FBytes);
    FBytes = 0;
    FBudget.reset();
}

} // namespace korvalis

#pragma once

#include <cstdint>
#include <memory>

namespace korvalis {

// What one load of a picture may hold at once, all its buffers together: the
// rasters, the alpha plane, row and inflate buffers, kept chunks and text, and
// libjpeg's own memory. A small crafted file cannot make a load take more than
// a few times the picture it declares.
//
// Until the picture's size is known a load may hold kAllowance bytes. Once it
// is, a picture whose 24-bit raster would pass TRaster::kMaxBytes (1 GiB) fails
// at once with EOutOfResources; any other may hold kRasterFactor times its
// 24-bit raster on top of kAllowance. The compressed file itself is not
// counted.
class TLoadBudget {
  public:
    // A progressive 4:4:4 JPEG keeps two bytes per sample of coefficients beside
    // its raster; an RGBA PNG keeps its raster, its alpha plane and the working
    // raster.
    static constexpr uint64_t kRasterFactor = 3;
    // Everything that does not grow with the picture: chunks, text, row, inflate
    // and libjpeg's table buffers.
    static constexpr uint64_t kAllowance = uint64_t{64} << 20;

    uint64_t Limit() const { return FLimit; }
    uint64_t Used() const { return FUsed; }
    // The most this load has held at once.
    uint64_t Peak() const { return FPeak; }
    uint64_t Available() const { return FLimit - FUsed; }

    // The picture is width x height pixels: raises EOutOfResources when its
    // 24-bit raster would pass 1 GiB, else sets the limit from it.
    void SetPicture(uint64_t width, uint64_t height);
    // Lets buffers that grow with a larger size than the output's (the full-size
    // coefficients of a JPEG decoded at a reduced scale) have their share.
    void AllowFor(uint64_t width, uint64_t height);

    // Counts bytes about to be allocated; raises EOutOfResources, counting
    // nothing, when they do not fit.
    void Reserve(uint64_t bytes);
    // As Reserve; answers false instead of raising.
    bool TryReserve(uint64_t bytes);
    void Release(uint64_t bytes);

    // The budget of the load running on this thread, or null outside any load.
    static TLoadBudget* Current();

  private:
    static uint64_t LimitFor(uint64_t width, uint64_t height);

    uint64_t FLimit = kAllowance;
    uint64_t FUsed = 0;
    uint64_t FPeak = 0;

    friend class TLoadScope;
    friend class TBudgetCharge;
};

// One load: made where a picture starts being read. A scope inside another on
// the same thread is part of the same load and shares its budget.
class TLoadScope {
  public:
    TLoadScope();
    ~TLoadScope();
    TLoadScope(const TLoadScope&) = delete;
    TLoadScope& operator=(const TLoadScope&) = delete;

    TLoadBudget& Budget() { return *FBudget; }

  private:
    std::shared_ptr<TLoadBudget> FBudget;
    bool FOutermost = false;
};

// Bytes counted against the budget of the load that was running when they were
// charged, given back when the charge is dropped. Buffers that outlive their
// load (the decoded raster) keep the budget alive; outside any load nothing is
// counted.
class TBudgetCharge {
  public:
    TBudgetCharge() = default;
    ~TBudgetCharge() { Reset(); }
    TBudgetCharge(TBudgetCharge&& other) noexcept;
    TBudgetCharge& operator=(TBudgetCharge&& other) noexcept;
    TBudgetCharge(const TBudgetCharge&) = delete;
    TBudgetCharge& operator=(const TBudgetCharge&) = delete;

    // Makes the charge bytes in all; raises EOutOfResources, keeping the old
    // charge, when the difference does not fit.
    void Set(uint64_t bytes);
    void Add(uint64_t bytes) { Set(FBytes + bytes); }
    // As Add; answers false instead of raising.
    bool TryAdd(uint64_t bytes);
    void Reset();
    // Moves up to bytes of this charge to a new one on the same load, for a part
    // of the buffer that changes owner; the load's total stays as it is.
    TBudgetCharge Split(uint64_t bytes);
    uint64_t Bytes() const { return FBytes; }

  private:
    std::shared_ptr<TLoadBudget> FBudget;
    uint64_t FBytes = 0;
};

} // namespace korvalis

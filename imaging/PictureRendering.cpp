#include "PictureRendering.h"

#include "PictureFile.h"
#include "bundle/ResourceBundle.h"
#include "decoders/JpegPicture.h"
#include "graphics/LoadBudget.h"

#include <algorithm>
#include <vector>

namespace korvalis {

namespace {

// --- EXIF -----------------------------------------------------------------

// A TIFF structure inside an Exif segment; every read is checked against its end.
class TTiffReader {
  public:
    explicit TTiffReader(std::span<const uint8_t> bytes) : FBytes(bytes) {}
    bool Has(uint64_t offset, uint64_t count) const {
        return offset <= FBytes.size() && count <= FBytes.size() - offset;
    }
    unsigned U16(uint64_t offset) const {
        const uint8_t* p = FBytes.data() + offset;
        return FLittle ? p[0] | p[1] << 8 : p[0] << 8 | p[1];
    }
    uint32_t U32(uint64_t offset) const {
        const uint32_t hi = U16(offset), lo = U16(offset + 2);
        return FLittle ? lo << 16 | hi : hi << 16 | lo;
    }
    void SetLittle(bool little) { FLittle = little; }

  private:
    std::span<const uint8_t> FBytes;
    bool FLittle = false;
};

int ExifOrientation(std::span<const uint8_t> tiff) {
    constexpr unsigned kOrientationTag = 0x0112, kShort = 3;
    TTiffReader r(tiff);
    if (!r.Has(0, 8))
        return 1;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        r.SetLittle(true);
    else if (tiff[0] != 'M' || tiff[1] != 'M')
        return 1;
    if (r.U16(2) != 42)
        return 1;
    const uint64_t ifd = r.U32(4);
    if (!r.Has(ifd, 2))
        return 1;
    const unsigned entries = r.U16(ifd);
    for (unsigned i = 0; i < entries; ++i) {
        const uint64_t entry = ifd + 2 + uint64_t(12) * i;
        if (!r.Has(entry, 12))
            return 1;
        if (r.U16(entry) != kOrientationTag)
            continue;
        if (r.U16(entry + 2) != kShort || r.U32(entry + 4) != 1)
            return 1;
        const unsigned value = r.U16(entry + 8);
        return value >= 1 && value <= 8 ? int(value) : 1;
    }
    return 1;
}

// --- Scaling --------------------------------------------------------------

// Source pixel s and its share of a target pixel.
struct TTap {
    int64_t Source;
    uint64_t Weight;
};
// Targets [first, first + count) of an axis of target size T over source size S.
struct TAxis {
    std::vector<size_t> Start; // count + 1 entries into Taps
    std::vector<TTap> Taps;
};

__extension__ typedef __int128 TWide;

// The source pixel under target pixel t's centre, as TRaster::Stretched takes it;
// 128 bits because a cover of a very long picture makes T huge.
int64_t NearestOf(int64_t t, int64_t s, int64_t T) {
    return int64_t((TWide(2) * t + 1) * s / (TWide(2) * T));
}

// Target t covers [t * S, (t + 1) * S) and source s covers [s * T, (s + 1) * T)
// in units of 1 / T source pixels: the overlaps are the weights, summing to S.
TAxis AreaAxis(int64_t S, int64_t T, int64_t first, int64_t count) {
    TAxis axis;
    axis.Start.reserve(size_t(count) + 1);
    for (int64_t t = first; t < first + count; ++t) {
        axis.Start.push_back(axis.Taps.size());
        const TWide lo = TWide(t) * S, hi = TWide(t + 1) * S;
        for (int64_t s = int64_t(lo / T); s < S && TWide(s) * T < hi; ++s) {
            const TWide from = std::max(TWide(s) * T, lo), to = std::min(TWide(s + 1) * T, hi);
            if (to > from)
                axis.Taps.push_back({s, uint64_t(to - from)});
        }
    }
    axis.Start.push_back(axis.Taps.size());
    return axis;
}

// Row y of the picture as blue, green, red.
const uint8_t* RowBgr(const TRaster& picture, int y, std::vector<uint8_t>& buffer) {
    const uint8_t* in = picture.ScanLine(y);
    if (picture.PixelFormat() == TPixelFormat::pf24bit)
        return in;
    buffer.resize(size_t(picture.Width()) * 3);
    for (int x = 0; x < picture.Width(); ++x) {
        const TRGBQuad& q = picture.ColorTable()[in[x]];
        buffer[size_t(x) * 3] = q.rgbBlue;
        buffer[size_t(x) * 3 + 1] = q.rgbGreen;
        buffer[size_t(x) * 3 + 2] = q.rgbRed;
    }
    return buffer.data();
}

// The part of the scaled picture that falls inside the slot, drawn straight
// into it, so a cover never makes the whole enlarged picture.
void DrawScaled(const TRaster& picture, const TPlacement& p, TScaleFilter filter, TRaster& slot) {
    const int x0 = int(std::max<int64_t>(p.Left, 0));
    const int y0 = int(std::max<int64_t>(p.Top, 0));
    const int x1 = int(std::min<int64_t>(p.Left + p.Width, slot.Width()));
    const int y1 = int(std::min<int64_t>(p.Top + p.Height, slot.Height()));
    if (x0 >= x1 || y0 >= y1 || picture.Empty())
        return;
    const int64_t w = picture.Width(), h = picture.Height();
    std::vector<uint8_t> buffer;
    if (filter == TScaleFilter::Nearest) {
        std::vector<size_t> columns;
        for (int x = x0; x < x1; ++x)
            columns.push_back(size_t(NearestOf(x - p.Left, w, p.Width)) * 3);
        for (int y = y0; y < y1; ++y) {
            const uint8_t* in = RowBgr(picture, int(NearestOf(y - p.Top, h, p.Height)), buffer);
            TRaster::StretchRow(in, slot.ScanLine(y) + size_t(x0) * 3, columns, 3);
        }
        return;
    }
    const TAxis across = AreaAxis(w, p.Width, x0 - p.Left, x1 - x0);
    const TAxis down = AreaAxis(h, p.Height, y0 - p.Top, y1 - y0);
    const uint64_t total = uint64_t(w) * uint64_t(h);
    std::vector<uint64_t> sum(size_t(x1 - x0) * 3);
    for (int y = y0; y < y1; ++y) {
        std::fill(sum.begin(), sum.end(), 0);
        const size_t j = size_t(y - y0);
        for (size_t dy = down.Start[j]; dy < down.Start[j + 1]; ++dy) {
            const uint8_t* in = RowBgr(picture, int(down.Taps[dy].Source), buffer);
            for (size_t i = 0; i + 1 < across.Start.size(); ++i) {
                uint64_t b = 0, g = 0, r = 0;
                for (size_t dx = across.Start[i]; dx < across.Start[i + 1]; ++dx) {
                    const uint8_t* px = in + across.Taps[dx].Source * 3;
                    b += px[0] * across.Taps[dx].Weight;
                    g += px[1] * across.Taps[dx].Weight;
                    r += px[2] * across.Taps[dx].Weight;
                }
                sum[i * 3] += b * down.Taps[dy].Weight;
                sum[i * 3 + 1] += g * down.Taps[dy].Weight;
                sum[i * 3 + 2] += r * down.Taps[dy].Weight;
            }
        }
        uint8_t* out = slot.ScanLine(y) + size_t(x0) * 3;
        for (size_t k = 0; k < sum.size(); ++k)
            out[k] = uint8_t((sum[k] + total / 2) / total);
    }
}

// The bundle stores a shown colour as the word it came from, so a dithered
// picture reaches the device exactly as drawn.
constexpr bool DeviceColoursRoundTrip() {
    for (unsigned v = 0; v < 64; ++v) {
        if (v < 32 && (RGB565(Expand5(v), 0, 0) >> 11 != v || (RGB565(0, 0, Expand5(v)) != v)))
            return false;
        if (((RGB565(0, Expand6(v), 0) >> 5) & 0x3F) != v)
            return false;
    }
    return true;
}
static_assert(DeviceColoursRoundTrip());

} // namespace

int JpegOrientation(std::span<const uint8_t> f) {
    if (f.size() < 4 || f[0] != 0xFF || f[1] != 0xD8)
        return 1;
    size_t p = 2;
    while (p < f.size()) {
        if (f[p] != 0xFF)
            return 1;
        while (p < f.size() && f[p] == 0xFF) // fill bytes
            ++p;
        if (p >= f.size())
            return 1;
        const uint8_t marker = f[p++];
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue; // no length
        if (marker == 0xDA || marker == 0xD9 || f.size() - p < 2)
            return 1; // the image data starts: no orientation before it
        const size_t length = size_t(f[p]) << 8 | f[p + 1];
        if (length < 2 || length > f.size() - p)
            return 1;
        const std::span<const uint8_t> payload = f.subspan(p + 2, length - 2);
        constexpr uint8_t kExif[] = {'E', 'x', 'i', 'f', 0, 0};
        if (marker == 0xE1 && payload.size() >= sizeof kExif &&
            std::equal(kExif, kExif + sizeof kExif, payload.begin()))
            return ExifOrientation(payload.subspan(sizeof kExif));
        p += length;
    }
    return 1;
}

TTurn TurnOfOrientation(int orientation) {
    static constexpr TTurn kTurns[] = {
        {1, 0, 0, 1}, {1, 0, 0, 1},  {-1, 0, 0, 1},  {-1, 0, 0, -1}, {1, 0, 0, -1},
        {0, 1, 1, 0}, {0, -1, 1, 0}, {0, -1, -1, 0}, {0, 1, -1, 0},
    };
    return orientation >= 1 && orientation <= 8 ? kTurns[orientation] : TTurn{};
}

TTurn TurnOfRotation(int degrees) {
    switch (degrees) {
    case 90:
        return TurnOfOrientation(6);
    case 180:
        return TurnOfOrientation(3);
    case 270:
        return TurnOfOrientation(8);
    default:
        return {};
    }
}

TTurn Then(TTurn f, TTurn s) {
    return {s.A * f.A + s.B * f.C, s.A * f.B + s.B * f.D, s.C * f.A + s.D * f.C,
            s.C * f.B + s.D * f.D};
}

TRaster Turned(const TRaster& picture, TTurn turn) {
    const int w = picture.Width(), h = picture.Height();
    const int ow = turn.SwapsSides() ? h : w, oh = turn.SwapsSides() ? w : h;
    TRaster out(0, 0, picture.PixelFormat());
    out.ColorTable() = picture.ColorTable();
    out.SetSizeUninitialized(ow, oh);
    if (out.Empty())
        return out;
    const int bpp = picture.BytesPerPixel();
    const ptrdiff_t stride = ptrdiff_t(picture.Stride());
    // Output (x, y) shows source (sx, sy); along a row both move by (A, B), as the
    // inverse of an orthogonal turn is its transpose.
    const ptrdiff_t step = turn.B * stride + turn.A * bpp;
    for (int y = 0; y < oh; ++y) {
        const int X = 1 - ow, Y = 2 * y + 1 - oh;
        const int sx = (turn.A * X + turn.C * Y + w - 1) / 2;
        const int sy = (turn.B * X + turn.D * Y + h - 1) / 2;
        ptrdiff_t at = sy * stride + sx * bpp;
        uint8_t* o = out.ScanLine(y);
        for (int x = 0; x < ow; ++x, at += step, o += bpp)
            for (int c = 0; c < bpp; ++c)
                o[c] = picture.Bits()[at + c];
    }
    return out;
}

TPlacement PlacementOf(int width, int height, TFitMode fit, bool enlarge, int slotWidth,
                       int slotHeight) {
    const int64_t w = width, h = height, W = slotWidth, H = slotHeight;
    if (w <= 0 || h <= 0)
        return {};
    // Nearest with halves up, never below one pixel.
    const auto scaled = [](int64_t v, int64_t num, int64_t den) {
        return std::max<int64_t>(1, int64_t((TWide(2) * v * num + den) / (TWide(2) * den)));
    };
    int64_t tw = W, th = H;
    switch (fit) {
    case TFitMode::Device:
        // The slot's own rule: landscape to the slot's width, anything else to
        // its height; what fits stays as it is.
        if (w <= W && h <= H)
            tw = w, th = h;
        else if (w > h)
            th = h * W / w;
        else
            tw = w * H / h;
        break;
    case TFitMode::Contain:
        if (!enlarge && w <= W && h <= H)
            tw = w, th = h;
        else if (w * H >= h * W)
            th = scaled(h, W, w);
        else
            tw = scaled(w, H, h);
        break;
    case TFitMode::Cover:
        if (w * H >= h * W)
            tw = std::max(W, scaled(w, H, h));
        else
            th = std::max(H, scaled(h, W, w));
        break;
    case TFitMode::Stretch:
        break;
    }
    // Centred as CentreOffset centres: an odd remainder falls right or down.
    return {tw, th, (W - tw) / 2, (H - th) / 2};
}

size_t TSourcePicture::Bytes() const {
    return Colours.Stride() * size_t(Colours.Height()) + Alpha.Stride() * size_t(Alpha.Height());
}

TSourcePicture SourcePictureOf(TDecodedPicture decoded) {
    TSourcePicture source;
    source.Colours = std::move(decoded.Colours);
    if (!decoded.Alpha || source.Colours.Empty())
        return source;
    source.Colours.SetPixelFormat(TPixelFormat::pf24bit);
    source.Alpha = TRaster(0, 0, TPixelFormat::pf8bit);
    source.Alpha.SetSizeUninitialized(source.Colours.Width(), source.Colours.Height());
    bool seeThrough = false;
    for (int y = 0; y < source.Colours.Height(); ++y) {
        uint8_t* a = source.Alpha.ScanLine(y);
        decoded.Alpha->Row(y, source.Colours.ScanLine(y), a);
        seeThrough = seeThrough ||
                     std::any_of(a, a + source.Alpha.Width(), [](uint8_t v) { return v != 255; });
    }
    // An alpha plane that lets nothing through is not worth keeping.
    if (!seeThrough)
        source.Alpha = TRaster();
    return source;
}

TSourcePicture SourcePictureOf(TJpegPicture& jpeg) {
    TSourcePicture source;
    source.Orientation = JpegOrientation(jpeg.FileData());
    jpeg.AssignTo(source.Colours);
    return source;
}

TSourcePicture DecodeSourcePicture(const std::string& fileName) {
    TLoadScope load;
    if (PictureKindOf(fileName) == TPictureKind::pkJpeg) {
        TJpegPicture jpeg;
        jpeg.LoadFromFile(fileName);
        return SourcePictureOf(jpeg);
    }
    return SourcePictureOf(DecodePicture(fileName));
}

TRaster RenderPicture(const TSourcePicture& source, const TPictureOptions& options, int slotWidth,
                      int slotHeight) {
    TTurn turn = TurnOfRotation(options.Rotation);
    if (options.AutoOrient)
        turn = Then(TurnOfOrientation(source.Orientation), turn);
    const bool seeThrough = !source.Alpha.Empty() && !source.Colours.Empty();
    // At most one working copy beside the source: turned, and for the smooth
    // filter composed in place first, since composing does not commute with
    // averaging. Nearest-neighbour sampling picks whole pixels, so the device
    // fit composes only the pixels it picked.
    const TRaster* picture = &source.Colours;
    const TRaster* alpha = seeThrough ? &source.Alpha : nullptr;
    TRaster work, turnedAlpha;
    if (turn != TTurn{}) {
        work = Turned(source.Colours, turn);
        picture = &work;
        if (seeThrough) {
            turnedAlpha = Turned(source.Alpha, turn);
            alpha = &turnedAlpha;
        }
    }
    TRaster slot(slotWidth, slotHeight);
    slot.SetFillColor(options.Background);
    slot.FillRect(0, 0, slotWidth, slotHeight);
    // As a cleared slot has them.
    slot.SetFillColor(clBlack);
    slot.SetOutlineColor(clBlack);
    const TPlacement place = PlacementOf(picture->Width(), picture->Height(), options.Fit,
                                         options.Enlarge, slotWidth, slotHeight);
    if (options.Fit == TFitMode::Device) {
        const bool scaled = place.Width != picture->Width() || place.Height != picture->Height();
        if (!scaled && !alpha) {
            slot.Draw(int(place.Left), int(place.Top), *picture);
        } else {
            const int w = int(place.Width), h = int(place.Height);
            TRaster fitted = scaled ? picture->Stretched(w, h) : *picture;
            if (alpha)
                ComposeOver(fitted, scaled ? alpha->Stretched(w, h) : *alpha, options.Background);
            slot.Draw(int(place.Left), int(place.Top), fitted);
        }
    } else {
        if (alpha) {
            if (picture != &work)
                work = source.Colours;
            ComposeOver(work, *alpha, options.Background);
            picture = &work;
        }
        DrawScaled(*picture, place, options.Filter, slot);
    }
    if (options.Dither)
        DitherToDevice(slot);
    return slot;
}

void DitherToDevice(TRaster& picture) {
    picture.SetPixelFormat(TPixelFormat::pf24bit);
    const int w = picture.Width();
    // Errors in 1/4096 of a level, one row ahead, with a spare pixel at each
    // side: the sixteenths of the spread stay whole, so nothing is lost.
    std::vector<int> here(size_t(w + 2) * 3), next(size_t(w + 2) * 3);
    for (int y = 0; y < picture.Height(); ++y) {
        std::fill(next.begin(), next.end(), 0);
        uint8_t* p = picture.ScanLine(y);
        for (int x = 0; x < w; ++x, p += 3) {
            for (int c = 0; c < 3; ++c) {
                const size_t at = size_t(x + 1) * 3 + size_t(c);
                const int wanted = p[c] * 4096 + here[at];
                const int v = std::clamp((wanted + 2048) >> 12, 0, 255);
                // Blue, green, red: the bundle's own rounding to 5, 6 and 5 bits.
                const unsigned shown = c == 1 ? Expand6((unsigned(v) * 253u + 505u) >> 10)
                                              : Expand5((unsigned(v) * 249u + 1014u) >> 11);
                const int error = (wanted - int(shown) * 4096) / 16;
                p[c] = uint8_t(shown);
                here[at + 3] += error * 7;
                next[at - 3] += error * 3;
                next[at] += error * 5;
                next[at + 3] += error;
            }
        }
        std::swap(here, next);
    }
}

TRaster DeviceColours(const TRaster& picture) {
    TRaster out = picture;
    out.SetPixelFormat(TPixelFormat::pf24bit);
    for (int y = 0; y < out.Height(); ++y) {
        uint8_t* p = out.ScanLine(y);
        for (int x = 0; x < out.Width(); ++x, p += 3) {
            const unsigned word = RGB565(p[2], p[1], p[0]);
            p[0] = Expand5(word & 0x1F);
            p[1] = Expand6((word >> 5) & 0x3F);
            p[2] = Expand5(word >> 11);
        }
    }
    return out;
}

} // namespace korvalis

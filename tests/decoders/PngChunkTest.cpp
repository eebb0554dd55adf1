// The chunk loop and the chunks other than the image data: what loads, what
// fails and with which exception and message.
#include "PngTestSupport.h"

#include "graphics/Resources.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <typeinfo>

namespace korvalis::testing {
namespace {

// One grey 8-bit pixel row per image line, all zero, filter byte 0.
std::vector<uint8_t> ZeroImage(uint32_t width, uint32_t height, unsigned bytesPerPixel = 1) {
    return Deflate(std::vector<uint8_t>((width * bytesPerPixel + 1) * height, 0));
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

// A small valid grey picture with extra chunks placed before its IDAT.
std::vector<uint8_t> GreyWith(const std::function<void(TPngBuilder&)>& extra) {
    TPngBuilder builder;
    builder.Ihdr(2, 2, 8, 0);
    extra(builder);
    builder.Idat(ZeroImage(2, 2)).Iend();
    return builder.Bytes();
}

std::vector<uint8_t> Signature() {
    return TPngBuilder().Bytes();
}

struct TLoadCase {
    const char* Name;
    std::vector<uint8_t> File;
    const std::type_info* Expected; // null: loads
};

std::vector<TLoadCase> LoadCases() {
    std::vector<TLoadCase> cases;
    const auto valid = GreyWith([](TPngBuilder&) {});
    for (size_t i = 0; i < 8; ++i) {
        auto file = valid;
        file[i] ^= 0x40;
        cases.push_back({"signature byte differs", file, &typeid(EPNGInvalidFileHeader)});
    }
    for (size_t length : {0, 1, 7}) {
        auto file = Signature();
        file.resize(length);
        cases.push_back({"shorter than a signature", file, &typeid(EPNGInvalidFileHeader)});
    }
    cases.push_back({"nothing after the signature", Signature(), &typeid(EPngUnexpectedEnd)});
    {
        auto file = Signature();
        file.insert(file.end(), {0, 0});
        cases.push_back({"length cut short", file, &typeid(EPngUnexpectedEnd)});
    }
    {
        auto file = valid;
        file.resize(file.size() - 12); // no IEND
        cases.push_back({"ends without IEND", file, &typeid(EPngUnexpectedEnd)});
    }
    {
        auto file = valid;
        file.resize(file.size() - 2); // IEND's CRC cut short
        cases.push_back({"IEND cut short", file, &typeid(EPngInvalidCRC)});
    }
    cases.push_back({"IDAT before IHDR",
                     TPngBuilder().Idat(ZeroImage(2, 2)).Ihdr(2, 2, 8, 0).Iend().Bytes(),
                     &typeid(EPNGIHDRNotFirst)});
    cases.push_back({"ancillary chunk before IHDR",
                     TPngBuilder().Chunk("tEXt", Bytes({'a', 0, 'b'})).Ihdr(2, 2, 8, 0).Bytes(),
                     &typeid(EPNGIHDRNotFirst)});
    cases.push_back({"unknown critical chunk", GreyWith([](TPngBuilder& b) {
                         b.Chunk("ABCD", Bytes({1, 2}));
                     }),
                     &typeid(EPNGUnknownCriticalChunk)});
    cases.push_back({"unknown ancillary chunk", GreyWith([](TPngBuilder& b) {
                         b.Chunk("abCD", Bytes({1, 2}));
                     }),
                     nullptr});
    cases.push_back({"unknown ancillary chunk with a wrong CRC", GreyWith([](TPngBuilder& b) {
                         b.Chunk("abCD", Bytes({1, 2}), true);
                     }),
                     &typeid(EPngInvalidCRC)});
    cases.push_back({"cHRM with a wrong CRC is skipped unread", GreyWith([](TPngBuilder& b) {
                         b.Chunk("cHRM", Bytes({1, 2, 3}), true);
                     }),
                     nullptr});
    cases.push_back({"pHYs with a wrong CRC", GreyWith([](TPngBuilder& b) {
                         b.Chunk("pHYs", Bytes({0, 0, 0, 1}), true);
                     }),
                     &typeid(EPngInvalidCRC)});
    cases.push_back({"bKGD with a wrong CRC", GreyWith([](TPngBuilder& b) {
                         b.Chunk("bKGD", Bytes({0, 7}), true);
                     }),
                     &typeid(EPngInvalidCRC)});
    cases.push_back({"IHDR with a wrong CRC",
                     TPngBuilder().Chunk("IHDR", std::vector<uint8_t>(13, 0), true).Bytes(),
                     &typeid(EPngInvalidCRC)});
    cases.push_back({"short IHDR with a wrong CRC reports the CRC",
                     TPngBuilder().Chunk("IHDR", std::vector<uint8_t>(12, 0), true).Bytes(),
                     &typeid(EPngInvalidCRC)});
    {
        TPngBuilder b;
        auto ihdr = Be32(2);
        const auto h = Be32(2);
        ihdr.insert(ihdr.end(), h.begin(), h.end());
        ihdr.insert(ihdr.end(), {8, 0, 0, 0}); // 12 bytes
        cases.push_back(
            {"IHDR of 12 bytes", b.Chunk("IHDR", ihdr).Bytes(), &typeid(EPngInvalidIHDR)});
    }
    cases.push_back({"width 65535",
                     TPngBuilder().Ihdr(65535, 1, 1, 0).Idat(ZeroImage(8192, 1)).Iend().Bytes(),
                     nullptr});
    cases.push_back({"height 65535",
                     TPngBuilder().Ihdr(1, 65535, 1, 0).Idat(ZeroImage(1, 65535)).Iend().Bytes(),
                     nullptr});
    cases.push_back(
        {"width 65536", TPngBuilder().Ihdr(65536, 1, 1, 0).Bytes(), &typeid(EPNGSizeExceeds)});
    cases.push_back(
        {"height 65536", TPngBuilder().Ihdr(1, 65536, 1, 0).Bytes(), &typeid(EPNGSizeExceeds)});
    cases.push_back({"width 2^32 - 1", TPngBuilder().Ihdr(0xFFFFFFFF, 1, 1, 0).Bytes(),
                     &typeid(EPNGSizeExceeds)});
    cases.push_back({"compression method 1", TPngBuilder().Ihdr(2, 2, 8, 0, 0, 1).Bytes(),
                     &typeid(EPNGUnknownCompression)});
    cases.push_back({"interlace method 2", TPngBuilder().Ihdr(2, 2, 8, 0, 2).Bytes(),
                     &typeid(EPNGUnknownInterlace)});
    cases.push_back({"filter method 1 is accepted",
                     TPngBuilder().Ihdr(2, 2, 8, 0, 0, 0, 1).Idat(ZeroImage(2, 2)).Iend().Bytes(),
                     nullptr});
    cases.push_back({"a second IHDR", GreyWith([](TPngBuilder& b) { b.Ihdr(4000, 4000, 8, 2); }),
                     &typeid(EPngInvalidIHDR)});
    cases.push_back(
        {"PLTE of 256 entries",
         GreyWith([](TPngBuilder& b) { b.Chunk("PLTE", std::vector<uint8_t>(768, 9)); }), nullptr});
    cases.push_back({"PLTE of 257 entries", GreyWith([](TPngBuilder& b) {
                         b.Chunk("PLTE", std::vector<uint8_t>(771, 9));
                     }),
                     &typeid(EPNGInvalidPalette)});
    cases.push_back({"PLTE not a multiple of 3",
                     GreyWith([](TPngBuilder& b) { b.Chunk("PLTE", std::vector<uint8_t>(10, 9)); }),
                     &typeid(EPNGInvalidPalette)});
    cases.push_back(
        {"tRNS of 256 bytes",
         GreyWith([](TPngBuilder& b) { b.Chunk("tRNS", std::vector<uint8_t>(256, 1)); }), nullptr});
    cases.push_back({"tRNS of 257 bytes", GreyWith([](TPngBuilder& b) {
                         b.Chunk("tRNS", std::vector<uint8_t>(257, 1));
                     }),
                     &typeid(EPNGInvalidPalette)});
    cases.push_back(
        {"no IDAT", TPngBuilder().Ihdr(2, 2, 8, 0).Iend().Bytes(), &typeid(EPNGNoImageData)});
    {
        auto file = valid;
        file.insert(file.end(), {1, 2, 3, 'g', 'a', 'r', 'b', 'a', 'g', 'e'});
        cases.push_back({"bytes after IEND are ignored", file, nullptr});
    }
    {
        TPngBuilder b;
        b.Ihdr(2, 2, 8, 0).Raw(Be32(0x80000000u)).Raw(Bytes({'t', 'E', 'X', 't'}));
        cases.push_back({"chunk length 2^31", b.Bytes(), &typeid(EPNGInvalidChunkLength)});
    }
    {
        TPngBuilder b;
        b.Ihdr(2, 2, 8, 0).Raw(Be32(0xFFFFFFFFu)).Raw(Bytes({'c', 'H', 'R', 'M'}));
        cases.push_back(
            {"skipped chunk of length 2^32 - 1", b.Bytes(), &typeid(EPNGInvalidChunkLength)});
    }
    {
        TPngBuilder b;
        b.Ihdr(2, 2, 8, 0).Raw(Be32(0x7FFFFFFFu)).Raw(Bytes({'t', 'E', 'X', 't', 1, 2, 3}));
        cases.push_back({"chunk longer than the file", b.Bytes(), &typeid(EPngInvalidCRC)});
    }
    cases.push_back({"colour type 2 at 4 bits", TPngBuilder().Ihdr(2, 2, 4, 2).Bytes(),
                     &typeid(EPNGUnsupportedFormat)});
    cases.push_back(
        {"colour type 5", TPngBuilder().Ihdr(2, 2, 8, 5).Bytes(), &typeid(EPNGUnsupportedFormat)});
    cases.push_back({"colour type 4 at 4 bits", TPngBuilder().Ihdr(2, 2, 4, 4).Bytes(),
                     &typeid(EPNGUnsupportedFormat)});
    cases.push_back({"colour type 6 at 1 bit", TPngBuilder().Ihdr(2, 2, 1, 6).Bytes(),
                     &typeid(EPNGUnsupportedFormat)});
    cases.push_back(
        {"grey at 3 bits", TPngBuilder().Ihdr(2, 2, 3, 0).Bytes(), &typeid(EPNGUnsupportedFormat)});
    return cases;
}

TEST(PngChunks, LoadsOrFailsWithTheRightException) {
    for (const TLoadCase& c : LoadCases()) {
        TPngPicture picture;
        try {
            ReadPng(picture, c.File);
            EXPECT_EQ(c.Expected, nullptr) << c.Name << ": loaded";
        } catch (const Exception& e) {
            if (!c.Expected)
                ADD_FAILURE() << c.Name << ": " << e.what();
            else
                EXPECT_EQ(typeid(e), *c.Expected) << c.Name << ": " << e.what();
        }
    }
}

// A raster whose size is refused must fail before it is reserved, and fast.
TEST(PngChunks, HugeRasterFailsWithoutBeingAllocated) {
    const struct {
        uint32_t Width, Height;
        uint8_t Depth, ColorType;
    } cases[] = {
        {65535, 65535, 8, 2}, {65535, 65535, 16, 6}, {65535, 65535, 8, 0}, {40000, 40000, 8, 4}};
    for (const auto& c : cases) {
        const auto file = TPngBuilder().Ihdr(c.Width, c.Height, c.Depth, c.ColorType).Bytes();
        TPngPicture picture;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(ReadPng(picture, file), EOutOfResources) << c.Width << "x" << c.Height;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

TEST(PngChunks, MessagesAreTheReadersOwn) {
    const std::string png = "\"Portable Network Graphics\"";
    const struct {
        std::function<void()> Raise;
        std::string Message;
    } cases[] = {
        {[] { throw EPNGInvalidFileHeader(); },
         "The file being readed is not a valid " + png +
             " image because it contains an invalid header. This file may be corruped, try "
             "obtaining it again."},
        {[] { throw EPngUnexpectedEnd(); },
         "This " + png +
             " image is invalid because the decoder found an unexpected end of the file."},
        {[] { throw EPNGIHDRNotFirst(); },
         "This " + png +
             " image is not supported or it might be invalid.\r\n(IHDR chunk is not the first)"},
        {[] { throw EPNGUnknownCriticalChunk(); },
         "This " + png + " image contains an unknown critical part which could not be decoded."},
        {[] { throw EPngInvalidCRC(); },
         "This " + png +
             " image is not valid because it contains invalid pieces of data (crc error)"},
        {[] { throw EPngInvalidIHDR(); }, "The " + png +
                                              " image could not be loaded because one of its main "
                                              "piece of data (ihdr) might be corrupted"},
        {[] { throw EPNGSizeExceeds(); }, "This " + png +
                                              " image is not supported because either it's width "
                                              "or height exceeds the maximum size, "
                                              "which is 65535 pixels length."},
        {[] { throw EPNGUnknownCompression(); },
         "This " + png +
             " image is encoded with an unknown compression scheme which could not be decoded."},
        {[] { throw EPNGUnknownInterlace(); },
         "This " + png + " image uses an unknown interlace scheme which could not be decoded."},
        {[] { throw EPNGInvalidPalette(); }, "The " + png + " image contains an invalid palette."},
        {[] { throw EPNGMissingMultipleIDAT(); },
         "This " + png + " image is invalid because it has missing image parts."},
        {[] { throw EPNGNoImageData(); }, "This " + png + " image contains no data."},
        {[] { throw EPNGCouldNotLoadResource(); },
         "The png image could not be loaded from the resource ID."},
        {[] { throw EPNGHeaderNotPresent(); },
         "This operation is not valid because the current image contains no valid header."},
        {[] { throw EPNGZLIBError(-3); },
         "Could not decompress the image because it contains invalid compressed data.\r\n"
         " Description: data error (-3)"},
        {[] { throw EPNGZLIBError(-5); },
         "Could not decompress the image because it contains invalid compressed data.\r\n"
         " Description: buffer error (-5)"},
        {[] { TPngPicture().SetWidth(5); },
         "The " + png +
             " image can not be resize by changing width and height properties. Try assigning the "
             "image from a bitmap."},
        {[] { TPngPicture().SetHeight(5); },
         "The " + png +
             " image can not be resize by changing width and height properties. Try assigning the "
             "image from a bitmap."},
        {[] {
             TPngPicture picture;
             TChunkIEND a(picture);
             TChunktIME b(picture);
             a.Assign(b);
         },
         "The chunks must be compatible to be assigned."},
        {[] {
             TPngPicture picture;
             ReadPng(picture, GreyWith([](TPngBuilder& b) { b.Chunk("PLTE", Bytes({1, 2, 3})); }));
             picture.FindChunk<TChunkPLTE>()->Item(1);
         },
         "There is no such palette entry."},
    };
    for (const auto& c : cases) {
        try {
            c.Raise();
            ADD_FAILURE() << "nothing raised for " << c.Message;
        } catch (const EPngError& e) {
            EXPECT_EQ(std::string(e.what()), c.Message);
            EXPECT_NE(dynamic_cast<const EInvalidImage*>(&e), nullptr);
        }
    }
}

TEST(PngChunks, QueriesWithoutAHeader) {
    TPngPicture picture;
    EXPECT_TRUE(picture.Empty());
    EXPECT_EQ(picture.Width(), 0);
    EXPECT_EQ(picture.Height(), 0);
    EXPECT_EQ(picture.TransparencyMode(), ptmNone);
    EXPECT_THROW(picture.Header(), EPNGHeaderNotPresent);
    EXPECT_THROW(picture.Scanline(0), EPNGHeaderNotPresent);
    EXPECT_THROW(picture.AlphaScanline(0), EPNGHeaderNotPresent);
    EXPECT_THROW(picture.ColorTable(), EPNGHeaderNotPresent);
    EXPECT_THROW(picture.ToRaster(), EPNGHeaderNotPresent);
    // A failed read keeps what it read, but its first chunk is no header.
    EXPECT_THROW(ReadPng(picture, TPngBuilder().Chunk("tEXt", Bytes({'a'})).Bytes()),
                 EPNGIHDRNotFirst);
    EXPECT_EQ(picture.Width(), 0);
}

TEST(PngChunks, UnknownAncillaryChunkKeepsItsPayloadAndReadingAgainStartsOver) {
    TPngPicture picture;
    ReadPng(picture, GreyWith([](TPngBuilder& b) { b.Chunk("prIv", Bytes({5, 6, 7})); }));
    ASSERT_EQ(picture.Chunks().Count(), 4);
    const TChunk& chunk = *picture.Chunks().Item(1);
    EXPECT_EQ(typeid(chunk), typeid(TChunk));
    EXPECT_EQ(chunk.Name(), "prIv");
    ASSERT_EQ(chunk.DataSize(), 3u);
    EXPECT_EQ(chunk.Data()[2], 7);
    EXPECT_EQ(picture.Chunks().Item(2)->Name(), "IDAT");
    EXPECT_EQ(picture.Chunks().Item(2)->DataSize(), 0u);

    ReadPng(picture, TPngBuilder().Ihdr(3, 1, 8, 0).Idat(ZeroImage(3, 1)).Iend().Bytes());
    EXPECT_EQ(picture.Chunks().Count(), 3);
    EXPECT_EQ(picture.Width(), 3);
}

TEST(PngChunks, TransparencyModeByColourTypeAndTrns) {
    auto palette = [](std::vector<uint8_t> trns) {
        TPngBuilder b;
        b.Ihdr(2, 1, 8, 3).Chunk("PLTE", std::vector<uint8_t>(12, 50));
        if (!trns.empty())
            b.Chunk("tRNS", trns);
        return b.Idat(ZeroImage(2, 1)).Iend().Bytes();
    };
    auto typed = [](uint8_t colorType, unsigned channels, bool trns) {
        TPngBuilder b;
        b.Ihdr(2, 1, 8, colorType);
        if (trns)
            b.Chunk("tRNS", Bytes({0, 1, 0, 2, 0, 3}));
        return b.Idat(ZeroImage(2, 1, channels)).Iend().Bytes();
    };
    const struct {
        const char* Name;
        std::vector<uint8_t> File;
        TPNGTransparencyMode Mode;
        bool BitFlag;
    } cases[] = {
        {"grey with tRNS", typed(0, 1, true), ptmBit, true},
        {"grey without", typed(0, 1, false), ptmNone, false},
        {"RGB with tRNS", typed(2, 3, true), ptmBit, true},
        {"RGB without", typed(2, 3, false), ptmNone, false},
        {"grey + alpha", typed(4, 2, false), ptmPartial, false},
        {"RGBA", typed(6, 4, false), ptmPartial, false},
        {"palette without tRNS", palette({}), ptmNone, false},
        {"palette, one entry 128", palette({255, 128, 255}), ptmBit, true},
        {"palette, one entry 0", palette({0}), ptmBit, true},
        {"palette, two entries below 255", palette({255, 128, 3}), ptmPartial, false},
        {"palette, all 255", palette({255, 255}), ptmPartial, false},
    };
    for (const auto& c : cases) {
        TPngPicture picture;
        ReadPng(picture, c.File);
        EXPECT_EQ(picture.TransparencyMode(), c.Mode) << c.Name;
        EXPECT_EQ(picture.Transparent(), c.Mode != ptmNone) << c.Name;
        if (const TChunktRNS* trns = picture.FindChunk<TChunktRNS>()) {
            EXPECT_EQ(trns->BitTransparency(), c.BitFlag) << c.Name;
            // The payload over a table of 255s, never gamma-corrected.
            EXPECT_EQ(trns->PaletteValues()[0], trns->Data()[0]) << c.Name;
            EXPECT_EQ(trns->PaletteValues()[255], 255) << c.Name;
        }
    }
}

TEST(PngChunks, GammaTable) {
    auto withGamma = [](const std::vector<uint8_t>& payload, bool afterPalette) {
        TPngBuilder b;
        b.Ihdr(1, 1, 8, 3);
        if (afterPalette)
            b.Chunk("PLTE", Bytes({128, 64, 255}));
        b.Chunk("gAMA", payload);
        if (!afterPalette)
            b.Chunk("PLTE", Bytes({128, 64, 255}));
        return b.Idat(ZeroImage(1, 1)).Iend().Bytes();
    };
    const struct {
        const char* Name;
        std::vector<uint8_t> Payload;
        std::vector<std::pair<int, int>> Levels; // sample, corrected
    } cases[] = {
        {"1/2.2 leaves samples practically unchanged",
         Be32(45455),
         {{0, 0}, {1, 1}, {64, 64}, {128, 128}, {200, 200}, {255, 255}}},
        {"100000 lightens", Be32(100000), {{0, 0}, {128, 186}, {255, 255}}},
        {"3-byte payload counts as 1", Bytes({0, 0, 1}), {{0, 0}, {128, 0}, {254, 0}, {255, 255}}},
        {"0 leaves the identity", Be32(0), {{0, 0}, {17, 17}, {128, 128}, {255, 255}}},
    };
    for (const auto& c : cases) {
        TPngPicture picture;
        ReadPng(picture, withGamma(c.Payload, false));
        for (const auto& [sample, level] : c.Levels)
            EXPECT_EQ(picture.GammaTable()[static_cast<size_t>(sample)], level)
                << c.Name << " sample " << sample;
        for (int i = 0; i < 256; ++i) {
            const int g = picture.GammaTable()[static_cast<size_t>(i)];
            // The stated formula, rounded half to even, and its inverse.
            const uint32_t value =
                c.Payload.size() == 4
                    ? (uint32_t{c.Payload[0]} << 24 | uint32_t{c.Payload[1]} << 16 |
                       uint32_t{c.Payload[2]} << 8 | c.Payload[3])
                    : 1;
            if (value != 0) {
                const double want =
                    std::nearbyint(255 * std::pow(i / 255.0, 100000.0 / (value * 2.2)));
                EXPECT_NEAR(g, want, 1) << c.Name << " " << i;
                EXPECT_EQ(picture.GammaTable()[picture.InverseGamma()[static_cast<size_t>(g)]], g);
            }
        }
        // The palette went through the table in force when it was read.
        const TRGBQuad entry = picture.FindChunk<TChunkPLTE>()->Item(0);
        EXPECT_EQ(entry.rgbRed, picture.GammaTable()[128]) << c.Name;
        EXPECT_EQ(entry.rgbGreen, picture.GammaTable()[64]) << c.Name;
        EXPECT_EQ(entry.rgbBlue, picture.GammaTable()[255]) << c.Name;

        // gAMA placed after PLTE does not touch the palette.
        ReadPng(picture, withGamma(c.Payload, true));
        EXPECT_EQ(picture.FindChunk<TChunkPLTE>()->Item(0).rgbRed, 128) << c.Name;
    }
}

TEST(PngChunks, TextAndTimeChunks) {
    auto z = [](std::string keyword, int method, std::vector<uint8_t> data) {
        std::vector<uint8_t> payload(keyword.begin(), keyword.end());
        payload.push_back(0);
        payload.push_back(static_cast<uint8_t>(method));
        payload.insert(payload.end(), data.begin(), data.end());
        return payload;
    };
    const std::string longText(5000, 'x');
    const struct {
        const char* Name;
        const char* Type;
        std::vector<uint8_t> Payload;
        std::string Keyword, Text;
    } cases[] = {
        {"tEXt", "tEXt", Bytes({'T', 'i', 't', 'l', 'e', 0, 'H', 'i', '!'}), "Title", "Hi!"},
        {"tEXt without a zero", "tEXt", Bytes({'a', 'b', 'c'}), "abc", ""},
        {"tEXt of 2 bytes is not parsed", "tEXt", Bytes({'a', 0}), "", ""},
        {"zTXt", "zTXt", z("Comment", 0, Deflate({'o', 'k'})), "Comment", "ok"},
        {"zTXt long text", "zTXt",
         z("K", 0, Deflate(std::vector<uint8_t>(longText.begin(), longText.end()))), "K", longText},
        {"zTXt unknown method", "zTXt", z("K", 1, Deflate({'o', 'k'})), "K", ""},
        {"zTXt damaged data", "zTXt", z("K", 0, Bytes({1, 2, 3, 4, 5})), "K", ""},
        {"zTXt cut short", "zTXt",
         z("K", 0,
           [] {
               auto d = Deflate(std::vector<uint8_t>(1000, 'a'));
               d.resize(d.size() / 2);
               return d;
           }()),
         "K", ""},
        {"zTXt of 3 bytes is not parsed", "zTXt", Bytes({'K', 0, 0}), "", ""},
    };
    for (const auto& c : cases) {
        TPngPicture picture;
        ReadPng(picture, GreyWith([&](TPngBuilder& b) { b.Chunk(c.Type, c.Payload); }));
        const TChunk* chunk = picture.Chunks().Item(1);
        const auto* text = dynamic_cast<const TChunktEXt*>(chunk);
        ASSERT_NE(text, nullptr) << c.Name;
        EXPECT_EQ(text->Keyword(), c.Keyword) << c.Name;
        EXPECT_EQ(text->Text(), c.Text) << c.Name;
    }

    // A decompression bomb does not get its text.
    TPngPicture picture;
    ReadPng(picture, GreyWith([&](TPngBuilder& b) {
                b.Chunk("zTXt",
                        z("K", 0,
                          Deflate(std::vector<uint8_t>(TChunkzTXt::kMaxTextBytes + 1, 'a'), 9)));
            }));
    EXPECT_EQ(picture.FindChunk<TChunkzTXt>()->Text(), "");

    ReadPng(picture, GreyWith([](TPngBuilder& b) {
                b.Chunk("tIME", Bytes({0x07, 0xEA, 12, 8, 17, 50, 59}));
            }));
    const TChunktIME* time = picture.FindChunk<TChunktIME>();
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->Year, 2026);
    EXPECT_EQ(time->Month, 12);
    EXPECT_EQ(time->Day, 8);
    EXPECT_EQ(time->Hour, 17);
    EXPECT_EQ(time->Minute, 50);
    EXPECT_EQ(time->Second, 59);
    ReadPng(picture, GreyWith([](TPngBuilder& b) { b.Chunk("tIME", Bytes({7, 0xEA, 12, 8})); }));
    EXPECT_EQ(picture.FindChunk<TChunktIME>()->Year, 0);
}

TEST(PngChunks, ChunksCopyFromTheirOwnClass) {
    TPngPicture picture;
    ReadPng(picture, GreyWith([](TPngBuilder& b) {
                b.Chunk("tRNS", Bytes({0, 9})).Chunk("tEXt", Bytes({'k', 0, 'v'}));
            }));
    TPngPicture other;
    TChunktRNS trns(other);
    trns.Assign(*picture.FindChunk<TChunktRNS>());
    EXPECT_EQ(trns.Name(), "tRNS");
    EXPECT_EQ(trns.DataSize(), 2u);
    EXPECT_TRUE(trns.BitTransparency());
    EXPECT_EQ(trns.PaletteValues()[1], 9);
    TChunktEXt text(other);
    text.Assign(*picture.FindChunk<TChunktEXt>());
    EXPECT_EQ(text.Text(), "v");
    // A zTXt is a tEXt by descent, but not of the same class.
    TChunkzTXt ztxt(other);
    EXPECT_THROW(ztxt.Assign(text), EPngError);
    EXPECT_EQ(picture.FindChunk<TChunkzTXt>(), nullptr);
}

// A header copies the raster and alpha plane it has, and none when it has none:
// a header whose read failed, or one never read.
TEST(PngChunks, HeaderCopiesTheRasterItHas) {
    TLibpngWrite settings;
    settings.Width = 3;
    settings.Height = 2;
    settings.ColorType = 6;
    settings.Rows = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                     {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}};
    const auto rgba = LibpngWrite(settings);
    const struct {
        const char* Name;
        std::vector<uint8_t> File; // empty: a header never read
        bool HasRaster;
        uint32_t Height; // as the source answers it
    } rows[] = {
        {"read", rgba, true, 2},
        {"unknown compression", TPngBuilder().Ihdr(3, 2, 8, 6, 0, 1).Bytes(), false, 2},
        // A size refused is not kept: a caller walking its rows would take minutes.
        {"size exceeds", TPngBuilder().Ihdr(0, 0x12200000, 8, 6).Bytes(), false, 0},
        {"never read", {}, false, 0},
    };
    for (const auto& row : rows) {
        TPngPicture picture;
        TChunkIHDR unread(picture);
        const TChunkIHDR* source = &unread;
        if (!row.File.empty()) {
            try {
                ReadPng(picture, row.File);
            } catch (const EPngError&) {
            }
            source = dynamic_cast<const TChunkIHDR*>(picture.Chunks().Item(0));
            ASSERT_NE(source, nullptr) << row.Name;
        }
        EXPECT_EQ(source->Height(), row.Height) << row.Name;
        TPngPicture other;
        TChunkIHDR copy(other);
        copy.Assign(*source);
        EXPECT_EQ(copy.Width(), source->Width()) << row.Name;
        EXPECT_EQ(copy.ColorType(), source->ColorType()) << row.Name;
        EXPECT_EQ(copy.CompressionMethod(), source->CompressionMethod()) << row.Name;
        EXPECT_EQ(copy.RowStride(), source->RowStride()) << row.Name;
        ASSERT_EQ(copy.ImageData() != nullptr, row.HasRaster) << row.Name;
        ASSERT_EQ(copy.ImageAlpha() != nullptr, row.HasRaster) << row.Name;
        if (!row.HasRaster)
            continue;
        EXPECT_NE(copy.ImageData(), source->ImageData());
        EXPECT_EQ(std::memcmp(copy.ImageData(), source->ImageData(), copy.RowStride() * 2), 0);
        EXPECT_EQ(std::memcmp(copy.ImageAlpha(), source->ImageAlpha(), 6), 0);
        EXPECT_EQ(copy.BitmapInfo().bmiHeader.biBitCount, 24);
    }
}

TEST(PngChunks, ReadsFromANamedResourceWhateverTheCase) {
    static const std::vector<uint8_t> file =
        TPngBuilder().Ihdr(3, 2, 8, 0).Idat(ZeroImage(3, 2)).Iend().Bytes();
    RegisterRawResource("PNGTESTPICTURE", file);
    const char* names[] = {"PNGTESTPICTURE", "PngTestPicture", "pngtestpicture"};
    for (const char* name : names) {
        TPngPicture picture;
        picture.ReadFromResource(name);
        EXPECT_EQ(picture.Width(), 3) << name;
        EXPECT_EQ(picture.Height(), 2) << name;
    }
    TPngPicture picture;
    EXPECT_THROW(picture.ReadFromResource("NoSuchPicture"), EPNGCouldNotLoadResource);
    EXPECT_THROW(picture.ReadFromFile("/nonexistent/picture.png"), EFOpenError);
}

} // namespace
} // namespace korvalis::testing

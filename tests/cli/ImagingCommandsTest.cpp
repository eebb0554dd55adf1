// korvalis decode, bundle and preview, run as the program users run.
#include "bundle/ResourceBundle.h"
#include "imaging/ImageSlots.h"
#include "imaging/PictureFile.h"
#include "imaging/PngWriter.h"
#include "tests/decoders/JpegTestSupport.h"
#include "tests/imaging/TestPictures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>

namespace korvalis {
namespace {

using namespace korvalis::testing;

struct TRun {
    int ExitCode = -1;
    std::string Out, Err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

TRun Korvalis(const std::vector<std::string>& args) {
    std::string command = KORVALIS_CLI;
    for (const std::string& a : args)
        command += " " + Quote(a);
    const std::string out = ScratchDir() + "/stdout.txt", err = ScratchDir() + "/stderr.txt";
    const int status = std::system((command + " >" + out + " 2>" + err).c_str());
    TRun run;
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::vector<uint8_t> o = ReadWholeFile(out), e = ReadWholeFile(err);
    run.Out.assign(o.begin(), o.end());
    run.Err.assign(e.begin(), e.end());
    return run;
}

bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

TRaster AsRgb24(TRaster r) {
    r.SetPixelFormat(TPixelFormat::pf24bit);
    return r;
}

bool Same(const TRaster& a, const TRaster& b) {
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.Bits(), b.Bits(), a.Stride() * size_t(a.Height())) == 0;
}

TEST(DecodeCommand, RoundTripsThroughPpmForEveryKindOfFile) {
    TPngPixels rgba;
    rgba.Width = 3;
    rgba.Height = 1;
    rgba.ColourType = 6;
    rgba.Rows = {255, 255, 255, 128, 10, 20, 30, 0, 1, 2, 3, 255};
    const std::vector<uint8_t> greyJpeg = MakeJpeg(
        31, 17, TMakeSpace::Gray, [](int x, int y, uint8_t* o) { *o = uint8_t(8 * x + y); });
    const struct {
        const char* Name;
        std::vector<uint8_t> Bytes;
        TRaster Expected; // empty: compare with libjpeg
    } rows[] = {
        {"pattern.png", EncodePngRgb(PatternRaster(300, 7)), PatternRaster(300, 7)},
        {"PATTERN.BMP", MakeBmp24(PatternRaster(5, 260)), PatternRaster(5, 260)},
        {"rgba.png", EncodePng(rgba),
         [] {
             TRaster r(3, 1);
             r.SetPixel(0, 0, {128, 128, 128});
             r.SetPixel(2, 0, {1, 2, 3});
             return r;
         }()},
        {"photo.Jpeg", MakeJpegOf(PatternRaster(40, 30)), {}},
        {"grey.jpg", greyJpeg, {}},
    };
    for (const auto& row : rows) {
        const std::string in = WriteScratchFile(row.Name, row.Bytes);
        const std::string out = ScratchDir() + "/" + row.Name + ".ppm";
        const TRun run = Korvalis({"decode", in, "-o", out});
        ASSERT_EQ(run.ExitCode, 0) << row.Name << ": " << run.Err;
        EXPECT_EQ(run.Err, "") << row.Name;
        const TRaster decoded = ReadPpm(out);
        TRaster expected = row.Expected;
        if (expected.Empty()) {
            const TOracleImage oracle = OracleDecode(row.Bytes);
            expected.SetSize(oracle.Width, oracle.Height);
            for (int y = 0; y < oracle.Height; ++y)
                for (int x = 0; x < oracle.Width; ++x) {
                    if (oracle.Components == 1) {
                        const uint8_t* p =
                            oracle.Palette.data() + 3 * oracle.Pixels[size_t(y) * oracle.Width + x];
                        expected.SetPixel(x, y, {p[0], p[1], p[2]});
                    } else {
                        const uint8_t* p =
                            oracle.Pixels.data() + (size_t(y) * oracle.Width + x) * 3;
                        expected.SetPixel(x, y, {p[2], p[1], p[0]});
                    }
                }
        }
        EXPECT_TRUE(Same(decoded, expected)) << row.Name;
        EXPECT_TRUE(Same(decoded, AsRgb24(DecodePictureFile(in)))) << row.Name;
    }
}

TEST(BundleCommand, StartsFromTheStartUpSlotsAndAppliesEachOption) {
    const std::string logo = WriteScratchFile("logo.bmp", MakeBmp24(PatternRaster(640, 480)));
    const struct {
        const char* Name;
        std::vector<std::string> Options;
        bool LogoLoaded;
    } rows[] = {
        {"none", {}, false},
        {"logo", {"--logo", logo}, true},
        {"logo-eq", {"--logo=" + logo, "--splash=default"}, true},
        {"cleared", {"--logo", "clear", "--screensaver", "clear", "--splash", "default"}, false},
    };
    TRasterPictureControl splash, black, loaded;
    DefaultPicture(splash);
    ClearImage(black);
    LoadImageFile(loaded, logo);
    for (const auto& row : rows) {
        const std::string out = ScratchDir() + "/" + row.Name + ".bin";
        std::vector<std::string> args = {"bundle"};
        args.insert(args.end(), row.Options.begin(), row.Options.end());
        args.insert(args.end(), {"-o", out});
        const TRun run = Korvalis(args);
        ASSERT_EQ(run.ExitCode, 0) << row.Name << ": " << run.Err;
        const std::vector<uint8_t> bytes = ReadWholeFile(out);
        ASSERT_EQ(bytes.size(), 464'896u) << row.Name;
        TResourceBundle expected;
        expected.Initialise();
        expected.Image2Bin(splash.Picture(), kSlots[0].Offset);
        expected.Image2Bin(row.LogoLoaded ? loaded.Picture() : black.Picture(), kSlots[1].Offset);
        expected.Image2Bin(black.Picture(), kSlots[2].Offset);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.Data().begin())) << row.Name;
        EXPECT_EQ(std::string(bytes.begin() + 0x900, bytes.begin() + 0x908), "Korvalis");
    }
}

// Each picture option reaches the slot it names, or every slot; a slot's own wins.
TEST(BundleCommand, PictureOptionsReachTheirSlots) {
    TRaster wide(300, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 300; ++x)
            wide.SetPixel(x, y, {uint8_t(x), uint8_t(y * 2), uint8_t(x + y)});
    const std::string file = WriteScratchFile("wide.png", EncodePngRgb(wide));
    TRaster tall = PatternRaster(40, 80);
    std::vector<uint8_t> turned = MakeJpegOf(tall);
    // Exif orientation 6, big-endian, right after SOI.
    const std::vector<uint8_t> app1 = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0,    'M', 'M',
                                       0,    42,   0, 0,  0,   8,   0,   1,   1, 0x12, 0,   3,
                                       0,    0,    0, 1,  0,   6,   0,   0,   0, 0,    0,   0};
    turned.insert(turned.begin() + 2, app1.begin(), app1.end());
    const std::string photo = WriteScratchFile("photo.jpg", turned);
    const auto with = [](auto change) {
        TPictureOptions o;
        change(o);
        return o;
    };
    const struct {
        std::vector<std::string> Args;
        TPictureOptions Logo, Screensaver;
        std::string LogoFile = {};
    } rows[] = {
        {{"--logo-fit", "cover"}, with([](auto& o) { o.Fit = TFitMode::Cover; }), {}},
        {{"--fit=contain", "--enlarge", "--filter", "smooth"},
         with([](auto& o) {
             o.Fit = TFitMode::Contain;
             o.Enlarge = true;
             o.Filter = TScaleFilter::Smooth;
         }),
         with([](auto& o) {
             o.Fit = TFitMode::Contain;
             o.Enlarge = true;
             o.Filter = TScaleFilter::Smooth;
         })},
        {{"--logo-rotate", "180", "--rotate", "90"},
         with([](auto& o) { o.Rotation = 180; }),
         with([](auto& o) { o.Rotation = 90; })},
        {{"--screensaver-fit", "stretch", "--background", "#FF8000"},
         with([](auto& o) {
             o.Background = {255, 128, 0};
         }),
         with([](auto& o) {
             o.Fit = TFitMode::Stretch;
             o.Background = {255, 128, 0};
         })},
        {{"--logo-dither"}, with([](auto& o) { o.Dither = true; }), {}},
        {{"--logo-no-auto-orient"}, with([](auto& o) { o.AutoOrient = false; }), {}, photo},
        {{}, {}, {}, photo},
    };
    TRasterPictureControl splash;
    DefaultPicture(splash);
    for (const auto& row : rows) {
        const std::string logo = row.LogoFile.empty() ? file : row.LogoFile;
        std::vector<std::string> args = {"bundle", "--logo", logo, "--screensaver", file};
        args.insert(args.end(), row.Args.begin(), row.Args.end());
        const std::string out = ScratchDir() + "/options.bin";
        args.insert(args.end(), {"-o", out});
        const TRun run = Korvalis(args);
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
        TRasterPictureControl logoSlot, screensaverSlot;
        LoadImageFile(logoSlot, logo, row.Logo);
        LoadImageFile(screensaverSlot, file, row.Screensaver);
        TResourceBundle expected;
        expected.Initialise();
        expected.Image2Bin(splash.Picture(), kSlots[0].Offset);
        expected.Image2Bin(logoSlot.Picture(), kSlots[1].Offset);
        expected.Image2Bin(screensaverSlot.Picture(), kSlots[2].Offset);
        const std::vector<uint8_t> bytes = ReadWholeFile(out);
        ASSERT_EQ(bytes.size(), 464'896u);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.Data().begin()))
            << args[5] << (args.size() > 6 ? " " + args[6] : "");
    }
}

TEST(PreviewCommand, ShowsTheThreeSlotsAsTheDeviceWill) {
    TRaster red(240, 320);
    red.SetFillColor({255, 0, 0});
    red.FillRect(0, 0, 240, 320);
    red.SetPixel(0, 0, {0x12, 0x34, 0x56});
    const std::string file = WriteScratchFile("red.png", EncodePngRgb(red));
    const std::string out = ScratchDir() + "/preview.png";
    const TRun run = Korvalis({"preview", "--screensaver", file, "-o", out});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const TRaster sheet = AsRgb24(DecodePictureFile(out));
    ASSERT_EQ(sheet.Width(), 3 * 240 + 2 * 8);
    ASSERT_EQ(sheet.Height(), 320);
    // RGB565 expanded back: 0x12 -> 2 (5 bits) -> 16; 0x34 -> 13 (6 bits) -> 53; 0x56 -> 11 -> 90.
    const uint16_t word = RGB565(0x12, 0x34, 0x56);
    EXPECT_EQ(sheet.Pixel(496, 0),
              (TColor{Expand5(word >> 11), Expand6((word >> 5) & 63), Expand5(word & 31)}));
    EXPECT_EQ(sheet.Pixel(600, 200), (TColor{255, 0, 0}));
    EXPECT_EQ(sheet.Pixel(360, 100), clBlack); // the Logo slot is clear
    EXPECT_EQ(sheet.Pixel(243, 10), (TColor{64, 64, 64}));
    const TRaster splash = DefaultPictureRaster();
    for (int y = 0; y < 320; y += 13)
        for (int x = 0; x < 240; x += 11) {
            const TColor s = splash.Pixel(x, y);
            const uint16_t w = RGB565(s.r, s.g, s.b);
            ASSERT_EQ(sheet.Pixel(x, y),
                      (TColor{Expand5(w >> 11), Expand6((w >> 5) & 63), Expand5(w & 31)}));
        }
}

TEST(ImagingCommands, FailuresAndWrongUsage) {
    const std::string good = WriteScratchFile("good.bmp", MakeBmp24(PatternRaster(4, 4)));
    const std::string notPng =
        WriteScratchFile("fake.png", {'n', 'o', 't', ' ', 'p', 'n', 'g', '!'});
    std::vector<uint8_t> idatFirst = EncodePngRgb(PatternRaster(2, 2));
    idatFirst.erase(idatFirst.begin() + 8, idatFirst.begin() + 8 + 25); // drop IHDR
    const std::string noHeader = WriteScratchFile("noheader.png", idatFirst);
    const std::string gif = WriteScratchFile("picture.gif", {'G', 'I', 'F'});
    const std::string missing = ScratchDir() + "/missing.jpg";
    const std::string out = ScratchDir() + "/out.any";
    const struct {
        std::vector<std::string> Args;
        int ExitCode;
        std::string ErrorStart; // first line of standard error starts with this
    } rows[] = {
        {{"decode", notPng, "-o", out},
         1,
         "korvalis: " + notPng + ": Error loading image: The file being readed is not a valid"},
        {{"decode", noHeader, "-o", out},
         1,
         "korvalis: " + noHeader +
             ": Error loading image: This \"Portable Network Graphics\" "
             "image is not supported or it might be invalid. (IHDR chunk"},
        {{"decode", gif, "-o", out}, 1, "korvalis: " + gif + ": Error loading image: "},
        {{"decode", missing, "-o", out}, 1, "korvalis: " + missing + ": Error loading image: "},
        {{"bundle", "--logo", notPng, "-o", out}, 1, "korvalis: " + notPng + ": Error loading"},
        {{"bundle", "--screensaver", good, "--splash", missing, "-o", out},
         1,
         "korvalis: " + missing + ": Error loading image"},
        {{"preview", "--screensaver", gif, "-o", out}, 1, "korvalis: " + gif + ": Error loading"},
        {{"decode", good}, 2, "korvalis: no output file"},
        {{"decode", "-o", out}, 2, "korvalis: no picture file"},
        {{"decode", good, good, "-o", out}, 2, "korvalis: only one picture"},
        {{"decode", good, "-o"}, 2, "korvalis: option -o needs a value"},
        {{"bundle"}, 2, "korvalis: no output file"},
        {{"bundle", "--splash", "clear", "-o", out}, 2, "korvalis: --splash cannot be 'clear'"},
        {{"bundle", "--logo", "default", "-o", out}, 2, "korvalis: --logo cannot be 'default'"},
        {{"bundle", "--logo", good, "--logo", good, "-o", out}, 2, "korvalis: option --logo given"},
        {{"preview", "--colour", "-o", out}, 2, "korvalis: unknown option '--colour'"},
        {{"preview", "-o", out, "--logo"}, 2, "korvalis: option --logo needs a value"},
        {{"bundle", "--fit", "zoom", "-o", out},
         2,
         "korvalis: option --fit: 'zoom' is not one of device, contain, cover, stretch\n"},
        {{"bundle", "--logo-rotate", "45", "-o", out},
         2,
         "korvalis: option --logo-rotate: '45' is not one of 0, 90, 180, 270\n"},
        {{"bundle", "--splash-filter=fine", "-o", out},
         2,
         "korvalis: option --splash-filter: 'fine' is not one of nearest, smooth\n"},
        {{"preview", "--background", "#12345", "-o", out},
         2,
         "korvalis: option --background: '#12345' is not a colour written #RRGGBB\n"},
        {{"bundle", "--screensaver-background", "red", "-o", out},
         2,
         "korvalis: option --screensaver-background: 'red'"},
        {{"bundle", "--dither=yes", "-o", out}, 2, "korvalis: option --dither takes no value\n"},
        {{"bundle", "--logo-fit", "cover", "--logo-fit", "cover", "-o", out},
         2,
         "korvalis: option --logo-fit given twice\n"},
        {{"bundle", "-o", out, "--rotate"}, 2, "korvalis: option --rotate needs a value\n"},
        {{"bundle", "--splash-enlarge", "--no-auto-orient", "--logo-no-auto-orient=1", "-o", out},
         2,
         "korvalis: option --logo-no-auto-orient takes no value\n"},
        {{"bundle", "--fitt", "cover", "-o", out}, 2, "korvalis: unknown option '--fitt'"},
    };
    for (const auto& row : rows) {
        std::filesystem::remove(out);
        const TRun run = Korvalis(row.Args);
        std::string shown;
        for (const std::string& a : row.Args)
            shown += a + " ";
        EXPECT_EQ(run.ExitCode, row.ExitCode) << shown << run.Err;
        EXPECT_EQ(run.Err.rfind(row.ErrorStart, 0), 0u) << shown << "\n" << run.Err;
        EXPECT_FALSE(Exists(out)) << shown;
        if (row.ExitCode == 1) {
            // One line, whatever line breaks the reader's message holds.
            EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
            EXPECT_EQ(run.Err.find('\r'), std::string::npos) << run.Err;
        }
    }
}

TEST(ImagingCommands, AFailedRunLeavesAnEarlierOutputAlone) {
    const std::string out = WriteScratchFile("keep.bin", {1, 2, 3});
    const TRun run = Korvalis({"bundle", "--logo", ScratchDir() + "/nothing.png", "-o", out});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(ReadWholeFile(out), (std::vector<uint8_t>{1, 2, 3}));
}

// A JPEG is written out while it decodes: one that fails after its rows (a
// second start-of-image where the end should be) must still leave no part of
// itself, neither in a replaced file nor on standard output.
TEST(DecodeCommand, AJpegFailingAfterItsRowsLeavesNothingBehind) {
    std::vector<uint8_t> bytes = MakeJpegOf(PatternRaster(1024, 512));
    ASSERT_EQ(bytes[bytes.size() - 1], 0xD9);
    bytes.insert(bytes.end() - 2, {0xFF, 0xD8});
    const std::string in = WriteScratchFile("second-start.jpg", bytes);
    std::string reason;
    try {
        DecodePictureFile(in);
    } catch (const std::exception& e) {
        reason = e.what();
    }
    ASSERT_NE(reason, "") << "the file must fail to load";
    const std::string folder = ScratchDir() + "/failing-jpeg";
    std::filesystem::create_directories(folder);
    const std::string out = folder + "/keep.ppm";
    for (const std::string& target : {out, std::string("-")}) {
        WriteScratchFile("failing-jpeg/keep.ppm", {1, 2, 3});
        const TRun run = Korvalis({"decode", in, "-o", target});
        EXPECT_EQ(run.ExitCode, 1) << target;
        EXPECT_EQ(run.Err, "korvalis: " + in + ": Error loading image: " + reason + "\n") << target;
        EXPECT_EQ(run.Out.size(), 0u) << target << ": part of the picture was written";
        EXPECT_EQ(ReadWholeFile(out), (std::vector<uint8_t>{1, 2, 3})) << target;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()),
                  1)
            << target << ": a temporary file was left";
    }
}

TEST(ImagingCommands, HelpAndVersion) {
    const TRun version = Korvalis({"--version"});
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_EQ(version.Out, std::string("korvalis ") + KORVALIS_VERSION + "\n");
    const TRun help = Korvalis({"--help"});
    EXPECT_EQ(help.ExitCode, 0);
    for (const char* command : {"decode", "bundle", "preview"})
        EXPECT_NE(help.Out.find(command), std::string::npos) << command;
    EXPECT_NE(help.Out.find(PictureEndings()), std::string::npos);
    const TRun bundleHelp = Korvalis({"bundle", "--help"});
    EXPECT_EQ(bundleHelp.ExitCode, 0);
    EXPECT_NE(bundleHelp.Out.find("--screensaver FILE|clear"), std::string::npos);
}

} // namespace
} // namespace korvalis

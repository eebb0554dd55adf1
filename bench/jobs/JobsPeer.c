/* The peer of `korvalis decode`: the same picture to the same binary PPM with
 * libpng, libjpeg-turbo or stb_image, the way a small program on those libraries
 * would do it (whole picture in one buffer, one write). RLE8 bitmaps, which
 * stb_image does not read, are decoded by a loop of our own.
 *
 *   jobs_peer FILE OUT.ppm
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

/* jpeglib.h needs stdio.h and size_t before it. */
#include <jpeglib.h>
#include <png.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#include <stb/stb_image.h>

static void Fail(const char* what) {
    fprintf(stderr, "jobs_peer: %s\n", what);
    exit(1);
}

static void WritePpm(const char* path, const uint8_t* rgb, unsigned w, unsigned h) {
    FILE* f = fopen(path, "wb");
    if (!f)
        Fail("cannot write the output");
    fprintf(f, "P6\n%u %u\n255\n", w, h);
    if (fwrite(rgb, 3, (size_t)w * h, f) != (size_t)w * h || fclose(f) != 0)
        Fail("write failed");
}

/* Transparency over black, as the slot load draws it: (s * a + 255) >> 8. */
static uint8_t Blend(unsigned s, unsigned a) {
    return (uint8_t)((s * a + 255u) >> 8);
}

static void DecodePng(const char* in, const char* out) {
    FILE* f = fopen(in, "rb");
    if (!f)
        Fail("cannot open the picture");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)))
        Fail("libpng error");
    png_init_io(png, f);
    png_read_info(png, info);
    const unsigned w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    const int type = png_get_color_type(png, info);
    png_set_strip_16(png);
    if (type == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t channels = png_get_channels(png, info);
    const size_t stride = (size_t)w * channels;
    uint8_t* pixels = malloc(stride * h);
    png_bytep* rows = malloc(sizeof(png_bytep) * h);
    if (!pixels || !rows)
        Fail("out of memory");
    for (unsigned y = 0; y < h; ++y)
        rows[y] = pixels + stride * y;
    png_read_image(png, rows);
    png_read_end(png, NULL);
    png_destroy_read_struct(&png, &info, NULL);
    fclose(f);
    free(rows);
    if (channels == 4) {
        /* Composite in place, RGBA to RGB. */
        const uint8_t* s = pixels;
        uint8_t* d = pixels;
        for (size_t i = 0; i < (size_t)w * h; ++i, s += 4, d += 3) {
            const unsigned a = s[3];
            d[0] = Blend(s[0], a);
            d[1] = Blend(s[1], a);
            d[2] = Blend(s[2], a);
        }
    }
    WritePpm(out, pixels, w, h);
    free(pixels);
}

static void DecodeJpeg(const char* in, const char* out) {
    FILE* f = fopen(in, "rb");
    if (!f)
        Fail("cannot open the picture");
    struct jpeg_decompress_struct d;
    struct jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, f);
    jpeg_read_header(&d, TRUE);
    /* A greyscale file through libjpeg's 236-level quantiser, as the slot load does. */
    const int grey = d.jpeg_color_space == JCS_GRAYSCALE;
    if (grey) {
        d.out_color_space = JCS_GRAYSCALE;
        d.quantize_colors = TRUE;
        d.desired_number_of_colors = 236;
    } else {
        d.out_color_space = JCS_RGB;
    }
    jpeg_start_decompress(&d);
    const unsigned w = d.output_width, h = d.output_height;
    const size_t stride = (size_t)w * (grey ? 1 : 3);
    uint8_t* pixels = malloc(stride * h);
    if (!pixels)
        Fail("out of memory");
    while (d.output_scanline < h) {
        JSAMPROW row = pixels + stride * d.output_scanline;
        jpeg_read_scanlines(&d, &row, 1);
    }
    uint8_t map[256] = {0};
    if (grey)
        for (int i = 0; i < d.actual_number_of_colors; ++i)
            map[i] = d.colormap[0][i];
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    fclose(f);
    if (grey) {
        uint8_t* rgb = malloc((size_t)w * h * 3);
        if (!rgb)
            Fail("out of memory");
        for (size_t i = 0; i < (size_t)w * h; ++i)
            rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = map[pixels[i]];
        free(pixels);
        pixels = rgb;
    }
    WritePpm(out, pixels, w, h);
    free(pixels);
}

static uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

/* A bottom-up RLE8 bitmap; pixels the runs skip stay black. */
static void DecodeRle8(const uint8_t* file, size_t size, const char* out) {
    if (size < 54)
        Fail("short bitmap");
    const uint32_t offBits = Le32(file + 10), headerSize = Le32(file + 14);
    const int w = (int)Le32(file + 18), h = (int)Le32(file + 22);
    const uint32_t colours = Le32(file + 46) ? Le32(file + 46) : 256;
    const uint8_t* table = file + 14 + headerSize;
    uint8_t* rgb = calloc((size_t)w * h, 3);
    if (!rgb || w <= 0 || h <= 0 || offBits > size)
        Fail("bad bitmap");
    const uint8_t* p = file + offBits;
    const uint8_t* end = file + size;
    int x = 0, y = h - 1;
#define PUT(i)                                                                                     \
    do {                                                                                           \
        if (x < w && y >= 0 && (i) < colours) {                                                    \
            uint8_t* d = rgb + ((size_t)y * w + x) * 3;                                            \
            d[0] = table[4 * (i) + 2];                                                             \
            d[1] = table[4 * (i) + 1];                                                             \
            d[2] = table[4 * (i)];                                                                 \
        }                                                                                          \
        ++x;                                                                                       \
    } while (0)
    while (p + 2 <= end && y >= 0) {
        const unsigned n = p[0], v = p[1];
        p += 2;
        if (n) {
            for (unsigned i = 0; i < n; ++i)
                PUT(v);
        } else if (v == 0) {
            x = 0;
            --y;
        } else if (v == 1) {
            break;
        } else if (v == 2) {
            if (p + 2 > end)
                break;
            x += p[0];
            y -= p[1];
            p += 2;
        } else {
            if (p + v > end)
                break;
            for (unsigned i = 0; i < v; ++i)
                PUT(p[i]);
            p += (v + 1) & ~1u;
        }
    }
    WritePpm(out, rgb, (unsigned)w, (unsigned)h);
    free(rgb);
}

static void DecodeBmp(const char* in, const char* out) {
    FILE* f = fopen(in, "rb");
    if (!f)
        Fail("cannot open the picture");
    uint8_t head[54];
    if (fread(head, 1, sizeof head, f) != sizeof head)
        Fail("short bitmap");
    if (Le32(head + 30) == 1) {
        fseek(f, 0, SEEK_END);
        const size_t size = (size_t)ftell(f);
        fseek(f, 0, SEEK_SET);
        uint8_t* file = malloc(size);
        if (!file || fread(file, 1, size, f) != size)
            Fail("read failed");
        fclose(f);
        DecodeRle8(file, size, out);
        free(file);
        return;
    }
    fseek(f, 0, SEEK_SET);
    int w, h, n;
    uint8_t* rgb = stbi_load_from_file(f, &w, &h, &n, 3);
    fclose(f);
    if (!rgb)
        Fail(stbi_failure_reason());
    WritePpm(out, rgb, (unsigned)w, (unsigned)h);
    stbi_image_free(rgb);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: jobs_peer FILE OUT.ppm\n");
        return 2;
    }
    const char* dot = strrchr(argv[1], '.');
    if (dot && strcasecmp(dot, ".png") == 0)
        DecodePng(argv[1], argv[2]);
    else if (dot && (strcasecmp(dot, ".jpg") == 0 || strcasecmp(dot, ".jpeg") == 0))
        DecodeJpeg(argv[1], argv[2]);
    else if (dot && strcasecmp(dot, ".bmp") == 0)
        DecodeBmp(argv[1], argv[2]);
    else
        Fail("unknown ending");
    return 0;
}

#include "JpegTestSupport.h"

#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <jerror.h>
#include <jpeglib.h>

namespace korvalis::testing {

namespace {

struct TOracleErrors {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
};

void OracleExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TOracleErrors*>(cinfo->err)->Jump, 1);
}
void Silent(j_common_ptr) {}

} // namespace

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TOracleImage OracleDecode(const std::vector<uint8_t>& file, const TOracleSettings& settings) {
    TOracleImage result;
    jpeg_decompress_struct info{};
    TOracleErrors errors{};
    info.err = jpeg_std_error(&errors.Pub);
    errors.Pub.error_exit = OracleExit;
    errors.Pub.output_message = Silent;
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = 1L << 30;
    JSAMPROW row = nullptr;
    if (setjmp(errors.Jump) != 0) {
        result.ErrorCode = errors.Pub.msg_code;
        jpeg_destroy_decompress(&info);
        return result;
    }
    jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&info, TRUE);
    info.scale_num = 1;
    info.scale_denom = 1u << settings.Scale;
    info.do_block_smoothing = settings.Smoothing;
    result.FourComponent = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    if (settings.GrayscaleOutput)
        info.out_color_space = JCS_GRAYSCALE;
    else if (info.out_color_space == JCS_RGB)
        info.out_color_space = JCS_EXT_BGR;
    if (!result.FourComponent && (settings.Quantize || info.out_color_space == JCS_GRAYSCALE)) {
        info.quantize_colors = TRUE;
        info.desired_number_of_colors = 236;
    }
    if (settings.Fast) {
        info.dct_method = JDCT_IFAST;
        info.two_pass_quantize = FALSE;
        info.dither_mode = JDITHER_ORDERED;
    }
    jpeg_calc_output_dimensions(&info);
    if (uint64_t{info.output_width} * info.output_height * 3 > (uint64_t{1} << 30)) {
        result.TooBig = true;
        jpeg_destroy_decompress(&info);
        return result;
    }
    jpeg_start_decompress(&info);
    result.Width = static_cast<int>(info.output_width);
    result.Height = static_cast<int>(info.output_height);
    result.Components = info.quantize_colors ? 1 : info.output_components;
    const size_t stride = static_cast<size_t>(result.Width) * result.Components;
    result.Pixels.resize(stride * result.Height);
    if (info.quantize_colors) {
        result.Colors = info.actual_number_of_colors;
        for (int i = 0; i < result.Colors; ++i) {
            if (info.out_color_components == 1) {
                result.Palette.insert(result.Palette.end(), 3, info.colormap[0][i]);
            } else {
                result.Palette.push_back(info.colormap[2][i]);
                result.Palette.push_back(info.colormap[1][i]);
                result.Palette.push_back(info.colormap[0][i]);
            }
        }
    }
    while (info.output_scanline < info.output_height) {
        row = result.Pixels.data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return result;
}

std::vector<uint8_t> MakeJpeg(int width, int height, TMakeSpace space,
                              const std::function<void(int, int, uint8_t*)>& pixel, int quality,
                              bool progressive) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    switch (space) {
    case TMakeSpace::Rgb:
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
        break;
    case TMakeSpace::Gray:
        info.input_components = 1;
        info.in_color_space = JCS_GRAYSCALE;
        break;
    case TMakeSpace::TwoComponents:
        info.input_components = 2;
        info.in_color_space = JCS_UNKNOWN;
        break;
    case TMakeSpace::CmykAdobe:
    case TMakeSpace::Ycck:
    case TMakeSpace::CmykPlain:
        info.input_components = 4;
        info.in_color_space = JCS_CMYK;
        break;
    }
    jpeg_set_defaults(&info);
    if (space == TMakeSpace::Ycck)
        jpeg_set_colorspace(&info, JCS_YCCK);
    if (space == TMakeSpace::CmykPlain)
        info.write_Adobe_marker = FALSE;
    jpeg_set_quality(&info, quality, TRUE);
    if (progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(width) * info.input_components);
    while (info.next_scanline < info.image_height) {
        for (int x = 0; x < width; ++x)
            pixel(x, static_cast<int>(info.next_scanline), &row[x * info.input_components]);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&info, &r, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<uint8_t> bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

} // namespace korvalis::testing

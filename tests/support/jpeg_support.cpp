#include "jpeg_support.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <jpeglib.h>

namespace {

// A library error becomes an exception once the long jump has left libjpeg's
// C frames; only C objects live between setjmp and longjmp.
struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void on_error(j_common_ptr cinfo) {
    ErrorManager* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    longjmp(manager->jump, 1);
}

void on_message(j_common_ptr) {}  // warnings are the tools' business, not the tests'

}  // namespace

Decoded decode(const Bytes& jpeg) {
    Decoded picture;
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = on_error;
    err.pub.output_message = on_message;
    jpeg_create_decompress(&cinfo);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        throw std::runtime_error(std::string("cannot decode: ") + err.message);
    }
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    picture.width = cinfo.output_width;
    picture.height = cinfo.output_height;
    picture.components = cinfo.output_components;
    const size_t row_bytes = size_t{picture.width} * static_cast<size_t>(picture.components);
    picture.pixels.resize(row_bytes * picture.height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = picture.pixels.data() + row_bytes * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return picture;
}

bool is_baseline(const Bytes& jpeg) {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = on_error;
    jpeg_create_decompress(&cinfo);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        throw std::runtime_error(std::string("cannot read the header: ") + err.message);
    }
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    const bool baseline = cinfo.progressive_mode == FALSE && cinfo.arith_code == FALSE;
    jpeg_destroy_decompress(&cinfo);
    return baseline;
}

Bytes encoded(unsigned width, unsigned height, const Bytes& rgb) {
    if (rgb.size() != size_t{width} * height * 3) throw std::invalid_argument("raster of the wrong size");
    jpeg_compress_struct cinfo;
    ErrorManager err;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = on_error;
    jpeg_create_compress(&cinfo);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        free(buffer);
        throw std::runtime_error(std::string("cannot encode: ") + err.message);
    }
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(rgb.data()) + size_t{width} * 3 * cinfo.next_scanline;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes result(buffer, buffer + size);
    free(buffer);
    return result;
}

StereoFile garden_mpo(int width, int height, const JpegOptions& options) {
    const std::vector<unsigned char> left = render_view(width, height, 0);
    const std::vector<unsigned char> right = render_view(width, height, 1);
    StereoFile result;
    result.file = make_stereo_mpo(left.data(), right.data(), width, height, options);
    result.left_jpeg = encode_jpeg(left.data(), width, height, 3, options);
    result.right_jpeg = encode_jpeg(right.data(), width, height, 3, options);
    return result;
}

Bytes camera_picture(int width, int height, int eye, int components, const JpegOptions& options) {
    std::vector<unsigned char> pixels = render_view(width, height, eye);
    if (components == 1) {
        for (size_t p = 0; p < pixels.size() / 3; ++p) pixels[p] = pixels[3 * p + 1];
    }
    const Bytes jpeg = encode_jpeg(pixels.data(), width, height, components, options);
    const std::vector<unsigned char> thumb_pixels = render_view(8, 6, eye);
    JpegOptions thumb_options;
    const Bytes thumbnail = encode_jpeg(thumb_pixels.data(), 8, 6, 3, thumb_options);
    return make_camera_picture(jpeg, thumbnail, {});
}

#include "jpeg_support.hpp"

#include <stdexcept>

Raster decode(const Bytes& jpeg, HeaderRecord* header) {
    FILE* f = temp_file_holding(jpeg);
    Raster raster;
    const bool ok = read_jpeg_file(f, header, &raster);
    (void)fclose(f);
    if (!ok) throw std::runtime_error("decode failed");
    return raster;
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

Bytes encoded(const HeaderRecord& header, const unsigned char* raster) {
    ScratchDir dir;
    const std::string path = dir / "expected.jpg";
    if (write_jpeg_file(header, raster, path.c_str()) != 1) throw std::runtime_error("write failed");
    return read_file(path);
}

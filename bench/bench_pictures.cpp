#include "bench_pictures.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned char kMarkerPrefix = 0xFF;
constexpr unsigned char kSOI = 0xD8;
constexpr unsigned char kSOS = 0xDA;
constexpr int kQuality = 95;  // the tools' kJpegQuality

// Markers without a length (ITU T.81, table B.1): TEM, RST0-RST7, SOI, EOI.
bool marker_has_length(unsigned char marker) {
    return !(marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9));
}

// Offset just past the header segments of the picture whose SOI is at
// `start`: after the SOS segment, or where the header stops making sense.
size_t skip_header(const unsigned char* data, size_t size, size_t start) {
    size_t pos = start + 2;
    while (pos + 1 < size && data[pos] == kMarkerPrefix) {
        unsigned char marker = data[pos + 1];
        while (marker == kMarkerPrefix && pos + 2 < size) marker = data[++pos + 1];  // fill bytes
        pos += 2;
        if (marker == kSOI || !marker_has_length(marker) || pos + 2 > size) break;
        pos += (size_t{data[pos]} << 8) | data[pos + 1];
        if (marker == kSOS) break;
    }
    return pos < size ? pos : size;
}

}  // namespace

Buffer make_buffer(size_t size) {
    Buffer buffer;
    buffer.data.reset(new unsigned char[size == 0 ? 1 : size]);
    buffer.size = size;
    return buffer;
}

bool read_whole_file(const char* path, Buffer* file) {
    FILE* in = fopen(path, "rb");
    if (in == nullptr) return false;
    bool ok = fseeko(in, 0, SEEK_END) == 0;
    const off_t size = ok ? ftello(in) : -1;
    ok = size >= 0 && fseeko(in, 0, SEEK_SET) == 0;
    if (ok) {
        *file = make_buffer(static_cast<size_t>(size));
        ok = fread(file->data.get(), 1, file->size, in) == file->size;
        if (!ok && errno == 0) errno = EIO;  // shorter than it was a moment ago
    }
    const int saved = errno;
    (void)fclose(in);  // an input: what was read is checked already
    errno = saved;
    return ok;
}

std::vector<Extent> find_pictures(const unsigned char* data, size_t size) {
    std::vector<size_t> starts;
    size_t pos = 0;
    while (pos + 3 <= size) {
        const void* hit = memchr(data + pos, kMarkerPrefix, size - pos - 2);
        if (hit == nullptr) break;
        pos = static_cast<size_t>(static_cast<const unsigned char*>(hit) - data);
        if (data[pos + 1] == kSOI && data[pos + 2] == kMarkerPrefix) {
            starts.push_back(pos);
            pos = skip_header(data, size, pos);
        } else {
            ++pos;
        }
    }
    std::vector<Extent> pictures;
    for (size_t j = 0; j < starts.size(); ++j) {
        const size_t end = j + 1 < starts.size() ? starts[j + 1] : size;
        pictures.push_back(Extent{data + starts[j], end - starts[j]});
    }
    return pictures;
}

bool open_view(ViewDecoder* decoder, const Extent& picture) {
    jpeg_decompress_struct* cinfo = &decoder->cinfo;
    cinfo->err = jpeg_std_error(&decoder->jerr);
    jpeg_create_decompress(cinfo);
    jpeg_mem_src(cinfo, picture.data, static_cast<unsigned long>(picture.size));
    jpeg_read_header(cinfo, TRUE);
    if (cinfo->out_color_space != JCS_RGB) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    return true;
}

void decode_view(ViewDecoder* decoder, unsigned char* first_row, size_t stride) {
    jpeg_decompress_struct* cinfo = &decoder->cinfo;
    jpeg_start_decompress(cinfo);
    std::vector<JSAMPROW> rows(cinfo->output_height);
    for (size_t y = 0; y < rows.size(); ++y) rows[y] = first_row + y * stride;
    while (cinfo->output_scanline < cinfo->output_height) {
        jpeg_read_scanlines(cinfo, rows.data() + cinfo->output_scanline,
                            cinfo->output_height - cinfo->output_scanline);
    }
    jpeg_finish_decompress(cinfo);
    jpeg_destroy_decompress(cinfo);
}

void compress_rgb(jpeg_compress_struct* cinfo, const unsigned char* raster, JDIMENSION width,
                  JDIMENSION height) {
    cinfo->image_width = width;
    cinfo->image_height = height;
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, kQuality, TRUE);
    jpeg_start_compress(cinfo, TRUE);
    const size_t row_bytes = size_t{width} * 3;
    std::vector<JSAMPROW> rows(height);
    // The library reads rows without changing them.
    for (size_t y = 0; y < height; ++y) rows[y] = const_cast<unsigned char*>(raster) + y * row_bytes;
    while (cinfo->next_scanline < height) {
        jpeg_write_scanlines(cinfo, rows.data() + cinfo->next_scanline, height - cinfo->next_scanline);
    }
    jpeg_finish_compress(cinfo);
}

bool encode_to_file(const char* path, const unsigned char* raster, JDIMENSION width, JDIMENSION height) {
    FILE* out = fopen(path, "wb");
    if (out == nullptr) return false;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, out);
    compress_rgb(&cinfo, raster, width, height);
    jpeg_destroy_compress(&cinfo);
    return fclose(out) == 0;
}

size_t encode_to_memory(const unsigned char* raster, JDIMENSION width, JDIMENSION height) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* stream = nullptr;
    unsigned long stream_size = 0;
    jpeg_mem_dest(&cinfo, &stream, &stream_size);
    compress_rgb(&cinfo, raster, width, height);
    jpeg_destroy_compress(&cinfo);
    free(stream);
    return stream_size;
}

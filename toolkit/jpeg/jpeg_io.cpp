#include "jpeg_io.hpp"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "batch.hpp"
#include "file_io.hpp"

namespace {

// The tools hold two views' rasters per file (the composed picture takes the
// place of the left view, or holds both views). A view may take a quarter of
// the physical memory: room for both, for libjpeg's own buffers (a
// progressive picture keeps all its coefficients while it is decoded) and
// for the rest of the machine.
constexpr size_t kViewRastersPerFile = 4;

// A few hundred bytes can declare a picture of 65500 x 65500 pixels. Such a
// file is refused before anything is allocated for it when its rasters could
// not all be held in memory, rather than driving the machine into swap.
bool fits_in_memory(size_t raster_bytes) {
    return raster_bytes <= physical_memory() / kViewRastersPerFile;
}

// The output being written. The library ends the process when a write fails
// (a full disk), and a truncated picture must not stay behind looking like a
// finished one, so it is removed on the way out.
std::string& unfinished_output() {
    static std::string name;
    return name;
}

void remove_unfinished_output() {
    // The process is ending on the library's error, already printed: a file
    // that cannot be removed has nobody left to be told.
    if (!unfinished_output().empty()) (void)remove(unfinished_output().c_str());
}

void watch_output(const char* filename) {
    static const bool registered = [] {
        unfinished_output();  // constructed first, so destroyed after the handler ran
        return atexit(remove_unfinished_output) == 0;
    }();
    (void)registered;
    unfinished_output() = filename;
}

}  // namespace

bool raster_size(size_t width, size_t height, size_t components, size_t* bytes) {
    if (width == 0 || height == 0 || components == 0) {
        *bytes = 0;
        return true;
    }
    if (width > SIZE_MAX / height || width * height > SIZE_MAX / components) return false;
    *bytes = width * height * components;
    return true;
}

bool allocate_raster(Raster* raster, size_t bytes) {
    try {
        raster->resize(bytes);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

bool begin_jpeg_decode(FILE* in, jpeg_decompress_struct* cinfo, jpeg_error_mgr* jerr, HeaderRecord* header) {
    cinfo->err = jpeg_std_error(jerr);
    jpeg_create_decompress(cinfo);
    jpeg_stdio_src(cinfo, in);
    jpeg_read_header(cinfo, TRUE);

    // Checked before the decoder allocates anything of the picture's size.
    size_t view_bytes = 0;
    if (!raster_size(cinfo->image_width, cinfo->image_height, static_cast<size_t>(cinfo->num_components),
                     &view_bytes) ||
        !fits_in_memory(view_bytes)) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    jpeg_start_decompress(cinfo);

    header->image_width = cinfo->image_width;
    header->image_height = cinfo->image_height;
    // With the library's default output colour space the decoder hands out
    // as many samples per pixel as the file has components.
    header->num_components = cinfo->output_components;
    return true;
}

bool finish_jpeg_decode(jpeg_decompress_struct* cinfo, unsigned char* dest, size_t stride) {
    std::vector<unsigned char> row;
    try {
        row.resize(static_cast<size_t>(cinfo->output_width) * cinfo->output_components);
    } catch (const std::bad_alloc&) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }

    // One scanline at a time through a one-row buffer.
    const size_t row_bytes = static_cast<size_t>(cinfo->image_width) * cinfo->output_components;
    JSAMPROW row_pointer = row.data();
    while (cinfo->output_scanline < cinfo->image_height) {
        jpeg_read_scanlines(cinfo, &row_pointer, 1);
        memcpy(dest, row.data(), row_bytes);
        dest += stride;
    }
    jpeg_finish_decompress(cinfo);
    jpeg_destroy_decompress(cinfo);
    return true;
}

bool finish_jpeg_decode_new(jpeg_decompress_struct* cinfo, const HeaderRecord& header, Raster* raster,
                            ViewPlacement placement) {
    const size_t row_bytes = static_cast<size_t>(header.image_width) * header.num_components;
    size_t total = 0;
    if (!raster_size(row_bytes, header.image_height, placement.views_per_row, &total) ||
        !allocate_raster(raster, total)) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    if (!finish_jpeg_decode(cinfo, raster->data() + row_bytes * placement.column,
                            row_bytes * placement.views_per_row)) {
        *raster = Raster();
        return false;
    }
    return true;
}

bool read_jpeg_file(FILE* in, HeaderRecord* header, Raster* raster, ViewPlacement placement) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    return begin_jpeg_decode(in, &cinfo, &jerr, header) &&
           finish_jpeg_decode_new(&cinfo, *header, raster, placement);
}

int write_jpeg_file(HeaderRecord header, const unsigned char* raster, const char* filename) {
    FilePtr out(open_output(filename));
    if (!out) {
        report_output_open_error(filename);
        return -1;
    }

    watch_output(filename);

    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, out.get());

    cinfo.image_width = header.image_width;
    cinfo.image_height = header.image_height;
    cinfo.input_components = header.num_components;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, kJpegQuality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);

    const size_t row_bytes = static_cast<size_t>(header.image_width) * header.num_components;
    while (cinfo.next_scanline < cinfo.image_height) {
        // The library reads rows without changing them.
        JSAMPROW row = const_cast<unsigned char*>(raster) + cinfo.next_scanline * row_bytes;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);

    // The library has flushed and checked its own writes; what the system
    // still holds back must reach the file too, or the picture is incomplete.
    const bool closed = close_file(&out);
    unfinished_output().clear();
    if (!closed) {
        report_write_error(filename);
        (void)remove(filename);  // best effort: the failure is reported already
        return -1;
    }
    return 1;
}

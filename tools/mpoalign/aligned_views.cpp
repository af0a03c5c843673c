#include "aligned_views.hpp"

#include <cstring>
#include <new>

#include <jerror.h>

#include "stereo_pair.hpp"

namespace {

constexpr size_t kRgb = 3;
// libjpeg's inverse DCT scales by 1/2, 1/4 and 1/8 in integers, the same in
// its SIMD and plain code.
constexpr int kMaxDecoderScale = 8;
// The library fills this much before handing it over.
constexpr size_t kChunk = size_t{1} << 16;

// JPEG markers read in a picture's header.
constexpr int kMarkerStart = 0xFF;
constexpr int kStartOfImage = 0xD8;
constexpr int kStartOfScan = 0xDA;
constexpr int kEndOfImage = 0xD9;
constexpr int kExifMarker = JPEG_APP0 + 1;
constexpr unsigned char kExifSignature[] = {'E', 'x', 'i', 'f', 0, 0};
constexpr int kMpfMarker = JPEG_APP0 + 2;
constexpr unsigned char kMpfSignature[] = {'M', 'P', 'F', 0};

// Whether `payload` begins with `signature`.
template <size_t N>
bool signed_as(const std::vector<unsigned char>& payload, const unsigned char (&signature)[N]) {
    return payload.size() >= N && memcmp(payload.data(), signature, N) == 0;
}

MemoryJpeg* owner_of(j_compress_ptr cinfo) {
    return reinterpret_cast<MemoryDestination*>(cinfo->dest)->owner;
}

void start_destination(j_compress_ptr cinfo) {
    MemoryJpeg* jpeg = owner_of(cinfo);
    cinfo->dest->next_output_byte = jpeg->chunk.data();
    cinfo->dest->free_in_buffer = jpeg->chunk.size();
}

// Appends `count` bytes of the chunk; memory that cannot be had is the
// library's own fatal error, so that the file is given up like any other.
void keep(j_compress_ptr cinfo, size_t count) {
    MemoryJpeg* jpeg = owner_of(cinfo);
    try {
        jpeg->bytes.insert(jpeg->bytes.end(), jpeg->chunk.begin(), jpeg->chunk.begin() + count);
    } catch (const std::bad_alloc&) {
        cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
        (*cinfo->err->error_exit)(reinterpret_cast<j_common_ptr>(cinfo));
    }
}

boolean chunk_full(j_compress_ptr cinfo) {
    keep(cinfo, owner_of(cinfo)->chunk.size());
    start_destination(cinfo);
    return TRUE;
}

void finish_destination(j_compress_ptr cinfo) {
    keep(cinfo, owner_of(cinfo)->chunk.size() - cinfo->dest->free_in_buffer);
}

int read_two(FILE* f) {
    const int high = read_byte(f);
    const int low = read_byte(f);
    return high == EOF || low == EOF ? -1 : (high << 8) | low;
}

}  // namespace

MemoryJpeg::~MemoryJpeg() {
    if (created) jpeg_destroy_compress(&cinfo);
}

void decode_search_copies(JpegReader* reader, int factor, int fine_factor, ByteBuffer* group,
                          GreyBuilder* grey, GreyBuilder* fine) {
    int scale = 1;
    while (scale < kMaxDecoderScale && factor % (2 * scale) == 0 && fine_factor % (2 * scale) == 0)
        scale *= 2;
    jpeg_decompress_struct* cinfo = &reader->cinfo;
    cinfo->out_color_space = JCS_GRAYSCALE;
    cinfo->scale_num = 1;
    cinfo->scale_denom = static_cast<unsigned>(scale);
    start_jpeg_read(reader);
    const JDIMENSION width = cinfo->output_width, height = cinfo->output_height;
    start_grey(width, height, factor / scale, factor, grey);
    start_grey(width, height, fine_factor / scale, fine_factor, fine);
    JSAMPROW rows[kRowGroup];
    for (JDIMENSION k = 0; k < kRowGroup; ++k) rows[k] = group->data() + k * size_t{width};
    for (JDIMENSION done = 0; done < height;) {
        const JDIMENSION count = height - done < kRowGroup ? height - done : kRowGroup;
        read_jpeg_rows(reader, rows, count);
        for (JDIMENSION k = 0; k < count; ++k) {
            add_grey_row(rows[k], grey);
            add_grey_row(rows[k], fine);
        }
        done += count;
    }
    finish_jpeg_read(reader);
}

CameraSegments camera_segments(FILE* picture) {
    CameraSegments found;
    if (seek_file(picture, 0, SEEK_SET) != 0) return found;
    const int first = read_byte(picture);
    const int second = read_byte(picture);
    if (first != kMarkerStart || second != kStartOfImage) return found;
    for (;;) {
        if (read_byte(picture) != kMarkerStart) return found;
        int marker = read_byte(picture);
        while (marker == kMarkerStart) marker = read_byte(picture);  // fill bytes
        if (marker == EOF || marker == kStartOfScan || marker == kEndOfImage) return found;
        const int length = read_two(picture);
        if (length < 2) return found;
        const auto size = static_cast<size_t>(length - 2);
        // The first of each; another APP1 (XMP) or APP2 (ICC) is passed over.
        const bool exif = marker == kExifMarker && found.exif.empty();
        const bool mpf = marker == kMpfMarker && found.mpf.empty();
        if (!exif && !mpf) {
            if (seek_file(picture, static_cast<long long>(size), SEEK_CUR) != 0) return found;
            continue;
        }
        std::vector<unsigned char>& payload = exif ? found.exif : found.mpf;
        payload.resize(size);
        if (fread(payload.data(), 1, size, picture) != size) {
            payload.clear();
            return found;
        }
        if (exif ? !signed_as(payload, kExifSignature) : !signed_as(payload, kMpfSignature)) payload.clear();
    }
}

bool encode_corrected_view(const ByteBuffer& view, const HeaderRecord& header, const ViewWarp& warp,
                           const CameraSegments& camera, const char* arg, std::jmp_buf* fatal_error,
                           ByteBuffer* group, MemoryJpeg* jpeg) {
    const auto width = static_cast<size_t>(warp.out_width);
    if (!allocate_buffer(group, width * kRgb * kRowGroup)) return false;
    try {
        jpeg->chunk.resize(kChunk);
        jpeg->bytes.clear();
    } catch (const std::bad_alloc&) {
        return false;
    }
    jpeg_compress_struct* cinfo = &jpeg->cinfo;
    use_error_manager(reinterpret_cast<j_common_ptr>(cinfo), arg, fatal_error, &jpeg->errors);
    jpeg_create_compress(cinfo);
    jpeg->created = true;
    jpeg->destination.owner = jpeg;
    jpeg->destination.manager.init_destination = start_destination;
    jpeg->destination.manager.empty_output_buffer = chunk_full;
    jpeg->destination.manager.term_destination = finish_destination;
    cinfo->dest = &jpeg->destination.manager;
    cinfo->image_width = static_cast<JDIMENSION>(warp.out_width);
    cinfo->image_height = static_cast<JDIMENSION>(warp.out_height);
    cinfo->input_components = static_cast<int>(kRgb);
    cinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, kJpegQuality, TRUE);
    // A camera's picture begins with its Exif segment, where readers of Exif
    // look for it, not with a JFIF one.
    if (!camera.exif.empty()) cinfo->write_JFIF_header = FALSE;
    jpeg_start_compress(cinfo, TRUE);
    if (!camera.exif.empty()) {
        jpeg_write_marker(cinfo, kExifMarker, camera.exif.data(), static_cast<unsigned>(camera.exif.size()));
    }
    if (!camera.mpf.empty()) {
        jpeg_write_marker(cinfo, kMpfMarker, camera.mpf.data(), static_cast<unsigned>(camera.mpf.size()));
    }
    JSAMPROW rows[kRowGroup];
    for (JDIMENSION k = 0; k < kRowGroup; ++k) rows[k] = group->data() + k * width * kRgb;
    for (int64_t done = 0; done < warp.out_height;) {
        const int64_t count = warp.out_height - done < kRowGroup ? warp.out_height - done : kRowGroup;
        resample_rows(view.data(), header.image_width, header.image_height, warp, done,
                      static_cast<size_t>(count), group->data(), width * kRgb);
        jpeg_write_scanlines(cinfo, rows, static_cast<JDIMENSION>(count));
        done += count;
    }
    jpeg_finish_compress(cinfo);
    return true;
}

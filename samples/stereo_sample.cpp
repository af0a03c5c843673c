// JPEG encoding and the camera-style wrapping: Exif APP1 with a thumbnail,
// the APP2 multi-picture segments, and the two pictures put together.

#include "stereo_sample.hpp"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace {

using Bytes = std::vector<unsigned char>;

// libjpeg's largest picture side.
constexpr int kMaxJpegSide = JPEG_MAX_DIMENSION;

// JPEG markers (second byte after FF).
constexpr unsigned char kSoi = 0xD8;
constexpr unsigned char kSos = 0xDA;
constexpr unsigned char kDht = 0xC4;
constexpr unsigned char kApp0 = 0xE0;
constexpr unsigned char kApp1 = 0xE1;
constexpr unsigned char kApp2 = 0xE2;
// A segment's length field counts itself, so its payload is at most this.
constexpr std::size_t kMaxSegmentPayload = 0xFFFF - 2;

// Exif thumbnails are 160x120 by convention; smaller views get a smaller one.
constexpr int kThumbnailWidth = 160;
constexpr int kThumbnailHeight = 120;
constexpr int kThumbnailQuality = 75;

// TIFF field types.
constexpr std::uint16_t kTypeAscii = 2;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::uint16_t kTypeRational = 5;
constexpr std::uint16_t kTypeUndefined = 7;

// Exif tags.
constexpr std::uint16_t kTagCompression = 0x0103;
constexpr std::uint16_t kTagOrientation = 0x0112;
constexpr std::uint16_t kTagXResolution = 0x011A;
constexpr std::uint16_t kTagYResolution = 0x011B;
constexpr std::uint16_t kTagResolutionUnit = 0x0128;
constexpr std::uint16_t kTagSoftware = 0x0131;
constexpr std::uint16_t kTagYCbCrPositioning = 0x0213;
constexpr std::uint16_t kTagThumbnailOffset = 0x0201;  // JPEGInterchangeFormat
constexpr std::uint16_t kTagThumbnailLength = 0x0202;  // JPEGInterchangeFormatLength
constexpr std::uint16_t kCompressionJpeg = 6;
constexpr std::uint16_t kResolutionInch = 2;
constexpr std::uint16_t kChromaCentred = 1;  // where libjpeg's downsampling puts chroma
constexpr std::uint32_t kDotsPerInch = 72;
constexpr char kSoftware[] = "make_sample_mpo";

// Multi-picture tags and values, as stereo cameras write them.
constexpr std::uint16_t kTagMpfVersion = 0xB000;
constexpr std::uint16_t kTagNumberOfImages = 0xB001;
constexpr std::uint16_t kTagMpEntry = 0xB002;
constexpr std::uint16_t kTagIndividualNum = 0xB101;
constexpr std::uint16_t kTagBaseViewpointNum = 0xB204;
constexpr char kMpfVersion[4] = {'0', '1', '0', '0'};
constexpr std::uint32_t kLeftAttribute = 0x20020002;   // representative, disparity image
constexpr std::uint32_t kRightAttribute = 0x00020002;  // disparity image
constexpr std::size_t kMpEntrySize = 16;

// ------------------------------------------------------------------ encoding

struct ErrorManager {
    jpeg_error_mgr pub;  // first, so libjpeg's pointer converts back to ours
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_jpeg_error(j_common_ptr cinfo) {
    ErrorManager* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// Kept by the caller so that nothing the jump returns to was changed in the
// frame that called setjmp.
struct Compression {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
};

// Returns false, with err.message set, if libjpeg fails. Only C objects live
// here, so the long jump skips no destructor.
bool compress(Compression* job, const unsigned char* pixels, int width, int height, int components,
              const JpegOptions& options) {
    jpeg_compress_struct* cinfo = &job->cinfo;
    cinfo->err = jpeg_std_error(&job->err.pub);
    job->err.pub.error_exit = on_jpeg_error;
    if (setjmp(job->err.jump)) {
        jpeg_destroy_compress(cinfo);
        return false;
    }
    jpeg_create_compress(cinfo);
    jpeg_mem_dest(cinfo, &job->buffer, &job->size);
    cinfo->image_width = JDIMENSION(width);
    cinfo->image_height = JDIMENSION(height);
    cinfo->input_components = components;
    cinfo->in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, options.quality, TRUE);
    cinfo->write_JFIF_header = options.jfif ? TRUE : FALSE;
    if (components == 3) {
        cinfo->comp_info[0].h_samp_factor = options.h_samp;
        cinfo->comp_info[0].v_samp_factor = options.v_samp;
        for (int i = 1; i < 3; ++i) {
            cinfo->comp_info[i].h_samp_factor = 1;
            cinfo->comp_info[i].v_samp_factor = 1;
        }
    }
    if (options.progressive) jpeg_simple_progression(cinfo);
    cinfo->restart_in_rows = options.restart_rows;
    jpeg_start_compress(cinfo, TRUE);
    const std::size_t stride = std::size_t(width) * std::size_t(components);
    while (cinfo->next_scanline < cinfo->image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + cinfo->next_scanline * stride);
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    jpeg_destroy_compress(cinfo);
    return true;
}

// ------------------------------------------------------------ byte handling

void put_u16le(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void put_u32le(Bytes& out, std::uint32_t v) {
    put_u16le(out, v & 0xFFFF);
    put_u16le(out, v >> 16);
}

void patch_u32le(Bytes& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + std::size_t(i)] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

Bytes u32le(std::uint32_t v) {
    Bytes b;
    put_u32le(b, v);
    return b;
}

Bytes u16le(std::uint32_t v) {
    Bytes b;
    put_u16le(b, v);
    return b;
}

Bytes rational(std::uint32_t numerator, std::uint32_t denominator) {
    Bytes b = u32le(numerator);
    put_u32le(b, denominator);
    return b;
}

std::size_t segment_length(const Bytes& jpeg, std::size_t at) {
    return std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
}

// Checks that a marker segment starts at `at` and fits, and returns its end.
std::size_t segment_end(const Bytes& jpeg, std::size_t at) {
    if (at + 4 > jpeg.size() || jpeg[at] != 0xFF)
        throw std::invalid_argument("malformed JPEG: marker expected");
    const std::size_t length = segment_length(jpeg, at);
    if (length < 2 || at + 2 + length > jpeg.size())
        throw std::invalid_argument("malformed JPEG: segment runs past the end");
    return at + 2 + length;
}

// A marker segment: FF, marker, big-endian length (as in every JPEG), payload.
Bytes segment(unsigned char marker, const Bytes& payload) {
    if (payload.size() > kMaxSegmentPayload)
        throw std::invalid_argument("segment payload does not fit in one JPEG segment");
    Bytes out;
    out.reserve(4 + payload.size());
    out.push_back(0xFF);
    out.push_back(marker);
    out.push_back(static_cast<unsigned char>((payload.size() + 2) >> 8));
    out.push_back(static_cast<unsigned char>((payload.size() + 2) & 0xFF));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// ------------------------------------------------------------------ TIFF IFDs

struct IfdEntry {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    Bytes value;  // little-endian, as stored
};

// Appends a little-endian IFD at the end of `tiff` (offsets count from the
// start of `tiff`, which must be the TIFF or MP header), then the values too
// long for their entry. Returns the position of the link to the next IFD,
// written as 0. Entries must come sorted by tag.
std::size_t append_ifd(Bytes& tiff, const std::vector<IfdEntry>& entries) {
    const std::size_t start = tiff.size();
    const std::size_t data_start = start + 2 + 12 * entries.size() + 4;
    std::size_t data_at = data_start;
    put_u16le(tiff, std::uint32_t(entries.size()));
    Bytes data;
    for (const IfdEntry& e : entries) {
        put_u16le(tiff, e.tag);
        put_u16le(tiff, e.type);
        put_u32le(tiff, e.count);
        if (e.value.size() <= 4) {
            Bytes inline_value = e.value;
            inline_value.resize(4, 0);
            tiff.insert(tiff.end(), inline_value.begin(), inline_value.end());
        } else {
            put_u32le(tiff, std::uint32_t(data_at));
            data.insert(data.end(), e.value.begin(), e.value.end());
            if (data.size() % 2 != 0)  // offsets must be even
                data.push_back(0);
            data_at = data_start + data.size();
        }
    }
    const std::size_t link = tiff.size();
    put_u32le(tiff, 0);
    tiff.insert(tiff.end(), data.begin(), data.end());
    return link;
}

// Position, inside an IFD starting at `ifd`, of entry `index`'s value field.
std::size_t entry_value_at(std::size_t ifd, std::size_t index) {
    return ifd + 2 + 12 * index + 8;
}

const unsigned char kTiffHeaderLe[8] = {'I', 'I', 0x2A, 0x00, 0x08, 0x00, 0x00, 0x00};

Bytes exif_segment(const Bytes& thumbnail) {
    Bytes tiff(kTiffHeaderLe, kTiffHeaderLe + 8);
    Bytes software(kSoftware, kSoftware + sizeof kSoftware);
    const std::size_t ifd0_link =
        append_ifd(tiff, {
                             {kTagOrientation, kTypeShort, 1, u16le(1)},
                             {kTagXResolution, kTypeRational, 1, rational(kDotsPerInch, 1)},
                             {kTagYResolution, kTypeRational, 1, rational(kDotsPerInch, 1)},
                             {kTagResolutionUnit, kTypeShort, 1, u16le(kResolutionInch)},
                             {kTagSoftware, kTypeAscii, std::uint32_t(software.size()), software},
                             {kTagYCbCrPositioning, kTypeShort, 1, u16le(kChromaCentred)},
                         });
    if (!thumbnail.empty()) {
        const std::size_t ifd1 = tiff.size();
        patch_u32le(tiff, ifd0_link, std::uint32_t(ifd1));
        // The thumbnail's offset is patched in below, once its place is known.
        append_ifd(tiff, {
                             {kTagCompression, kTypeShort, 1, u16le(kCompressionJpeg)},
                             {kTagXResolution, kTypeRational, 1, rational(kDotsPerInch, 1)},
                             {kTagYResolution, kTypeRational, 1, rational(kDotsPerInch, 1)},
                             {kTagResolutionUnit, kTypeShort, 1, u16le(kResolutionInch)},
                             {kTagThumbnailOffset, kTypeLong, 1, u32le(0)},
                             {kTagThumbnailLength, kTypeLong, 1, u32le(std::uint32_t(thumbnail.size()))},
                         });
        patch_u32le(tiff, entry_value_at(ifd1, 4), std::uint32_t(tiff.size()));
        tiff.insert(tiff.end(), thumbnail.begin(), thumbnail.end());
    }
    Bytes payload = {'E', 'x', 'i', 'f', 0, 0};
    payload.insert(payload.end(), tiff.begin(), tiff.end());
    if (payload.size() > kMaxSegmentPayload)
        throw std::invalid_argument("thumbnail too large for an Exif segment");
    return segment(kApp1, payload);
}

// The APP2 segment of the first picture: the index of both pictures and the
// first one's own attributes. Its size does not depend on the values.
Bytes mpf_index_segment(std::uint32_t left_size, std::uint32_t right_size, std::uint32_t right_offset) {
    Bytes entries;
    put_u32le(entries, kLeftAttribute);
    put_u32le(entries, left_size);
    put_u32le(entries, 0);  // the first picture's offset is always 0
    put_u32le(entries, 0);  // no dependent pictures
    put_u32le(entries, kRightAttribute);
    put_u32le(entries, right_size);
    put_u32le(entries, right_offset);
    put_u32le(entries, 0);

    Bytes mp(kTiffHeaderLe, kTiffHeaderLe + 8);
    const Bytes version(kMpfVersion, kMpfVersion + 4);
    const std::size_t index_link =
        append_ifd(mp, {
                           {kTagMpfVersion, kTypeUndefined, 4, version},
                           {kTagNumberOfImages, kTypeLong, 1, u32le(2)},
                           {kTagMpEntry, kTypeUndefined, std::uint32_t(2 * kMpEntrySize), entries},
                       });
    patch_u32le(mp, index_link, std::uint32_t(mp.size()));
    append_ifd(mp, {
                       {kTagMpfVersion, kTypeUndefined, 4, version},
                       {kTagIndividualNum, kTypeLong, 1, u32le(1)},
                       {kTagBaseViewpointNum, kTypeLong, 1, u32le(1)},
                   });
    Bytes payload = {'M', 'P', 'F', 0};
    payload.insert(payload.end(), mp.begin(), mp.end());
    return segment(kApp2, payload);
}

// The APP2 segment of the second picture: its attributes only.
Bytes mpf_attribute_segment(std::uint32_t individual_number) {
    Bytes mp(kTiffHeaderLe, kTiffHeaderLe + 8);
    append_ifd(mp, {
                       {kTagMpfVersion, kTypeUndefined, 4, Bytes(kMpfVersion, kMpfVersion + 4)},
                       {kTagIndividualNum, kTypeLong, 1, u32le(individual_number)},
                       {kTagBaseViewpointNum, kTypeLong, 1, u32le(1)},
                   });
    Bytes payload = {'M', 'P', 'F', 0};
    payload.insert(payload.end(), mp.begin(), mp.end());
    return segment(kApp2, payload);
}

// ------------------------------------------------------------------ thumbnails

// Box-filtered reduction of an RGB picture by the smallest whole factor that
// fits it in the thumbnail size.
Bytes shrink(const unsigned char* rgb, int width, int height, int* out_width, int* out_height) {
    const int factor = std::max({1, (width + kThumbnailWidth - 1) / kThumbnailWidth,
                                 (height + kThumbnailHeight - 1) / kThumbnailHeight});
    const int tw = (width + factor - 1) / factor;
    const int th = (height + factor - 1) / factor;
    Bytes out(std::size_t(tw) * std::size_t(th) * 3);
    for (int ty = 0; ty < th; ++ty) {
        for (int tx = 0; tx < tw; ++tx) {
            unsigned long sum[3] = {0, 0, 0};
            unsigned long count = 0;
            for (int y = ty * factor; y < std::min(height, (ty + 1) * factor); ++y) {
                const unsigned char* p =
                    rgb + (std::size_t(y) * std::size_t(width) + std::size_t(tx) * std::size_t(factor)) * 3;
                for (int x = tx * factor; x < std::min(width, (tx + 1) * factor); ++x, p += 3) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                    ++count;
                }
            }
            unsigned char* q = &out[(std::size_t(ty) * std::size_t(tw) + std::size_t(tx)) * 3];
            for (int c = 0; c < 3; ++c) q[c] = static_cast<unsigned char>((sum[c] + count / 2) / count);
        }
    }
    *out_width = tw;
    *out_height = th;
    return out;
}

// The same stream with its Huffman tables moved to just after SOI, as some
// cameras write their thumbnails.
Bytes huffman_tables_first(const Bytes& jpeg) {
    Bytes tables;
    Bytes others;
    std::size_t at = 2;
    while (at + 1 < jpeg.size() && jpeg[at + 1] != kSos) {
        const std::size_t end = segment_end(jpeg, at);
        Bytes& to = jpeg[at + 1] == kDht ? tables : others;
        to.insert(to.end(), jpeg.begin() + std::ptrdiff_t(at), jpeg.begin() + std::ptrdiff_t(end));
        at = end;
    }
    Bytes out;
    out.reserve(jpeg.size());
    out.push_back(0xFF);
    out.push_back(kSoi);
    out.insert(out.end(), tables.begin(), tables.end());
    out.insert(out.end(), others.begin(), others.end());
    out.insert(out.end(), jpeg.begin() + std::ptrdiff_t(at), jpeg.end());
    return out;
}

Bytes thumbnail(const unsigned char* rgb, int width, int height, bool jfif) {
    int tw = 0;
    int th = 0;
    const Bytes small = shrink(rgb, width, height, &tw, &th);
    JpegOptions options;
    options.quality = kThumbnailQuality;
    options.jfif = jfif;
    const Bytes jpeg = encode_jpeg(small.data(), tw, th, 3, options);
    return jfif ? jpeg : huffman_tables_first(jpeg);
}

std::uint32_t size32(std::size_t size) {
    if (size > 0xFFFFFFFFu) throw std::invalid_argument("picture too large for a multi-picture index");
    return std::uint32_t(size);
}

}  // namespace

std::vector<unsigned char> encode_jpeg(const unsigned char* pixels, int width, int height, int components,
                                       const JpegOptions& options) {
    if (pixels == nullptr) throw std::invalid_argument("encode_jpeg: no pixels");
    if (width < 1 || height < 1 || width > kMaxJpegSide || height > kMaxJpegSide)
        throw std::invalid_argument("encode_jpeg: width and height must be 1 to " +
                                    std::to_string(kMaxJpegSide));
    if (components != 1 && components != 3)
        throw std::invalid_argument("encode_jpeg: components must be 1 or 3");
    if (options.quality < 1 || options.quality > 100)
        throw std::invalid_argument("encode_jpeg: quality must be 1 to 100");
    if (options.h_samp < 1 || options.h_samp > MAX_SAMP_FACTOR || options.v_samp < 1 ||
        options.v_samp > MAX_SAMP_FACTOR)
        throw std::invalid_argument("encode_jpeg: sampling factors must be 1 to " +
                                    std::to_string(MAX_SAMP_FACTOR));

    Compression job;
    const bool ok = compress(&job, pixels, width, height, components, options);
    // libjpeg allocated the buffer with malloc; free it whatever happens next.
    const std::unique_ptr<unsigned char, void (*)(void*)> owner(job.buffer, std::free);
    if (!ok) throw std::runtime_error(std::string("encode_jpeg: ") + job.err.message);
    return Bytes(job.buffer, job.buffer + job.size);
}

std::vector<unsigned char> make_camera_picture(const std::vector<unsigned char>& jpeg,
                                               const std::vector<unsigned char>& thumbnail,
                                               const std::vector<unsigned char>& app2) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != kSoi)
        throw std::invalid_argument("make_camera_picture: not a JPEG stream");
    if (!app2.empty() && (app2.size() < 4 || app2[0] != 0xFF || app2[1] != kApp2 ||
                          segment_length(app2, 0) != app2.size() - 2))
        throw std::invalid_argument("make_camera_picture: app2 must be one whole APP2 segment");

    // Drop the JFIF APP0 and any JFXX extension after it: a camera picture
    // starts with its Exif segment.
    std::size_t rest = 2;
    while (rest + 1 < jpeg.size() && jpeg[rest] == 0xFF && jpeg[rest + 1] == kApp0) {
        const std::size_t end = segment_end(jpeg, rest);
        const std::size_t length = end - rest - 4;
        const unsigned char* id = &jpeg[rest + 4];
        const bool jfif =
            length >= 5 && (std::memcmp(id, "JFIF\0", 5) == 0 || std::memcmp(id, "JFXX\0", 5) == 0);
        if (!jfif) break;
        rest = end;
    }

    const Bytes exif = exif_segment(thumbnail);
    Bytes out;
    out.reserve(2 + exif.size() + app2.size() + (jpeg.size() - rest));
    out.push_back(0xFF);
    out.push_back(kSoi);
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), app2.begin(), app2.end());
    out.insert(out.end(), jpeg.begin() + std::ptrdiff_t(rest), jpeg.end());
    return out;
}

std::vector<unsigned char> make_stereo_mpo(const unsigned char* left_rgb, const unsigned char* right_rgb,
                                           int width, int height, const JpegOptions& options) {
    if (left_rgb == nullptr || right_rgb == nullptr)
        throw std::invalid_argument("make_stereo_mpo: no pixels");
    const Bytes left = encode_jpeg(left_rgb, width, height, 3, options);
    const Bytes right = encode_jpeg(right_rgb, width, height, 3, options);
    const Bytes left_thumbnail = thumbnail(left_rgb, width, height, true);
    const Bytes right_thumbnail = thumbnail(right_rgb, width, height, false);

    const Bytes second = make_camera_picture(right, right_thumbnail, mpf_attribute_segment(2));
    // First pass with placeholder values, to learn where everything lands.
    Bytes first = make_camera_picture(left, left_thumbnail, mpf_index_segment(0, 0, 0));
    // SOI, APP1, then our APP2: its MP header follows FF E2, length and "MPF\0".
    const std::size_t app2_at = 2 + 2 + segment_length(first, 2);
    const std::size_t mp_header_at = app2_at + 8;
    const std::size_t first_size = first.size();
    // The second picture's offset counts from the first picture's MP header.
    first = make_camera_picture(
        left, left_thumbnail,
        mpf_index_segment(size32(first_size), size32(second.size()), size32(first_size - mp_header_at)));
    if (first.size() != first_size)
        throw std::logic_error("make_stereo_mpo: the index changed size between passes");

    Bytes out;
    out.reserve(first.size() + second.size());
    out.insert(out.end(), first.begin(), first.end());
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

// The JPEG side of mpoalign: grey search copies made while the views are
// decoded, and each corrected view resampled from its decoded rows and
// encoded into memory with its camera's Exif and multi-picture segments,
// ready for the MPO writer.
#ifndef MPOALIGN_ALIGNED_VIEWS_HPP
#define MPOALIGN_ALIGNED_VIEWS_HPP

#include <cstdio>
#include <vector>

#include "features.hpp"
#include "file_io.hpp"
#include "jpeg_io.hpp"
#include "resample.hpp"

// Decodes the view whose header `reader` has read, a group of rows at a time
// through `group`, into the grey search copy reduced by `factor` and the
// finer copy reduced by `fine_factor`. Only its luma is decoded, and as much
// of the reduction as the factors share is left to the decoder's scaled
// inverse DCT (halving up to three times), which is integer arithmetic in
// libjpeg and the cheapest part of the work.
void decode_search_copies(JpegReader* reader, int factor, int fine_factor, ByteBuffer* group,
                          GreyBuilder* grey, GreyBuilder* fine);

// The payloads of the picture's first Exif segment (APP1 beginning
// "Exif\0\0") and first multi-picture segment (APP2 beginning "MPF\0"),
// read from its header segments at the start of `picture`; each empty when
// it has none. The multi-picture segment is carried only so that the MPO
// writer finds the camera's convergence angle and baseline in it: the
// writer replaces it.
struct CameraSegments {
    std::vector<unsigned char> exif, mpf;
};
CameraSegments camera_segments(FILE* picture);

struct MemoryJpeg;

// The library's destination manager, and the compressor it belongs to.
struct MemoryDestination {
    jpeg_destination_mgr manager;  // first: the library's pointer to it leads to the rest
    MemoryJpeg* owner;
};

// A compressor that writes into memory, with the tools' error manager. The
// library's structures point at each other, so it never moves.
struct MemoryJpeg {
    MemoryJpeg() = default;
    MemoryJpeg(const MemoryJpeg&) = delete;
    MemoryJpeg& operator=(const MemoryJpeg&) = delete;
    ~MemoryJpeg();
    jpeg_compress_struct cinfo{};
    JpegErrors errors;
    bool created = false;
    MemoryDestination destination{};
    std::vector<unsigned char> chunk;  // what the library fills
    std::vector<unsigned char> bytes;  // the picture so far
};

// Resamples one corrected view from the decoded `view` (header's geometry,
// RGB) by `warp` and encodes it into `jpeg` at the tools' quality, with the
// camera's Exif segment (if any) as its first segment, then its
// multi-picture segment (if any). `group` holds the rows
// between the two. A fatal library error returns to `fatal_error`; false
// when memory cannot be had.
bool encode_corrected_view(const ByteBuffer& view, const HeaderRecord& header, const ViewWarp& warp,
                           const CameraSegments& camera, const char* arg, std::jmp_buf* fatal_error,
                           ByteBuffer* group, MemoryJpeg* jpeg);

#endif

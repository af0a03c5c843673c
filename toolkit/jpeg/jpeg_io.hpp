// Decoding one JPEG stream into an RGB raster, and encoding a raster as the
// tools' output, through libjpeg with its standard error manager: a fatal
// library error prints the library's message and ends the process.
#ifndef STEREO_TOOLKIT_JPEG_IO_HPP
#define STEREO_TOOLKIT_JPEG_IO_HPP

#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <jpeglib.h>

// Every output is written at this quality with baseline tables: high enough
// that re-encoding a camera picture loses nothing visible, and what viewers
// of stereo pictures expect from these tools.
constexpr int kJpegQuality = 95;

// The geometry that travels from the decoder to the encoder.
struct HeaderRecord {
    JDIMENSION image_width = 0;
    JDIMENSION image_height = 0;
    int num_components = 0;  // samples per pixel in the raster
};

// A raster is always written in full (by the decoder or by a composing rule)
// before it is read, so its memory is not zeroed first: for a camera picture
// that saves a pass over some 30 MB.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Interleaved 8-bit samples, rows top to bottom without gaps.
using Raster = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;

// width x height x components, or false when the product does not fit size_t.
bool raster_size(size_t width, size_t height, size_t components, size_t* bytes);

// Sizes `raster` to `bytes`; false when the memory cannot be had.
bool allocate_raster(Raster* raster, size_t bytes);

// Where a decoded picture goes in its raster: rows of `views_per_row`
// pictures side by side, this one in column `column`. The side-by-side tool
// decodes both views straight into their halves of its output, which saves
// a whole view's memory and two copies.
struct ViewPlacement {
    size_t views_per_row = 1;
    size_t column = 0;
};

// Decodes the JPEG stream at the current position of `in` with the library's
// default settings into `raster` (sized here, as `placement` asks), and
// describes the picture in `header`. Returns false (with nothing allocated)
// when the raster's memory cannot be had, or when the picture declares more
// pixels than the machine could hold. Does not close the stream.
bool read_jpeg_file(FILE* in, HeaderRecord* header, Raster* raster,
                    ViewPlacement placement = ViewPlacement());

// read_jpeg_file in two steps, for a caller that chooses where the rows go
// once it knows the picture's geometry. begin_jpeg_decode reads the header,
// refuses (false, nothing left to release) a picture that could not be held
// in memory, starts the decoder and describes the picture in `header`. One
// of the finishing steps follows; each releases the decoder and returns
// false when memory cannot be had. finish_jpeg_decode writes row y of the
// picture at dest + y * stride; finish_jpeg_decode_new into a new raster.
bool begin_jpeg_decode(FILE* in, jpeg_decompress_struct* cinfo, jpeg_error_mgr* jerr, HeaderRecord* header);
bool finish_jpeg_decode(jpeg_decompress_struct* cinfo, unsigned char* dest, size_t stride);
bool finish_jpeg_decode_new(jpeg_decompress_struct* cinfo, const HeaderRecord& header, Raster* raster,
                            ViewPlacement placement);

// Writes `raster` (header.image_height rows of image_width x num_components
// bytes, RGB) to `filename` as a baseline JPEG of quality 95. Returns 1, or -1
// when the file cannot be created or its last bytes cannot be stored (the
// incomplete file is then removed).
int write_jpeg_file(HeaderRecord header, const unsigned char* raster, const char* filename);

#endif

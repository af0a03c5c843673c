#include "stereo_pair.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "batch.hpp"

namespace {

constexpr int kRgbComponents = 3;

// The tools hold a few rows, not whole views, but what a view may declare is
// still bounded: a few hundred bytes can declare 65500 x 65500 pixels, which
// would be decoded and encoded as minutes of grey, and libjpeg keeps all the
// coefficients of a progressive picture while it decodes it. A view whose
// raster would take more than a quarter of the memory the program may have
// is refused.
constexpr size_t kMemoryShareOfAView = 4;

bool fits_in_memory(const HeaderRecord& header) {
    const size_t width = header.image_width, height = header.image_height;
    const size_t components = static_cast<size_t>(header.num_components);
    const size_t limit = usable_memory() / kMemoryShareOfAView;
    // Each product is checked against the limit before the next one is formed.
    return width * components <= limit && (height == 0 || width * components <= limit / height);
}

void report_temporary_file_error(const char* arg, int error) {
    report_diagnostic(arg,
                      (std::string("cannot stage a view in a temporary file: ") + strerror(error)).c_str());
    printf("Error creating temporary file for %s\n", arg);
}

// Copies picture j's bytes into a new anonymous temporary file, rewound and
// ready for the decoder. A picture cut short in its temporary file would
// decode as a damaged one, so a failed write counts as a failed file.
bool stage_picture(FILE* in, StartTable* table, int count, int j, const char* arg, ByteBuffer* buffer,
                   FilePtr* stage) {
    stage->reset(open_temporary());
    if (*stage && copy_picture(in, table, count, j, stage->get(), buffer) && fflush(stage->get()) == 0) {
        rewind(stage->get());
        return true;
    }
    report_temporary_file_error(arg, errno);
    stage->reset();
    return false;
}

// Stages picture j and reads its header; false, having said why, when it
// cannot be staged or declares more than the machine could hold.
bool load_view(FILE* in, StartTable* table, int count, int j, const char* arg, std::jmp_buf* fatal_error,
               ByteBuffer* buffer, FilePtr* stage, JpegReader* reader, HeaderRecord* header) {
    if (!stage_picture(in, table, count, j, arg, buffer, stage)) return false;
    read_jpeg_header(stage->get(), arg, fatal_error, reader, header);
    if (!fits_in_memory(*header)) {
        report_out_of_memory(arg);
        return false;
    }
    return true;
}

// Sizes a group buffer of `row_bytes` per row and points `pointers` at its rows.
bool allocate_group(size_t row_bytes, ByteBuffer* group, std::vector<JSAMPROW>* pointers) {
    if (!allocate_buffer(group, row_bytes * kRowGroup)) return false;
    try {
        pointers->resize(kRowGroup);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (JDIMENSION y = 0; y < kRowGroup; ++y) (*pointers)[y] = group->data() + y * row_bytes;
    return true;
}

}  // namespace

bool load_stereo_pair(FILE* in, StartTable* table, int count, const char* arg, size_t views_per_row,
                      StereoRows* rows) {
    rows->arg = arg;
    rows->views_per_row = views_per_row;
    if (count < 2) {
        printf("File %s does not contain two pictures\n", arg);
        return false;
    }

    HeaderRecord left, right;
    // The staging buffer is only needed until both views are staged. It is
    // held by `rows`, like everything else the pipeline owns, so that no frame
    // between the hook and the library owns memory (see stereo_pair.hpp).
    if (!make_copy_buffer(in, table, count, 2, &rows->stage_buffer)) {
        report_out_of_memory(arg);
        return false;
    }
    if (!load_view(in, table, count, 0, arg, &rows->fatal_error, &rows->stage_buffer, &rows->left_stage,
                   &rows->left_reader, &left) ||
        !load_view(in, table, count, 1, arg, &rows->fatal_error, &rows->stage_buffer, &rows->right_stage,
                   &rows->right_reader, &right)) {
        return false;
    }
    rows->stage_buffer = ByteBuffer();

    if (left.image_width != right.image_width || left.image_height != right.image_height) {
        printf("File %s has views of different sizes\n", arg);
        return false;
    }
    if (left.num_components != kRgbComponents || right.num_components != kRgbComponents) {
        printf("File %s has views that are not RGB\n", arg);
        return false;
    }
    // libjpeg writes pictures of at most JPEG_MAX_DIMENSION pixels a side.
    if (left.image_width > JPEG_MAX_DIMENSION / views_per_row) {
        printf("File %s is too wide for a side-by-side picture\n", arg);
        return false;
    }

    rows->header = right;
    rows->width = right.image_width;
    const size_t row_bytes = rows->width * kRgbComponents;
    if (!allocate_group(row_bytes, &rows->left_group, &rows->left_rows) ||
        !allocate_group(row_bytes, &rows->right_group, &rows->right_rows) ||
        !allocate_group(row_bytes * views_per_row, &rows->out_group, &rows->out_rows)) {
        report_out_of_memory(arg);
        return false;
    }
    return true;
}

bool start_stereo_output(const std::string& output_name, StereoRows* rows) {
    report_writing(output_name);
    HeaderRecord output = rows->header;
    output.image_width *= static_cast<JDIMENSION>(rows->views_per_row);
    if (write_jpeg_file(output, output_name, rows->arg, &rows->fatal_error, &rows->writer) != 1) return false;
    start_jpeg_read(&rows->left_reader);
    start_jpeg_read(&rows->right_reader);
    return true;
}

bool start_composing(FILE* in, StartTable* table, int count, const char* arg, const char* suffix,
                     size_t views_per_row, StereoRows* rows) {
    if (!load_stereo_pair(in, table, count, arg, views_per_row, rows)) return false;
    // The name is kept in `rows` too, for the same reason as the staging buffer.
    rows->writer.name = derive_output_name(arg, suffix);
    return start_stereo_output(rows->writer.name, rows);
}

bool next_stereo_row(StereoRows* rows) {
    if (rows->next_in_group == rows->rows_in_group) {
        // The group is composed: on to the encoder, and the next one in.
        if (rows->rows_in_group > 0)
            write_jpeg_rows(&rows->writer, rows->out_rows.data(), rows->rows_in_group);
        const JDIMENSION remaining = rows->header.image_height - rows->rows_read;
        rows->rows_in_group = remaining < kRowGroup ? remaining : kRowGroup;
        rows->next_in_group = 0;
        if (rows->rows_in_group == 0) return false;
        read_jpeg_rows(&rows->left_reader, rows->left_rows.data(), rows->rows_in_group);
        read_jpeg_rows(&rows->right_reader, rows->right_rows.data(), rows->rows_in_group);
        rows->rows_read += rows->rows_in_group;
    }
    const JDIMENSION y = rows->next_in_group++;
    rows->left = rows->left_rows[y];
    rows->right = rows->right_rows[y];
    rows->out = rows->out_rows[y];
    return true;
}

bool finish_stereo_output(StereoRows* rows) {
    finish_jpeg_read(&rows->left_reader);
    finish_jpeg_read(&rows->right_reader);
    return finish_jpeg_file(&rows->writer) == 1;
}

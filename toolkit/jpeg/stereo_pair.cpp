#include "stereo_pair.hpp"

#include <vector>

#include "batch.hpp"

namespace {

constexpr int kRgbComponents = 3;

// Copies picture j's bytes into a new anonymous temporary file, rewound and
// ready for the decoder. A picture cut short in its temporary file would
// decode as a damaged one, so a failed write counts as a failed file.
bool stage_picture(FILE* in, StartTable* table, int count, int j, std::vector<unsigned char>* buffer,
                   FilePtr* stage) {
    stage->reset(open_temporary());
    if (!*stage) return false;
    if (!copy_picture(in, table, count, j, stage->get(), buffer) || fflush(stage->get()) != 0) {
        stage->reset();
        return false;
    }
    rewind(stage->get());
    return true;
}

bool same_size(const HeaderRecord& a, const HeaderRecord& b) {
    return a.image_width == b.image_width && a.image_height == b.image_height;
}

// Decodes the right view into the left view's raster when the caller placed
// both views in one raster and they match; into a raster of its own
// otherwise (a pair that does not match is then refused like any other).
bool decode_right_view(FILE* stage, const HeaderRecord& left_header, ViewPlacement placement,
                       StereoPair* pair) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    if (!begin_jpeg_decode(stage, &cinfo, &jerr, &pair->header)) return false;
    const HeaderRecord& header = pair->header;
    if (placement.views_per_row > 1 && same_size(left_header, header) &&
        left_header.num_components == header.num_components) {
        const size_t row_bytes = static_cast<size_t>(header.image_width) * header.num_components;
        return finish_jpeg_decode(&cinfo, pair->left.data() + row_bytes * placement.column,
                                  row_bytes * placement.views_per_row);
    }
    return finish_jpeg_decode_new(&cinfo, header, &pair->right, ViewPlacement());
}

}  // namespace

bool load_stereo_pair(FILE* in, StartTable* table, int count, const char* arg, StereoPair* pair,
                      ViewPlacement left_placement, ViewPlacement right_placement) {
    if (count < 2) {
        printf("File %s does not contain two pictures\n", arg);
        return false;
    }
    std::vector<unsigned char> buffer;
    if (!make_copy_buffer(&buffer)) {
        report_out_of_memory(arg);
        return false;
    }

    if (!stage_picture(in, table, count, 0, &buffer, &pair->left_stage)) {
        printf("Error creating temporary file for %s\n", arg);
        return false;
    }
    if (!read_jpeg_file(pair->left_stage.get(), &pair->header, &pair->left, left_placement)) {
        report_out_of_memory(arg);
        return false;
    }
    const HeaderRecord left_header = pair->header;
    if (!stage_picture(in, table, count, 1, &buffer, &pair->right_stage)) {
        printf("Error creating temporary file for %s\n", arg);
        return false;
    }
    if (!decode_right_view(pair->right_stage.get(), left_header, right_placement, pair)) {
        report_out_of_memory(arg);
        return false;
    }

    const HeaderRecord& right_header = pair->header;
    if (!same_size(left_header, right_header)) {
        printf("File %s has views of different sizes\n", arg);
        return false;
    }
    if (left_header.num_components != kRgbComponents || right_header.num_components != kRgbComponents) {
        printf("File %s has views that are not RGB\n", arg);
        return false;
    }
    return true;
}

size_t view_pixels(const HeaderRecord& header) {
    return static_cast<size_t>(header.image_width) * header.image_height;
}

void write_composed(const HeaderRecord& header, const unsigned char* raster, const std::string& output_name) {
    report_writing(output_name);
    write_jpeg_file(header, raster, output_name.c_str());
}

#include "stereo_pair.hpp"

#include <new>
#include <vector>

#include "batch.hpp"

namespace {

constexpr int kRgbComponents = 3;

enum class StageResult { kStaged, kNoMemory, kNoTemporaryFile };

// Copies picture j's bytes into a new anonymous temporary file, rewound and
// ready for the decoder.
StageResult stage_picture(FILE* in, StartTable* table, int count, int j, std::vector<unsigned char>* buffer,
                          FilePtr* stage) {
    const bool have_end = store_end_if_last(in, table, count, j);
    const long long begin = (*table)[j];
    const long long length = have_end ? (*table)[j + 1] - begin : -1;

    stage->reset(tmpfile());
    if (!*stage) return StageResult::kNoTemporaryFile;
    // A picture cut short in its temporary file would decode as a damaged
    // one, so a failed write counts as a failed temporary file.
    if (!copy_bytes(in, begin, length, stage->get(), buffer) || fflush(stage->get()) != 0) {
        stage->reset();
        return StageResult::kNoTemporaryFile;
    }
    rewind(stage->get());
    return StageResult::kStaged;
}

}  // namespace

bool load_stereo_pair(FILE* in, StartTable* table, int count, const char* arg, StereoPair* pair,
                      ViewPlacement left_placement) {
    if (count < 2) {
        printf("File %s does not contain two pictures\n", arg);
        return false;
    }
    std::vector<unsigned char> buffer;
    try {
        buffer.resize(kCopyChunk);
    } catch (const std::bad_alloc&) {
        report_out_of_memory(arg);
        return false;
    }

    HeaderRecord left_header;
    FilePtr* stages[2] = {&pair->left_stage, &pair->right_stage};
    Raster* rasters[2] = {&pair->left, &pair->right};
    for (int j = 0; j < 2; ++j) {
        const StageResult staged = stage_picture(in, table, count, j, &buffer, stages[j]);
        if (staged == StageResult::kNoTemporaryFile) {
            printf("Error creating temporary file for %s\n", arg);
            return false;
        }
        if (!read_jpeg_file(stages[j]->get(), &pair->header, rasters[j],
                            j == 0 ? left_placement : ViewPlacement())) {
            report_out_of_memory(arg);
            return false;
        }
        if (j == 0) left_header = pair->header;
    }

    const HeaderRecord& right_header = pair->header;
    if (left_header.image_width != right_header.image_width ||
        left_header.image_height != right_header.image_height) {
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

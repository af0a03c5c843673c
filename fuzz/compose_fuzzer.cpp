// libFuzzer target for the composing tools' per-file work: the input, after
// its first byte, is written as an MPO file into a private folder and goes
// through the batch driver and the stereo pipeline with one of the three
// rules (the first byte picks it: 0 Dubois's anaglyph, 1 the colour
// anaglyph, 2 side by side), as korventale, trismoldaven and vostrin handle
// an argument. The library's fatal errors come back to the hook, as in the
// tools (see stereo_pair.hpp).
//
// Checked after every run, any violation aborting:
// - a fatal library error leaves no output behind, and the file counts as
//   not converted;
// - a file refused by the pipeline is said to be on standard output, and
//   leaves no output;
// - a converted file was announced, and its output is a complete JPEG
//   picture that decodes without a warning to the announced size: the
//   views' height, and their width once or twice;
// - the status agrees with all this; the input is unchanged; nothing else
//   was created in the folder.
// The sanitizers check every byte the pipeline and the library touch.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "batch.hpp"
#include "colour_anaglyph.hpp"
#include "dubois.hpp"
#include "fuzz_support.hpp"
#include "side_by_side.hpp"
#include "stereo_pair.hpp"

namespace {

// Views of more pixels than this are not decoded here (the fuzzer's own
// refusal, taken after every check of the headers): a few hundred bytes can
// declare a picture that takes seconds to decode and encode under the
// sanitizers, which would only slow the search down. The same bound as
// libjpeg-turbo's own fuzz targets, one megapixel.
constexpr uint64_t kMaxFuzzedPixels = uint64_t{1} << 20;

enum Rule { kDubois, kColour, kSideBySide, kRules };

// This run: the rule, and what happened.
struct Run {
    Rule rule = kDubois;
    bool fatal = false;      // a fatal library error came back
    bool too_large = false;  // not decoded here: see kMaxFuzzedPixels
    bool announced = false;  // "Writing file" was printed
    JDIMENSION width = 0;    // of the output, once announced
    JDIMENSION height = 0;
};

std::string g_folder;
std::string g_input;
std::string g_output;
Run g_run;

size_t views_per_row(Rule rule) {
    return rule == kSideBySide ? 2 : 1;
}

void compose_row(Rule rule, const StereoRows& rows) {
    switch (rule) {
        case kDubois:
            dubois_anaglyph(rows.left, rows.right, rows.out, rows.width);
            break;
        case kColour:
            colour_anaglyph(rows.left, rows.right, rows.out, rows.width);
            break;
        default:
            side_by_side(rows.left, rows.right, rows.out, rows.width);
            break;
    }
}

// A composing tool's hook, as the tools have it, with the fuzzer's bound on
// the size and a note of a fatal error.
bool compose_into(FILE* in, StartTable* table, int count, const char* arg, StereoRows* rows) {
    if (setjmp(rows->fatal_error) != 0) {
        g_run.fatal = true;
        return false;
    }
    if (!load_stereo_pair(in, table, count, arg, views_per_row(g_run.rule), rows)) return false;
    if (uint64_t{rows->header.image_width} * rows->header.image_height > kMaxFuzzedPixels) {
        g_run.too_large = true;
        return false;
    }
    g_run.announced = true;
    g_run.width = rows->header.image_width * static_cast<JDIMENSION>(views_per_row(g_run.rule));
    g_run.height = rows->header.image_height;
    if (!start_stereo_output(g_output, rows)) return false;
    while (next_stereo_row(rows)) compose_row(g_run.rule, *rows);
    return finish_stereo_output(rows);
}

bool compose(FILE* in, StartTable* table, int count, const char* arg) {
    StereoRows rows;
    return compose_into(in, table, count, arg, &rows);
}

// The fuzzer's own decoder, a fatal error of which returns false: no object
// with a destructor lives between its setjmp and the library.
struct JumpingErrors {
    jpeg_error_mgr manager;
    std::jmp_buf back;
};

void jump_back(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JumpingErrors*>(cinfo->err)->back, 1);
}

void count_warnings(j_common_ptr cinfo, int level) {
    if (level < 0) ++cinfo->err->num_warnings;
}

// Decodes all of a JPEG stream; true when it decodes without an error or a
// warning to `width` x `height` RGB pixels.
bool decodes_cleanly(const Bytes& jpeg, JDIMENSION width, JDIMENSION height) {
    jpeg_decompress_struct cinfo;
    JumpingErrors errors;
    cinfo.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jump_back;
    errors.manager.emit_message = count_warnings;
    jpeg_create_decompress(&cinfo);
    if (setjmp(errors.back) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    const bool geometry =
        cinfo.output_width == width && cinfo.output_height == height && cinfo.output_components == 3;
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                cinfo.output_width * cinfo.output_components, 1);
    while (cinfo.output_scanline < cinfo.output_height) jpeg_read_scanlines(&cinfo, row, 1);
    jpeg_finish_decompress(&cinfo);
    const bool clean = errors.manager.num_warnings == 0;
    jpeg_destroy_decompress(&cinfo);
    return geometry && clean;
}

// Whether standard output holds a line besides the announcement of the
// output (the banner is empty here): a refusal of the file.
bool reports_a_refusal(const std::string& out) {
    size_t line = 0;
    while (line < out.size()) {
        const size_t end = out.find('\n', line);
        const size_t stop = end == std::string::npos ? out.size() : end;
        if (out.compare(line, 13, "Writing file ") != 0) return true;
        line = stop + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_folder = make_scratch_folder("compose_fuzzer");
    g_input = g_folder + "/in.mpo";
    g_output = g_folder + "/out.jpg";
    capture_standard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    g_run = Run();
    g_run.rule = static_cast<Rule>(data[0] % kRules);
    const uint8_t* mpo = data + 1;
    const size_t mpo_size = size - 1;
    write_whole(g_input, mpo, mpo_size);

    const int status = run_batch_on(g_input, compose);
    const std::string out = captured_output();

    Bytes written;
    const bool exists = read_whole(g_output, &written);
    const bool converted = status == kAllConverted;
    fuzz_check(status == kAllConverted || status == kSomeNotConverted, "an exit status other than 0 or 1");
    if (g_run.fatal) {
        fuzz_check(!converted, "a fatal library error reported as converted");
        fuzz_check(!exists, "an output left behind by a fatal library error");
    } else if (converted) {
        fuzz_check(g_run.announced && !reports_a_refusal(out), "a converted file not announced, or refused");
        fuzz_check(exists, "the announced output is missing");
        fuzz_check(decodes_cleanly(written, g_run.width, g_run.height),
                   "the output is incomplete, damaged or not of the announced size");
    } else {
        fuzz_check(g_run.too_large || reports_a_refusal(out), "a file not converted without a reason");
        fuzz_check(!exists, "an output left behind by a refused file");
    }

    std::set<std::string> expected = {"in.mpo"};
    if (converted) expected.insert("out.jpg");
    fuzz_check(folder_entries(g_folder) == expected, "files other than the output were created");
    check_input_unchanged(g_input, mpo, mpo_size);
    empty_folder(g_folder);
    return 0;
}

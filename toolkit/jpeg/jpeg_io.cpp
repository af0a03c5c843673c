#include "jpeg_io.hpp"

#include <cstdlib>

#include "batch.hpp"

namespace {

// The library's message, under the tool's name and the input it concerns,
// so that a log of a long batch tells which file was damaged.
void print_library_message(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    report_diagnostic(static_cast<const char*>(cinfo->client_data), text);
}

// The library's own error exit prints the message and ends the process;
// here the message is printed the same way and the file alone is given up.
void return_from_fatal_error(j_common_ptr cinfo) {
    (*cinfo->err->output_message)(cinfo);
    std::jmp_buf* fatal_error = reinterpret_cast<JpegErrors*>(cinfo->err)->fatal_error;
    if (fatal_error != nullptr) std::longjmp(*fatal_error, 1);
    jpeg_destroy(cinfo);
    exit(EXIT_FAILURE);
}

}  // namespace

void use_error_manager(j_common_ptr cinfo, const char* arg, std::jmp_buf* fatal_error, JpegErrors* errors) {
    cinfo->err = jpeg_std_error(&errors->manager);
    errors->manager.output_message = print_library_message;
    errors->manager.error_exit = return_from_fatal_error;
    errors->fatal_error = fatal_error;
    cinfo->client_data = const_cast<char*>(arg);
}

JpegReader::~JpegReader() {
    if (created) jpeg_destroy_decompress(&cinfo);
}

JpegWriter::~JpegWriter() {
    if (created) jpeg_destroy_compress(&cinfo);
    if (file) {
        file.reset();
        discard_output();
    }
}

void read_jpeg_header(FILE* in, const char* arg, std::jmp_buf* fatal_error, JpegReader* reader,
                      HeaderRecord* header) {
    jpeg_decompress_struct* cinfo = &reader->cinfo;
    use_error_manager(reinterpret_cast<j_common_ptr>(cinfo), arg, fatal_error, &reader->errors);
    jpeg_create_decompress(cinfo);
    reader->created = true;
    jpeg_stdio_src(cinfo, in);
    jpeg_read_header(cinfo, TRUE);
    // The output geometry and samples per pixel, without starting to decode.
    jpeg_calc_output_dimensions(cinfo);
    header->image_width = cinfo->output_width;
    header->image_height = cinfo->output_height;
    header->num_components = cinfo->output_components;
}

void start_jpeg_read(JpegReader* reader) {
    jpeg_start_decompress(&reader->cinfo);
}

void read_jpeg_rows(JpegReader* reader, JSAMPARRAY rows, JDIMENSION count) {
    // The library may hand out fewer rows than asked for per call.
    for (JDIMENSION done = 0; done < count;) {
        done += jpeg_read_scanlines(&reader->cinfo, rows + done, count - done);
    }
}

void finish_jpeg_read(JpegReader* reader) {
    jpeg_finish_decompress(&reader->cinfo);
}

int write_jpeg_file(const HeaderRecord& header, const std::string& filename, const char* arg,
                    std::jmp_buf* fatal_error, JpegWriter* writer) {
    writer->name = filename;
    writer->file.reset(create_output(writer->name));
    if (!writer->file) return -1;

    jpeg_compress_struct* cinfo = &writer->cinfo;
    use_error_manager(reinterpret_cast<j_common_ptr>(cinfo), arg, fatal_error, &writer->errors);
    jpeg_create_compress(cinfo);
    writer->created = true;
    jpeg_stdio_dest(cinfo, writer->file.get());

    // The geometry and colour space first: jpeg_set_defaults chooses the
    // rest (the JPEG colour space, sampling, tables) from them.
    cinfo->image_width = header.image_width;
    cinfo->image_height = header.image_height;
    cinfo->input_components = header.num_components;
    cinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, kJpegQuality, TRUE);
    jpeg_start_compress(cinfo, TRUE);
    return 1;
}

void write_jpeg_rows(JpegWriter* writer, JSAMPARRAY rows, JDIMENSION count) {
    jpeg_write_scanlines(&writer->cinfo, rows, count);
}

int finish_jpeg_file(JpegWriter* writer) {
    jpeg_finish_compress(&writer->cinfo);
    // The library has flushed and checked its own writes; what the system
    // still holds back must reach the file too, or the picture is incomplete.
    return close_output(&writer->file, writer->name, true, 0) ? 1 : -1;
}

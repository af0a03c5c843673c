#include "join.hpp"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <string>

#include "batch.hpp"
#include "mpo_writer.hpp"

namespace {

// brantelix's names: NAME_L.jpg and NAME_R.jpg for NAME.mpo.
constexpr const char* kLeftMark = "_L";
constexpr const char* kRightMark = "_R";
constexpr size_t kMarkLength = 2;
constexpr const char* kPictureExtension = ".jpg";
constexpr size_t kExtensionLength = 4;
constexpr const char* kMpoExtension = ".mpo";

// Whether `arg` names a left picture: the mark as brantelix writes it, the
// extension in any case, since cameras and editors write .JPG too.
bool is_left_picture(const std::string& arg) {
    if (arg.size() < kMarkLength + kExtensionLength) return false;
    const size_t extension = arg.size() - kExtensionLength;
    for (size_t k = 0; k < kExtensionLength; ++k) {
        if (std::tolower(static_cast<unsigned char>(arg[extension + k])) != kPictureExtension[k])
            return false;
    }
    return arg.compare(extension - kMarkLength, kMarkLength, kLeftMark) == 0;
}

// Reads the whole of `in` into `bytes`. False, having said why, when it is
// not a file of a size the MPO's offsets can hold, the memory cannot be had,
// or it cannot be read. `name` is the file's; `arg` the argument's, which
// the memory message names as the other tools' do.
bool read_picture(FILE* in, const std::string& name, const char* arg, ByteBuffer* bytes) {
    if (!is_regular_file(in)) {
        report_diagnostic(name.c_str(), "not a regular file");
        return false;
    }
    if (seek_file(in, 0, SEEK_END) != 0) {
        report_system_error(name.c_str(), errno);
        return false;
    }
    const long long size = tell_file(in);
    if (size < 0 || size > INT32_MAX || seek_file(in, 0, SEEK_SET) != 0) {
        report_diagnostic(name.c_str(), "too large: 2 GiB or more");
        return false;
    }
    if (!allocate_buffer(bytes, static_cast<size_t>(size))) {
        report_out_of_memory(arg);
        return false;
    }
    const size_t got = fread(bytes->data(), 1, bytes->size(), in);
    if (got < bytes->size() && ferror(in) != 0) {
        report_system_error(name.c_str(), errno);
        return false;
    }
    bytes->resize(got);  // a file that shrank meanwhile: what there is, which the check then judges
    return true;
}

}  // namespace

bool join_pair(FILE* in, StartTable* /*table*/, int /*count*/, const char* arg) {
    const std::string left_name = arg;
    if (!is_left_picture(left_name)) {
        report_diagnostic(arg, "not a left picture: the name must end in _L.jpg");
        return false;
    }
    const std::string stem = left_name.substr(0, left_name.size() - kMarkLength - kExtensionLength);
    const std::string right_name = stem + kRightMark + left_name.substr(left_name.size() - kExtensionLength);
    FilePtr right_in(open_input(right_name.c_str()));
    if (!right_in) {
        report_system_error(right_name.c_str(), errno);
        return false;
    }
    ByteBuffer left;
    ByteBuffer right;
    if (!read_picture(in, left_name, arg, &left) || !read_picture(right_in.get(), right_name, arg, &right)) {
        return false;
    }
    std::string why;
    if (!check_mpo_picture(left.data(), left.size(), &why)) {
        report_diagnostic(arg, why.c_str());
        return false;
    }
    if (!check_mpo_picture(right.data(), right.size(), &why)) {
        report_diagnostic(right_name.c_str(), why.c_str());
        return false;
    }
    const std::string name = stem + kMpoExtension;
    FilePtr out(create_output(name));
    if (!out) return false;
    const bool written = write_mpo(out.get(), left.data(), left.size(), right.data(), right.size(), &why);
    const int error = errno;
    if (written) report_writing(name);
    return close_output(&out, name, written, error);
}

#include "test_support.hpp"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "platform.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {
std::string g_bin_dir;
std::string g_samples_dir;

// The child's command line as a list: the wrapper, then the program.
std::vector<std::string> command_of(const std::string& tool, const std::vector<std::string>& args,
                                    const RunOptions& options) {
    std::vector<std::string> command = options.wrapper;
#if defined(_WIN32)
    command.push_back(g_bin_dir + "/" + tool + ".exe");
#else
    command.push_back(g_bin_dir + "/" + tool);
#endif
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

#if defined(_WIN32)
std::wstring widened(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) throw std::runtime_error("not UTF-8: " + text);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

// Appends one argument so that the C runtime of the child splits it back out
// unchanged: quoted when it has blanks or quotes or is empty; backslashes
// doubled only before a quote, which gets one of its own.
void append_argument(std::wstring* line, const std::wstring& arg) {
    if (!line->empty()) *line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *line += arg;
        return;
    }
    *line += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line->append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        *line += c;
    }
    line->append(2 * backslashes, L'\\');
    *line += L'"';
}

// The test's environment with `extra` added, as CreateProcessW takes it.
std::wstring environment_with(const std::vector<std::string>& extra) {
    std::wstring block;
    wchar_t* inherited = GetEnvironmentStringsW();
    for (const wchar_t* entry = inherited; *entry != L'\0'; entry += wcslen(entry) + 1) {
        bool replaced = false;
        for (const std::string& e : extra) {
            const std::wstring name = widened(e.substr(0, e.find('=') + 1));
            replaced = replaced || _wcsnicmp(entry, name.c_str(), name.size()) == 0;  // names ignore case
        }
        if (!replaced) block.append(entry).push_back(L'\0');
    }
    FreeEnvironmentStringsW(inherited);
    for (const std::string& e : extra) block.append(widened(e)).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// A file that takes one of the child's outputs, read once the child has
// ended (so neither output can fill up and stall it); gone once closed.
HANDLE output_file() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"out", 0, name) == 0) {
        throw std::runtime_error("cannot name a file for a tool's output");
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    const HANDLE file =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create a file for a tool's output");
    return file;
}

std::string contents_of(HANDLE file) {
    std::string text;
    char buffer[65536];
    DWORD n = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    CloseHandle(file);
    // The tools' streams are in text mode, which writes every \n as \r\n; the
    // tests compare the text as written on POSIX.
    std::string lines;
    for (size_t k = 0; k < text.size(); ++k) {
        if (text[k] != '\r' || k + 1 == text.size() || text[k + 1] != '\n') lines += text[k];
    }
    return lines;
}
#else
void remove_tree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);  // tests may leave read-only folders behind
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..") continue;
                std::string child = path + "/";
                child += name;
                remove_tree(child);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// Reads both pipes together so that neither can fill up and stall the child.
void drain(int out_fd, int err_fd, RunResult* result) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result->out, &result->err};
    int open_count = 2;
    char buffer[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[k]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open_count;
            }
        }
    }
}
#endif
}  // namespace

void set_test_dirs(const std::string& bin, const std::string& samples) {
    g_bin_dir = bin;
    g_samples_dir = samples;
}

const std::string& bin_dir() {
    return g_bin_dir;
}
const std::string& samples_dir() {
    return g_samples_dir;
}

bool samples_dir_absent() {
    std::error_code error;
    return g_samples_dir.empty() ||
           !std::filesystem::is_directory(std::filesystem::u8path(g_samples_dir), error);
}

std::string sample_file(const char* name) {
    return g_samples_dir + "/" + name;
}

Bytes read_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot read " + path);
    Bytes result;
    unsigned char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) result.insert(result.end(), buffer, buffer + n);
    (void)fclose(f);  // an input
    return result;
}

void write_file(const std::string& path, const Bytes& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot write " + path);
    const size_t written = data.empty() ? 0 : fwrite(data.data(), 1, data.size(), f);
    const bool closed = fclose(f) == 0;
    if (written != data.size() || !closed) throw std::runtime_error("short write to " + path);
}

bool file_exists(const std::string& path) {
#if defined(_WIN32)
    return GetFileAttributesW(widened(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
#endif
}

ScratchDir::ScratchDir() {
#if defined(_WIN32)
    static unsigned made = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::filesystem::path folder =
            std::filesystem::temp_directory_path() /
            ("stereo-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(made++));
        if (std::filesystem::create_directory(folder)) {  // false: it exists
            path = folder.u8string();
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch folder");
#else
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/stereo-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch folder");
    path = pattern;
#endif
}

ScratchDir::~ScratchDir() {
#if defined(_WIN32)
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::u8path(path), error);  // nothing to do about a failure
#else
    remove_tree(path);
#endif
}

RunResult run_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd) {
    return run_tool(tool, args, cwd, RunOptions());
}

RunResult run_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options) {
    RunningTool running = start_tool(tool, args, cwd, options);
    return finish_tool(&running);
}

#if defined(_WIN32)
RunningTool start_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd,
                       const RunOptions& options) {
    if (options.user >= 0) throw std::runtime_error("running as another user is POSIX only");
    const std::vector<std::string> command = command_of(tool, args, options);
    std::wstring line;
    for (const std::string& a : command) append_argument(&line, widened(a));
    std::wstring environment = options.env.empty() ? std::wstring() : environment_with(options.env);
    const std::wstring folder = widened(cwd);

    RunningTool running;
    const HANDLE out = output_file(), err = output_file();
    running.out = reinterpret_cast<intptr_t>(out);
    running.err = reinterpret_cast<intptr_t>(err);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = options.merge_error ? out : err;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(widened(command[0]).c_str(), &line[0], nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT, environment.empty() ? nullptr : &environment[0],
                        folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
        const DWORD error = GetLastError();
        CloseHandle(out);
        CloseHandle(err);
        throw std::runtime_error("cannot start " + command[0] + " (error " + std::to_string(error) + ")");
    }
    CloseHandle(process.hThread);
    running.pid = static_cast<int>(process.dwProcessId);
    running.process = reinterpret_cast<intptr_t>(process.hProcess);
    return running;
}

RunResult finish_tool(RunningTool* running) {
    const HANDLE process = reinterpret_cast<HANDLE>(running->process);
    DWORD code = 0;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    RunResult result;
    result.out = contents_of(reinterpret_cast<HANDLE>(running->out));
    result.err = contents_of(reinterpret_cast<HANDLE>(running->err));
    // `return -1` ends with code 0xFFFFFFFF, which a POSIX shell shows as 255;
    // other codes above 255 are exceptions (crashes): 128 and above, as signals.
    result.status = code == 0xFFFFFFFF ? 255
                    : code <= 255      ? static_cast<int>(code)
                                       : 128 + static_cast<int>(code % 128);
    *running = RunningTool();
    return result;
}
#else
RunningTool start_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd,
                       const RunOptions& options) {
    const std::vector<std::string> command = command_of(tool, args, options);
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const char* executable = argv[0];

    // Built before the fork: the child only calls what is safe there.
    std::vector<std::string> env_entries;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& extra : options.env) {
            const std::string name = extra.substr(0, extra.find('=')) + "=";
            replaced = replaced || entry.compare(0, name.size(), name) == 0;
        }
        if (!replaced) env_entries.push_back(entry);
    }
    env_entries.insert(env_entries.end(), options.env.begin(), options.env.end());
    std::vector<char*> envp;
    envp.reserve(env_entries.size() + 1);
    for (const std::string& e : env_entries) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    // A failed flush changes no result: the child execs or _exits without
    // writing out the parent's buffers.
    (void)fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(options.merge_error ? out_pipe[1] : err_pipe[1], 2);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (options.user >= 0) {
            const gid_t group = static_cast<gid_t>(options.user);
            if (setgroups(0, nullptr) != 0 || setgid(group) != 0 ||
                setuid(static_cast<uid_t>(options.user)) != 0) {
                _exit(126);
            }
        }
        execve(executable, argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    RunningTool running;
    running.pid = pid;
    running.out = out_pipe[0];
    running.err = err_pipe[0];
    return running;
}

RunResult finish_tool(RunningTool* running) {
    RunResult result;
    drain(static_cast<int>(running->out), static_cast<int>(running->err), &result);
    int status = 0;
    waitpid(running->pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    *running = RunningTool();
    return result;
}
#endif

size_t program_memory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return SIZE_MAX;
    // A 32-bit program has 2 GiB, and its size_t counts no more than 4 GiB.
    const DWORDLONG memory =
        status.ullTotalVirtual < status.ullTotalPhys ? status.ullTotalVirtual : status.ullTotalPhys;
    return memory < SIZE_MAX ? static_cast<size_t>(memory) : SIZE_MAX;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page_size)
                                      : SIZE_MAX;
#endif
}

#if defined(_WIN32)
const char* const kFolderOpenedAsFile = "Permission denied";
#else
const char* const kFolderOpenedAsFile = "Is a directory";
#endif

const Tool kSplit = {"brantelix",
                     "******************************\n****  BRANTELIX   T.Varno ****\n"
                     "******************************\n\n\n",
                     nullptr};
const Tool kDubois = {"korventale",
                      "*******************************\n****  KORVENTALE   T.Varno ****\n"
                      "*******************************\n\n\n",
                      "_dub.jpg"};
const Tool kColour = {"trismoldaven",
                      "*********************************\n****  TRISMOLDAVEN   T.Varno ****\n"
                      "*********************************\n\n\n",
                      "_ana.jpg"};
const Tool kJps = {"vostrin",
                   "****************************\n****  VOSTRIN   T.Varno ****\n"
                   "****************************\n\n\n",
                   ".jps"};
const Tool kJoin = {"mpojoin",
                    "****************************\n****  MPOJOIN   T.Varno ****\n"
                    "****************************\n\n\n",
                    ".mpo"};

std::string writing(const std::string& name) {
    return "Writing file " + name + "\n";
}

Bytes bytes(std::initializer_list<int> values) {
    Bytes result;
    for (int v : values) result.push_back(static_cast<unsigned char>(v));
    return result;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes result;
    for (const Bytes& p : parts) result.insert(result.end(), p.begin(), p.end());
    return result;
}

Bytes segment(int marker, const Bytes& payload) {
    const size_t length = payload.size() + 2;
    Bytes result = bytes({0xFF, marker, static_cast<int>(length >> 8), static_cast<int>(length & 0xFF)});
    result.insert(result.end(), payload.begin(), payload.end());
    return result;
}

Bytes fake_picture(const Bytes& header, size_t data_length, unsigned seed) {
    Bytes data(data_length);
    unsigned state = seed * 2654435761u + 1;
    for (unsigned char& b : data) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>((state >> 16) % 0xFE);  // never FF: no markers
    }
    // A frame of one 16 x 16 component, which a picture needs before its scan.
    return concat({bytes({0xFF, 0xD8}), header, segment(0xC0, bytes({8, 0, 16, 0, 16, 1, 1, 0x11, 0})),
                   segment(0xDA, bytes({1, 1, 0, 0, 63, 0})), data, bytes({0xFF, 0xD9})});
}

FILE* temp_file_holding(const Bytes& data) {
    FILE* f = open_temporary();
    if (f == nullptr) throw std::runtime_error("no temporary file");
    if (!data.empty() && fwrite(data.data(), 1, data.size(), f) != data.size()) {
        (void)fclose(f);
        throw std::runtime_error("short write to a temporary file");
    }
    rewind(f);
    return f;
}

std::vector<int32_t> locate(const Bytes& file) {
    FILE* in = temp_file_holding(file);
    StartTable table{};
    int count = -1;
    findJPEGs(in, &table, &count);
    (void)fclose(in);
    return std::vector<int32_t>(table.begin(), table.begin() + count);
}

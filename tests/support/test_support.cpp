#include "test_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {
std::string g_bin_dir;
std::string g_samples_dir;

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
    struct stat st;
    return g_samples_dir.empty() || stat(g_samples_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
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
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

ScratchDir::ScratchDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/stereo-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch folder");
    path = pattern;
}

ScratchDir::~ScratchDir() {
    remove_tree(path);
}

RunResult run_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd) {
    return run_tool(tool, args, cwd, RunOptions());
}

RunResult run_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options) {
    RunningTool running = start_tool(tool, args, cwd, options);
    return finish_tool(&running);
}

RunningTool start_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd,
                       const RunOptions& options) {
    const std::string program = g_bin_dir + "/" + tool;
    std::vector<char*> argv;
    for (const std::string& w : options.wrapper) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
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
        dup2(err_pipe[1], 2);
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
    running.out_fd = out_pipe[0];
    running.err_fd = err_pipe[0];
    return running;
}

RunResult finish_tool(RunningTool* running) {
    RunResult result;
    drain(running->out_fd, running->err_fd, &result);
    int status = 0;
    waitpid(running->pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    *running = RunningTool();
    return result;
}

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
    return concat(
        {bytes({0xFF, 0xD8}), header, segment(0xDA, bytes({1, 1, 0, 0, 63, 0})), data, bytes({0xFF, 0xD9})});
}

FILE* temp_file_holding(const Bytes& data) {
    FILE* f = tmpfile();
    if (f == nullptr) throw std::runtime_error("tmpfile failed");
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

#include "support/Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string slurp(int fd) {
    std::string data;
    char buf[65536];
    lseek(fd, 0, SEEK_SET);
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

int tempFile() {
    char name[] = "/tmp/vexa-test-io-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    unlink(name);
    return fd;
}

// The high-water mark of the process's resident memory since its exec.
// (The rusage of a child also counts the pages it shared with this process
// between fork and exec, which says nothing about the program.)
uint64_t residentHighWater(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    }
    return 0;
}

}  // namespace

bool sanitizedBuild() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    const int outFd = tempFile();
    const int errFd = tempFile();
    std::vector<std::string> argvStore;
    argvStore.push_back(program);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.memoryLimitBytes != 0 && !sanitizedBuild()) {
            const rlimit limit{options.memoryLimitBytes, options.memoryLimitBytes};
            setrlimit(RLIMIT_AS, &limit);
        }
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        for (const auto& [k, v] : options.env) setenv(k.c_str(), v.c_str(), 1);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int wstatus = 0;
    ProcessResult result;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
    for (;;) {
        // Sampled while the child runs; its last milliseconds can escape.
        result.peakRssBytes = std::max(result.peakRssBytes, residentHighWater(pid));
        const pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = slurp(outFd);
    result.err = slurp(errFd);
    close(outFd);
    close(errFd);
    return result;
}

TempDir::TempDir() {
    char name[] = "/tmp/vexa-test-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    const std::string path = file(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

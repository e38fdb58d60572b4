#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/command_line.h"
#include "platform/posix/internal.h"

extern char** environ;

namespace platform {

void SetDefaultErrorMode() {}

namespace {

struct ChildProcess {
    pid_t pid;
    std::mutex mutex;
    bool ended = false;
    int status = 0;
};

// Collects the child's status without blocking; true once it has ended.
bool Reap(ChildProcess& child) {
    std::lock_guard<std::mutex> lock(child.mutex);
    if (child.ended)
        return true;
    int status = 0;
    pid_t result;
    do {
        result = waitpid(child.pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == child.pid) {
        child.ended = true;
        child.status = status;
    } else if (result < 0) {
        // Someone else reaped it (or it is not our child): count it as ended with failure.
        child.ended = true;
        child.status = -1;
    }
    return child.ended;
}

std::string BaseName(const std::string& path) {
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool StartProgram(const std::wstring& file, const std::wstring* parameters, ShowCommand,
                  ProcessHandle& process, uint32_t& error) {
    process = nullptr;
    error = 0;
    std::string path = posix::ToPath(file);
    struct stat info;
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        error = static_cast<uint32_t>(errno ? errno : ENOENT);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = EACCES;
        return false;
    }
    // Packages arrive by download without the execute bit; they are programs all the same. The
    // bit is given to the file itself only, never through a link to a file of someone's choice.
    struct stat own;
    if ((info.st_mode & S_IXUSR) == 0 && lstat(path.c_str(), &own) == 0 && S_ISREG(own.st_mode))
        chmod(path.c_str(), info.st_mode | S_IXUSR);

    std::vector<std::string> arguments{path};
    if (parameters != nullptr && !parameters->empty()) {
        // The splitter reads its first token as a program name; give it one to read.
        std::vector<std::wstring> split;
        if (SplitCommandLine(L"x " + *parameters, split)) {
            for (size_t i = 1; i < split.size(); ++i)
                arguments.push_back(posix::ToPath(split[i]));
        }
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A new process group, so that a signal meant for the updater's group spares the program.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    int result = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        error = static_cast<uint32_t>(result);
        return false;
    }
    auto* child = new ChildProcess();
    child->pid = pid;
    process = child;
    return true;
}

HeldStart StartHeldProgram(const InputFile& held, const std::wstring& path,
                           const std::wstring* parameters, ShowCommand show, ProcessHandle& process,
                           uint32_t& error) {
    // Linux checks no signatures, so nothing was judged that the start could betray.
    (void)held;
    return StartProgram(path, parameters, show, process, error) ? HeldStart::Started
                                                                : HeldStart::Failed;
}

uint32_t WaitForProcess(ProcessHandle process, uint32_t milliseconds) {
    auto* child = static_cast<ChildProcess*>(process);
    if (child == nullptr)
        return kWaitFailed;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child->pid, 0));
    for (;;) {
        if (Reap(*child))
            break;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            if (pidfd >= 0)
                close(pidfd);
            return kWaitTimeout;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            poll(&entry, 1, static_cast<int>(left < 1 ? 1 : left));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(left < 10 ? left : 10));
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return kWaitSignalled;
}

bool GetProcessExitCode(ProcessHandle process, uint32_t& exitCode) {
    auto* child = static_cast<ChildProcess*>(process);
    if (child == nullptr || !Reap(*child))
        return false;
    std::lock_guard<std::mutex> lock(child->mutex);
    if (WIFEXITED(child->status)) {
        exitCode = static_cast<uint32_t>(WEXITSTATUS(child->status));
    } else if (WIFSIGNALED(child->status)) {
        exitCode = 128u + static_cast<uint32_t>(WTERMSIG(child->status));
    } else {
        exitCode = 0xFFFFFFFF;
    }
    return true;
}

void CloseProcessHandle(ProcessHandle process) {
    delete static_cast<ChildProcess*>(process);
}

bool ListProcessNames(std::vector<std::wstring>& names) {
    names.clear();
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc)
        return false;
    while (dirent* entry = readdir(proc.get())) {
        const char* id = entry->d_name;
        if (*id < '0' || *id > '9')
            continue;
        std::string base = std::string("/proc/") + id;
        char target[4096];
        ssize_t length = readlink((base + "/exe").c_str(), target, sizeof(target) - 1);
        if (length > 0) {
            std::string exe(target, static_cast<size_t>(length));
            const std::string deleted = " (deleted)";
            if (exe.size() > deleted.size() &&
                exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
                exe.resize(exe.size() - deleted.size());
            }
            names.push_back(posix::FromPath(BaseName(exe)));
        }
        std::ifstream cmdline(base + "/cmdline", std::ios::binary);
        std::string first;
        if (std::getline(cmdline, first, '\0') && !first.empty()) {
            names.push_back(posix::FromPath(BaseName(first)));
        }
    }
    return true;
}

}  // namespace platform

#pragma once

// The floor of an inventory: what the kernel charges for the files the process table reads, and
// nothing else. One pass lists /proc, reads its stat (the boot time), and for each process given
// opens, reads and closes stat and statm and reads the exe link, on one thread, with one /proc
// descriptor, as plainly as it can be written. A server's table keeps stat, statm and a handle on
// the exe link open from one inventory to the next, so the kept floor reads through those, opened
// beforehand.
// Neither floor asks each /proc entry for its owner, which the table must do to list the user's
// processes.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace quorvantile::bench {

// The processes whose /proc directory belongs to `uid`, as the table lists them.
inline std::vector<int> processesOf(uid_t uid)
{
    std::vector<int> pids;
    DIR* proc = opendir("/proc");
    while (proc != nullptr) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr) {
            break;
        }
        int pid = 0;
        const std::string_view name = entry->d_name;
        struct stat status { };
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ptr == name.data() + name.size() &&
            fstatat(dirfd(proc), entry->d_name, &status, 0) == 0 && status.st_uid == uid) {
            pids.push_back(pid);
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return pids;
}

// The CPU time of the calling thread, in seconds.
inline double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One floor pass over `pids`; returns the bytes read, so that nothing is optimised away.
inline std::size_t floorPass(const std::vector<int>& pids)
{
    static char buffer[4096];
    std::size_t bytes = 0;
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        return 0;
    }
    const auto readFile = [&](const char* path) {
        const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            bytes += got > 0 ? static_cast<std::size_t>(got) : 0;
            close(fd);
        }
    };
    alignas(dirent64) char entries[32 * 1024];
    while (getdents64(proc, entries, sizeof entries) > 0) {
        bytes += 1;
    }
    readFile("stat");
    char path[32];
    for (const int pid : pids) {
        char* end = std::to_chars(path, path + 12, pid).ptr;
        std::copy_n("/stat", 6, end);
        readFile(path);
        std::copy_n("/statm", 7, end);
        readFile(path);
        std::copy_n("/exe", 5, end);
        const ssize_t link = readlinkat(proc, path, buffer, sizeof buffer);
        bytes += link > 0 ? static_cast<std::size_t>(link) : 0;
    }
    close(proc);
    return bytes;
}

// The floor with stat and statm kept open, and the exe link read through a handle on the link, as a
// server's table keeps them between inventories.
class KeptFloor {
public:
    explicit KeptFloor(const std::vector<int>& pids) : proc_(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        char path[32];
        for (const int pid : pids) {
            char* end = std::to_chars(path, path + 12, pid).ptr;
            std::copy_n("/stat", 6, end);
            const int stat = openat(proc_, path, O_RDONLY | O_CLOEXEC);
            std::copy_n("/statm", 7, end);
            const int statm = openat(proc_, path, O_RDONLY | O_CLOEXEC);
            std::copy_n("/exe", 5, end);
            files_.push_back({stat, statm, openat(proc_, path, O_PATH | O_NOFOLLOW | O_CLOEXEC)});
        }
    }
    KeptFloor(const KeptFloor&) = delete;
    KeptFloor& operator=(const KeptFloor&) = delete;
    ~KeptFloor()
    {
        for (const Files& files : files_) {
            close(files.stat);
            close(files.statm);
            close(files.exe);
        }
        close(proc_);
    }

    // One pass; returns the bytes read.
    std::size_t pass()
    {
        std::size_t bytes = 0;
        const auto add = [&bytes](ssize_t got) { bytes += got > 0 ? static_cast<std::size_t>(got) : 0; };
        alignas(dirent64) char entries[32 * 1024];
        lseek(proc_, 0, SEEK_SET);
        while (getdents64(proc_, entries, sizeof entries) > 0) {
            bytes += 1;
        }
        const int stat = openat(proc_, "stat", O_RDONLY | O_CLOEXEC);
        add(read(stat, buffer_, sizeof buffer_));
        close(stat);
        for (const Files& files : files_) {
            add(pread(files.stat, buffer_, sizeof buffer_, 0));
            add(pread(files.statm, buffer_, sizeof buffer_, 0));
            add(readlinkat(files.exe, "", buffer_, sizeof buffer_));
        }
        return bytes;
    }

private:
    struct Files {
        int stat, statm, exe;
    };
    int proc_;
    std::vector<Files> files_;
    char buffer_[4096] {};
};

} // namespace quorvantile::bench

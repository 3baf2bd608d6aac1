// The settings file on POSIX systems: read with open/read (never waiting on a
// FIFO), replaced with rename over an fsync'ed temporary file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "settings/ini_file.h"

namespace {

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

IniReadResult ReadIniFile(const char* path, std::string* text) {
    text->clear();
    // O_NONBLOCK: opening a FIFO must not hang; it is refused below.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? IniReadResult::kMissing : IniReadResult::kFailed;
    IniReadResult result = IniReadResult::kRead;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) result = IniReadResult::kFailed;
    char chunk[65536];
    while (result == IniReadResult::kRead) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result = IniReadResult::kFailed;
            break;
        }
        if (got == 0) break;
        text->append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    if (result != IniReadResult::kRead) text->clear();
    return result;
}

namespace {

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;  // ENOSPC, EIO, ...
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Makes the rename itself durable. A failure here is not reported: the new
// file is in place either way.
void SyncFolderOf(const char* path) {
    const char* slash = strrchr(path, '/');
    std::string folder = slash == nullptr ? "." : std::string(path, slash - path);
    if (folder.empty()) folder = "/";
    int fd = open(folder.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

bool WriteTempAndReplace(const char* path, const std::string& text, std::string* temp) {
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        *temp = std::string(path) + ".tmp" + std::to_string(getpid()) + "." +
                std::to_string(g_tempCounter.fetch_add(1));
        fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            temp->clear();  // nothing was created
            return false;
        }
    }
    if (fd < 0) {
        temp->clear();
        return false;
    }
    // The settings file keeps the permission bits it had.
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) fchmod(fd, st.st_mode & 07777);
    bool ok = WriteAll(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok && rename(temp->c_str(), path) != 0) ok = false;
    if (!ok) return false;
    temp->clear();  // it is the settings file now
    SyncFolderOf(path);
    return true;
}

void RemoveTempFile(const std::string& temp) {
    unlink(temp.c_str());
}

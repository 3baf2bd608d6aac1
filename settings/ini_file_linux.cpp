// The settings file on Linux: read with open/read (never waiting on a FIFO),
// replaced with rename over an fsync'ed temporary file of an unpredictable
// name. A symbolic link is followed only when the link and its target are the
// user's own; the program's strings are UTF-8. POSIX calls throughout, but a
// new file's mode comes from the umask as /proc shows it, which is Linux's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "settings/ini_file.h"

bool IniValuesAreUtf8() {
    return true;
}

namespace {

// A descriptor from open(), closed at the end of its scope; Close() closes it
// earlier and tells whether the system took the data.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool Close() { return close(std::exchange(fd_, -1)) == 0; }

  private:
    int fd_;
};

// Where the settings file really is: path itself, or the target of a link
// that the user owns and whose target the user owns too. False for any other
// link and for one that leads nowhere; *missing when there is nothing at path.
bool ResolveSettingsPath(const char* path, std::string* target, bool* missing) {
    *missing = false;
    struct stat link;
    if (lstat(path, &link) != 0) {
        *missing = errno == ENOENT;
        return *missing;
    }
    if (!S_ISLNK(link.st_mode)) {
        *target = path;
        return true;
    }
    struct stat st;
    if (link.st_uid != geteuid() || stat(path, &st) != 0 || st.st_uid != geteuid()) return false;
    char* real = realpath(path, nullptr);
    if (real == nullptr) return false;
    *target = real;
    free(real);
    return true;
}

}  // namespace

IniReadResult ReadIniFile(const char* path, std::string* text) {
    text->clear();
    std::string target;
    bool missing = false;
    if (!ResolveSettingsPath(path, &target, &missing)) return IniReadResult::kFailed;
    if (missing) return IniReadResult::kMissing;
    // O_NONBLOCK: opening a FIFO must not hang; it is refused below.
    // O_NOFOLLOW: a link put in the target's place meanwhile is refused.
    Descriptor file(open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (file.get() < 0) return errno == ENOENT ? IniReadResult::kMissing : IniReadResult::kFailed;
    IniReadResult result = IniReadResult::kRead;
    struct stat st;
    if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > kMaxIniFileSize) {
        result = IniReadResult::kFailed;
    }
    // Room for the whole file at once: growing by doubling would hold up to
    // three times its size for a moment.
    if (result == IniReadResult::kRead) text->reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    while (result == IniReadResult::kRead) {
        ssize_t got = read(file.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result = IniReadResult::kFailed;
            break;
        }
        if (got == 0) break;
        text->append(chunk, static_cast<size_t>(got));
        if (text->size() > kMaxIniFileSize) result = IniReadResult::kFailed;  // it grew
    }
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

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the rename itself durable. A failure here is not reported: the new
// file is in place either way.
void SyncFolder(const std::string& folder) {
    Descriptor dir(open(folder.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
    if (dir.get() >= 0) fsync(dir.get());
}

// The bits a new file gets from open(..., 0666): the umask, read without
// changing it (umask() would, for a moment, for every thread). 077 when it
// cannot be learnt.
mode_t NewFileMode() {
    mode_t mask = 077;
    std::unique_ptr<FILE, int (*)(FILE*)> status(fopen("/proc/self/status", "re"), &fclose);
    char line[256];
    while (status && fgets(line, sizeof line, status.get()) != nullptr) {
        unsigned value = 0;
        if (sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<mode_t>(value & 0777);
            break;
        }
    }
    return 0666 & ~mask;
}

}  // namespace

bool WriteTempAndReplace(const char* path, const std::string& text, std::string* temp) {
    temp->clear();
    std::string target;
    bool missing = false;
    if (!ResolveSettingsPath(path, &target, &missing)) return false;
    if (missing) target = path;
    // The settings file keeps the permission bits it had; a new one gets what
    // open(..., 0666) would give it. The temporary file is the user's alone
    // until then.
    struct stat st;
    mode_t mode = 0;
    if (lstat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return false;
        mode = st.st_mode & 07777;
    } else {
        mode = NewFileMode();
    }
    std::string name = target + ".XXXXXX";
    Descriptor file(mkostemp(name.data(), O_CLOEXEC));
    if (file.get() < 0) return false;  // nothing was created
    *temp = name;
    bool ok = fchmod(file.get(), mode) == 0 && WriteAll(file.get(), text) && fsync(file.get()) == 0;
    if (!file.Close()) ok = false;
    if (ok && rename(temp->c_str(), target.c_str()) != 0) ok = false;
    if (!ok) return false;
    temp->clear();  // it is the settings file now
    SyncFolder(FolderOf(target));
    return true;
}

void RemoveTempFile(const std::string& temp) {
    unlink(temp.c_str());
}

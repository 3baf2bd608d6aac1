#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "log/event_log.h"

// The log is only ever a regular file: a symbolic link named like it is not
// followed (its target is neither created nor written), and anything else
// (a FIFO, a device) is opened without blocking, found not to be a regular
// file and closed unwritten.
LogFile::LogFile(const char* path) {
    handle_ = -1;
    // Read access too, to see whether the file ends mid-line; a file the
    // user may only write to is still written.
    const int flags = O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd;
    do {
        fd = open(path, O_RDWR | flags, 0644);
        if (fd < 0 && errno == EACCES) fd = open(path, O_WRONLY | flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return;
    }
    handle_ = fd;
}

LogFile::~LogFile() {
    if (isOpen()) close(static_cast<int>(handle_));
}

void LogFile::append(const char* bytes, size_t length) {
    if (!isOpen()) return;
    // A regular file takes the line in one write; the loop only finishes a
    // partial one.
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(static_cast<int>(handle_), bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

int LogFile::lockAndReadLastByte() {
    if (!isOpen()) return -1;
    // Two copies of the program each look at the file's end and then write:
    // an advisory lock held until the file is closed makes that one step, so
    // neither takes the other's line, still being written, for a cut one.
    // Another copy holds it for one line at most; a lock held for longer (by
    // some other program) is waited for 50 ms only. Without the lock (taken
    // elsewhere, or a file system that has none) the line is still written.
    for (int tries = 0; tries < 50; ++tries) {
        if (flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) break;
        usleep(1000);
    }
    struct stat info {};
    if (fstat(static_cast<int>(handle_), &info) != 0 || info.st_size <= 0) return -1;
    unsigned char last = 0;
    ssize_t got = pread(static_cast<int>(handle_), &last, 1, info.st_size - 1);
    return got == 1 ? last : -1;  // a write-only file cannot tell: taken as ended
}

// Names are UTF-8 here: besides the ASCII controls, the C1 controls U+0080 to
// U+009F (C2 80 to C2 9F) are terminal controls too, and each becomes one
// blank.
size_t LogControlLength(const char* text, size_t length) {
    if (length == 0) return 0;
    unsigned char c = static_cast<unsigned char>(text[0]);
    if (c < 0x20 || c == 0x7F) return 1;
    if (c == 0xC2 && length >= 2) {
        unsigned char next = static_cast<unsigned char>(text[1]);
        if (next >= 0x80 && next <= 0x9F) return 2;
    }
    return 0;
}

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "log/event_log.h"

LogFile::LogFile(const char* path) {
    int fd;
    do {
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
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

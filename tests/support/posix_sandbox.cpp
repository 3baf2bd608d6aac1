#include "support/posix_sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

bool g_privateMounts = false;  // set in a child once it has its own namespace
// Folders whose mode MakeReadOnly changed without root: (path, old mode).
std::vector<std::pair<std::string, mode_t>> g_restoreModes;

void RestoreModes() {
    for (auto it = g_restoreModes.rbegin(); it != g_restoreModes.rend(); ++it) {
        chmod(it->first.c_str(), it->second);
    }
    g_restoreModes.clear();
}

}  // namespace

int RunInChild(const std::function<int()>& fn) {
    fflush(nullptr);  // or buffered output would be written twice
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 1;
        try {
            code = fn();
        } catch (...) {
            code = 125;
        }
        RestoreModes();
        fflush(nullptr);
        _exit(code & 0xff);
    }
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    if (done != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool RunningAsRoot() {
    return geteuid() == 0;
}

bool EnterPrivateMountNamespace() {
    if (g_privateMounts) return true;
    if (unshare(CLONE_NEWNS) != 0) return false;
    // Without this the mounts below would propagate back to the shared tree.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    g_privateMounts = true;
    return true;
}

bool MakeReadOnly(const std::string& dir) {
    if (!RunningAsRoot()) {
        struct stat st;
        if (stat(dir.c_str(), &st) != 0) return false;
        if (chmod(dir.c_str(), 0555) != 0) return false;
        g_restoreModes.emplace_back(dir, st.st_mode & 07777);
        return access(dir.c_str(), W_OK) != 0;
    }
    if (!EnterPrivateMountNamespace()) return false;
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return false;
    // A file open for writing on the mount makes the kernel refuse the
    // read-only remount (EBUSY) until it is closed.
    for (int attempt = 0; attempt < 2000; ++attempt) {
        if (mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0) {
            return true;
        }
        if (errno != EBUSY) break;
        usleep(1000);
    }
    umount2(dir.c_str(), MNT_DETACH);
    return false;
}

bool UndoReadOnly(const std::string& dir) {
    if (!RunningAsRoot()) {
        for (auto it = g_restoreModes.begin(); it != g_restoreModes.end(); ++it) {
            if (it->first != dir) continue;
            bool ok = chmod(dir.c_str(), it->second) == 0;
            g_restoreModes.erase(it);
            return ok;
        }
        return false;
    }
    return umount2(dir.c_str(), MNT_DETACH) == 0;
}

bool DropPrivileges() {
    if (!RunningAsRoot()) return true;
    const gid_t nobodyGroup = 65534;
    const uid_t nobody = 65534;
    if (setgroups(0, nullptr) != 0) return false;
    if (setgid(nobodyGroup) != 0 || setuid(nobody) != 0) return false;
    return geteuid() == nobody && setuid(0) != 0;  // and there is no way back
}

bool MountTinyTmpfs(const std::string& dir, size_t bytes) {
    if (!RunningAsRoot()) return false;
    if (!EnterPrivateMountNamespace()) return false;
    char options[64];
    snprintf(options, sizeof options, "size=%zu", bytes);
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
}

bool FillUntilFull(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return errno == ENOSPC;
    char block[512];
    memset(block, 'x', sizeof block);
    bool full = false;
    for (;;) {
        ssize_t n = write(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            full = errno == ENOSPC;
            break;
        }
        if (n == 0) break;
    }
    // Small writes: whatever room is left after the last full block is
    // smaller than a block; fill it byte by byte.
    if (full) {
        while (write(fd, block, 1) == 1) {
        }
    }
    close(fd);
    return full;
}

std::string SandboxUnavailableReason() {
    if (!RunningAsRoot()) {
        return "needs root: only root can mount in a private namespace (a tiny tmpfs, a "
               "read-only bind mount)";
    }
    return "running as root, but mounting in a private namespace was refused (no "
           "CAP_SYS_ADMIN, or unshare(CLONE_NEWNS) not permitted)";
}

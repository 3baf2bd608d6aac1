// A sandbox for tests that need a folder the program cannot write to, or a
// disk that is full. The changes are made inside a forked child, so they never
// reach the test runner or the machine:
//
//     int rc = RunInChild([&] {
//         if (!MakeReadOnly(dir.path)) return kSandboxUnavailable;
//         return SaveSomething(dir.path) ? 1 : 0;   // the child's verdict
//     });
//     if (rc == kSandboxUnavailable) GTEST_SKIP() << SandboxUnavailableReason();
//     EXPECT_EQ(rc, 0);
//
// As root, a write-protected file is still writable, so the helpers give the
// child its own mount namespace (unshare(CLONE_NEWNS), every mount private)
// and mount there: a read-only bind mount of the folder, or a tiny tmpfs over
// it. The mounts vanish with the child. Without root, MakeReadOnly falls back
// to removing the folder's write bits (restored when the child's function
// returns), and MountTinyTmpfs is unavailable.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Exit code a child returns when the sandbox could not be set up; the parent
// then skips the test with SandboxUnavailableReason().
constexpr int kSandboxUnavailable = 77;

// Runs fn in a forked child and returns its result as the child's exit code
// (0..255; keep results small). A child killed by a signal gives 128 + the
// signal number; a failed fork or wait gives -1. The child never returns into
// the test runner: it ends with _exit once fn returns.
int RunInChild(const std::function<int()>& fn);

// True when the process runs with the effective user id 0.
bool RunningAsRoot();

// In the child: gives the process its own mount namespace with every mount
// private, so mounts made afterwards stay invisible outside. Idempotent.
bool EnterPrivateMountNamespace();

// In the child: makes dir (and everything below it) unwritable for this
// process. As root: a read-only bind mount of dir over itself (made while
// another thread of the child may be writing there: a remount refused as busy
// is tried again). Otherwise: chmod 0555 of dir, undone when RunInChild's
// function returns.
bool MakeReadOnly(const std::string& dir);

// In the child: makes dir writable again after MakeReadOnly (as root the
// read-only mount is taken away; otherwise the old mode comes back).
bool UndoReadOnly(const std::string& dir);

// In the child: gives up root for good (user and group "nobody", no
// supplementary groups), so permission bits bind this process as they bind
// any user. Without root there is nothing to give up: returns true.
bool DropPrivileges();

// In the child, as root only: mounts a fresh tmpfs of the given size over dir
// (hiding its contents). Returns false without root or without the right to
// mount.
bool MountTinyTmpfs(const std::string& dir, size_t bytes);

// Creates path and writes to it until the file system reports it full
// (ENOSPC). Returns true when the file system did fill up. Truncating the
// file afterwards frees room again, a little at a time.
bool FillUntilFull(const std::string& path);

// Why the sandbox was unavailable, for a skipped test's message.
std::string SandboxUnavailableReason();

// The Windows half of the event log: how the log treats what it finds under
// its name.
#pragma once

#include <windows.h>

enum class LogFileKind {
    kPlain,     // an ordinary file: written through the handle that found it
    kFiltered,  // a reparse point that keeps the file's data itself (cloud
                // files, deduplicated or compressed files, any tag that is not
                // a name surrogate): opened again the normal way, so the
                // filter that owns it sees the write
    kRefused,   // a directory, or a name surrogate (symbolic link, junction,
                // mount point) that would send the line to another file
};

// The kind of a file from its attributes and reparse tag, as
// GetFileInformationByHandleEx(FileAttributeTagInfo) reports them.
LogFileKind ClassifyLogFile(DWORD attributes, DWORD reparseTag);

// Attributes of files whose data the system fetches when they are opened or
// read (cloud files that are not fully local), missing from older headers.
constexpr DWORD kFileAttributeRecallOnOpen = 0x00040000;
constexpr DWORD kFileAttributeRecallOnDataAccess = 0x00400000;

// Whether the log's last byte may be read: not when the system keeps the
// file's data elsewhere (a cloud placeholder, an offline file), as the read
// would wait for the download, under the log's lock.
bool LogLastByteAtHand(DWORD attributes);

// Whether an open of the log that error refused is tried again for appending
// only: the user may append to the file but not read it, or another program
// holds it open without read sharing.
bool LogRetryAppendOnly(DWORD error);

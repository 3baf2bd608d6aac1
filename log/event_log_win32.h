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

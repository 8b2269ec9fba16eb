// The file of operation records (JSON Lines) as the system keeps it: checked
// before a device is touched, appended to one whole line at a time by every
// program and thread that shares it; and the computer's name the records carry.
#pragma once

#include <string>
#include <string_view>

namespace kt::platform {

// True when `path` names a file this program may read and append to; a
// missing file is made (empty). Called before anything is sent to a device,
// so a record that could not be kept is known before the operation starts.
// False with the reason for the user in `error`: a folder, a pipe or a
// device, a missing folder, no permission.
bool CheckAppendable(const std::string& path, std::string& error);

// Appends `line` and "\n" whole or not at all, under an exclusive lock
// (flock, LockFileEx) that other programs and threads appending the same way
// respect, then flushes the file to the disk. A last line without its "\n",
// left by a program that crashed or lost power while writing, is cut off
// first, so the file holds whole lines only. Safe from any thread. False with
// the reason in `error`: the file could not be opened, locked within a few
// seconds, written (the disk is full) or flushed; `line` holding a line end.
bool AppendWholeLine(const std::string& path, std::string_view line, std::string& error);

// The computer's name as its user knows it (gethostname, the DNS host name
// on Windows); empty when the system does not tell.
std::string HostName();

}  // namespace kt::platform

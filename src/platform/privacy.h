// The working directory holds passwords and private mail: it and everything in it are the
// user's alone, and a process holding the passwords leaves no copy of its memory behind.
#pragma once

#include <string>

namespace qm {

// New files and directories of this process get no permission for anybody but the user, and
// a crash writes no core file (nor may another process of the user's read this one's memory).
void KeepProcessPrivate();

enum class DirectoryTrust {
  Private,           // the user's (or the system's) and writable by nobody else
  Missing,           // no such directory
  NotADirectory,     // something else has the name
  OtherOwner,        // another user owns it, so may change its permissions at any time
  WritableByOthers,  // others may add, rename or replace files in it
  Unreadable,        // its state could not be examined (`error` tells why)
};

// Whether the directory may hold the user's files: owned by this user or by root, and writable
// by no group and nobody else. Settings and lists found in a directory that others can write
// could have been planted there.
DirectoryTrust CheckDirectoryTrust(const std::string& path, int* error = nullptr);

// Creates the directory with its missing parents, each private (0700), as the user's own files
// should be. An existing directory is left as it is. False with `error` set on failure.
bool CreatePrivateDirectories(const std::string& path, int* error = nullptr);

// Creates a new private directory in `parent` whose name is `prefix` and six random characters;
// its path, or empty with `error` set on failure.
std::string CreatePrivateTemporaryDirectory(const std::string& parent, const std::string& prefix,
                                            int* error = nullptr);

// One line from standard input, without its line end. On a terminal the prompt goes to the
// terminal's error stream and the typed characters are not shown. False at the end of the input
// before any character, or on a read error.
bool ReadSecretLine(const std::string& prompt, std::string& line);

}  // namespace qm

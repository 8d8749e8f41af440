// The files behind the profile functions and the registry store: where they live, how they are
// read, and how they are changed without ever leaving a half-written file behind.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>

namespace zv::win32 {

// The one place that decides where our configuration lives: "$XDG_CONFIG_HOME/zelvator", or
// "$HOME/.config/zelvator" when XDG_CONFIG_HOME is unset, empty or not absolute. Read on every
// call, so a test may point it elsewhere.
std::string ConfigDirectory();

// A profile file name as the profile functions take it: an absolute path stays as it is, any
// other name is taken relative to the configuration directory (Win32 takes it relative to the
// Windows folder). A null name means "win.ini".
std::string ProfilePath(const char* fileName);

// Files larger than this are not read: they read as absent, and a writer refuses to rewrite them
// or to make a file larger than this (ERROR_FILE_TOO_LARGE, the old file kept).
inline constexpr std::size_t kMaxStoreFileSize = 16u << 20;

// Reads the whole file. Absent, unreadable, not a regular file or too large: false.
bool ReadStoreFile(const std::string& path, std::string& content);

// What an update does with the current content (empty when the file does not exist yet):
// returns false when nothing needs to change, so nothing is written.
using StoreEdit = std::function<bool(std::string& content)>;

// Changes a file under an exclusive advisory lock, so that concurrent writers (threads or
// processes) each see the others' changes: reads the current content, applies the edit, writes
// the result to a new file beside the old one, flushes it to disk and renames it over the old
// one. The old file's permissions are kept; a symbolic link stays a link and its target gets the
// new content. createDirectory: create the file's folder (and its parents) when missing.
// mayCreate: when the file does not exist, false succeeds without calling the edit.
// Returns ERROR_SUCCESS or the Win32 code of the system's reason.
DWORD UpdateStoreFile(const std::string& path, bool createDirectory, bool mayCreate,
                      const StoreEdit& edit);

} // namespace zv::win32

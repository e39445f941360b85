// File system services: where the program lives, the per-user library
// directory, the temporary directory, and writing a payload only where
// nothing stands yet.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kada::platform {

// The executable's directory, without a trailing slash; empty if unknown.
std::string program_directory();

// $HOME/.local/lib, created when missing; ends in '/'. Empty when no home
// can be had.
std::string system_directory();

// GLib's temporary directory ($TMPDIR, else /tmp), ending in '/'.
std::string temp_directory();

// An entry of any kind stands at the path: file, directory, symbolic link
// (dangling included). The empty path names nothing.
bool exists(const std::string& path);

// Writes the bytes to the path when nothing stands there. The bytes go to a
// new file beside it first and are renamed onto the name only when all were
// written, so a failed write never leaves a short file under the name.
// Returns whether the file was written.
bool write_if_absent(const std::string& path, const void* data, std::size_t size);

// Joins a folder (possibly empty) and a file name with one '/'.
std::string join(std::string_view folder, std::string_view name);

}  // namespace kada::platform

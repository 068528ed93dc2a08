// Windows opens a path of MAX_PATH (260) characters or more only in the
// extended-length form: "\\?\C:\dir\file" for a drive path and
// "\\?\UNC\server\share\dir\file" for a network one. The system hands such
// a path on without normalising it, so the separators must already be
// backslashes and the "." and ".." components resolved. This is pure
// string work, built and tested on every system; src/platform/
// file_windows.cpp applies it before CreateFileW.
#pragma once

#include <cstddef>
#include <string>

namespace zu::platform {

// The length (in characters, the terminating null not counted) from which
// a path needs the extended-length form.
inline constexpr std::size_t kWindowsLongPath = 260;

// `path` in the extended-length form when it is an absolute drive or UNC
// path of kWindowsLongPath characters or more: '/' becomes '\', repeated
// separators and "." components go, ".." removes the component before it
// (never the drive or the share). Every other path comes back unchanged:
// shorter ones, relative ones ("dir\file", "C:file", "\dir\file") and
// those already in a device or extended form ("\\?\...", "\\.\...").
std::wstring extended_length_path(std::wstring path);

}  // namespace zu::platform

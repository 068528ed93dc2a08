#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cerrno>
#include <climits>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/long_path.h"

namespace zu::platform {

namespace {

HANDLE native(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

int last_error() { return static_cast<int>(GetLastError()); }

// The errno value a system code stands for, as Python maps them, so that
// callers can tell a missing file from a refused one; 0 for the rest.
int errno_of(int code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return 0;
  }
}

ZuError os_error(int code) { return ZuError::os(os_error_text(code), errno_of(code)); }

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string to_utf8(const wchar_t* text, int length) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

// The UTF-8 path as UTF-16; false (with the system's code in
// GetLastError) when it is not valid UTF-8 or too long for the API.
bool to_wide(const std::string& utf8, std::wstring& out) {
  if (utf8.empty()) {
    out.clear();
    return true;
  }
  if (utf8.size() > static_cast<size_t>(INT_MAX)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  const int length = static_cast<int>(utf8.size());
  const int wide =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  if (wide <= 0) return false;
  out.assign(static_cast<size_t>(wide), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, out.data(),
                             wide) == wide;
}

}  // namespace

std::string os_error_text(int code) {
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text;
  if (length > 0 && message != nullptr) text = to_utf8(message, static_cast<int>(length));
  if (message != nullptr) LocalFree(message);
  // The system's messages end in a line break, which does not belong in
  // one line of error text.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) text = "Unknown error";
  return text + " (os error " + std::to_string(code) + ")";
}

Result<File> File::open_read_only(const std::string& path) {
  std::wstring wide;
  if (!to_wide(path, wide)) return os_error(last_error());
  // Without the extended-length form the system refuses a path of 260
  // characters or more, whatever the file system allows.
  wide = extended_length_path(std::move(wide));
  // Sharing write and delete access lets the recording program keep the
  // file open for writing, and lets others rename or delete it, while it
  // is read here; refusing them would fail the open, or their operation.
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return os_error(last_error());
  return File(reinterpret_cast<intptr_t>(handle));
}

void File::close() noexcept {
  if (handle_ != -1) CloseHandle(native(handle_));
  handle_ = -1;
}

Result<uint64_t> File::size() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(native(handle_), &size)) return os_error(last_error());
  return static_cast<uint64_t>(size.QuadPart);
}

Result<size_t> File::read_at(uint64_t offset, uint8_t* dst, size_t len) const {
  if (len == 0) return size_t{0};
  // The file offset is signed inside the system, as it is for pread.
  if (offset > static_cast<uint64_t>(LLONG_MAX)) {
    return os_error(ERROR_INVALID_PARAMETER);
  }
  // One call moves at most a DWORD's worth; callers loop for more.
  const DWORD want = len > 0x7FFFF000u ? DWORD{0x7FFFF000u} : static_cast<DWORD>(len);
  // The offset travels with the request, so no read depends on the
  // handle's file position (the handle is not opened for overlapped I/O,
  // so the call still completes before it returns).
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(native(handle_), dst, want, &got, &at)) {
    const DWORD err = GetLastError();
    // Reading at or past the end is the end of the file, not a failure.
    if (err == ERROR_HANDLE_EOF) return size_t{0};
    return os_error(static_cast<int>(err));
  }
  return static_cast<size_t>(got);
}

}  // namespace zu::platform

#endif  // _WIN32

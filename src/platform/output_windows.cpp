#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/output.h"

namespace zu::platform {

void write_stdout(std::string_view text) noexcept {
  // The C runtime moves this handle along when descriptor 1 is redirected
  // (dup2 onto it, or closing it), so the text goes where descriptor 1 does,
  // without the runtime's text-mode line-end translation. Windows has no
  // SIGPIPE: a pipe without a reader only fails the write.
  const DWORD saved_error = GetLastError();
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
      const DWORD chunk = left > 0x40000000u ? DWORD{0x40000000u} : static_cast<DWORD>(left);
      DWORD written = 0;
      if (!WriteFile(out, p, chunk, &written, nullptr) || written == 0) break;
      p += written;
      left -= written;
    }
  }
  SetLastError(saved_error);
}

}  // namespace zu::platform

#endif  // _WIN32

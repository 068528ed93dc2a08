#include "platform/long_path.h"

#include <string_view>
#include <vector>

namespace zu::platform {

namespace {

bool separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// The end of the component starting at `start` (the next separator or the
// end of `path`).
std::size_t component_end(std::wstring_view path, std::size_t start) {
  std::size_t end = start;
  while (end < path.size() && !separator(path[end])) ++end;
  return end;
}

// The extended-length prefix of `path` with its root ("\\?\C:" or
// "\\?\UNC\server\share") and where the rest begins; an empty prefix when
// `path` is neither a drive nor a UNC absolute path.
std::wstring extended_root(std::wstring_view path, std::size_t& rest) {
  if (path.size() >= 3 && letter(path[0]) && path[1] == L':' && separator(path[2])) {
    rest = 3;
    return std::wstring(L"\\\\?\\") + path[0] + L':';
  }
  if (path.size() < 2 || !separator(path[0]) || !separator(path[1])) return {};
  // "\\?\" and "\\.\" already name the object directly.
  if (path.size() >= 3 && (path[2] == L'?' || path[2] == L'.') &&
      (path.size() == 3 || separator(path[3]))) {
    return {};
  }
  const std::size_t server_end = component_end(path, 2);
  if (server_end == 2 || server_end == path.size()) return {};
  const std::size_t share_end = component_end(path, server_end + 1);
  if (share_end == server_end + 1) return {};
  rest = share_end;
  std::wstring root = L"\\\\?\\UNC\\";
  root.append(path.substr(2, server_end - 2));
  root += L'\\';
  root.append(path.substr(server_end + 1, share_end - server_end - 1));
  return root;
}

}  // namespace

std::wstring extended_length_path(std::wstring path) {
  if (path.size() < kWindowsLongPath) return path;
  std::size_t rest = 0;
  std::wstring result = extended_root(path, rest);
  if (result.empty()) return path;
  const std::wstring_view view(path);
  std::vector<std::wstring_view> parts;
  for (std::size_t start = rest; start < view.size();) {
    const std::size_t end = component_end(view, start);
    const std::wstring_view part = view.substr(start, end - start);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  for (const std::wstring_view part : parts) {
    result += L'\\';
    result.append(part);
  }
  if (parts.empty()) result += L'\\';
  return result;
}

}  // namespace zu::platform

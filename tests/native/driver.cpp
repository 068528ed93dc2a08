// A native test driver over zu::DataFile, built for Linux, Windows and macOS
// alike, so that the outputs of the builds can be compared byte for byte.
//
//   driver read PATH...          for each file: the header as text, the
//                                channels, their unit types, and for every
//                                channel, segment 0 to 3 and unit type the
//                                shape and an FNV-1a checksum of the values'
//                                bits, or the error text; the diagnostic
//                                lines go through the core's own writer
//   driver numbers LISTFILE      each line of LISTFILE through the header's
//                                number parser: the bits, or the error text
//   driver hold PATH             keeps PATH open for writing (sharing only
//                                reading, as a recording program might) until
//                                standard input ends; prints "held" first
//   driver renamed PATH NEWPATH  opens PATH, renames it to NEWPATH while it
//                                is open, then reads it as `read` does
//   driver inflate (FILE SIZE)...  each FILE holds a raw DEFLATE stream,
//                                decoded whole into SIZE bytes as a small
//                                member is: the road that gave the verdict,
//                                "ok" or "refused" and the output's CRC-32;
//                                last, the count of fast-decoder outputs that
//                                zlib corrected
//   driver longpath PATH...      each PATH (ASCII) as the Windows build hands
//                                it to the system: its extended-length form
//                                when it is long enough to need one
//
// Paths are UTF-8 on every system. Output is binary: "\n" line ends.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "data_file/data_file.h"
#include "header/number.h"
#include "platform/long_path.h"
#include "zip/member.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#endif

namespace {

void out(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::string escaped(std::string_view text) {
  std::string q = "\"";
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b >= 0x7f || c == '"' || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      q += buf;
    } else {
      q += c;
    }
  }
  return q + "\"";
}

void render(const zu::Node& node, std::string& text) {
  auto map = node.as_map();
  if (!map) {
    text += escaped(node.as_value().value());
    return;
  }
  text += "{";
  bool first = true;
  for (const auto& [key, child] : map.value()->entries) {
    if (!first) text += ", ";
    first = false;
    text += escaped(key) + ": ";
    render(child, text);
  }
  text += "}";
}

std::string list(const std::vector<std::string_view>& items) {
  std::string text = "[";
  for (size_t i = 0; i < items.size(); ++i) text += (i ? ", " : "") + escaped(items[i]);
  return text + "]";
}

// Every diagnostic line goes out through the core's writer, in order with
// the driver's own output.
class StdoutDiagnostics final : public zu::DiagnosticSink {
 public:
  void line(std::string_view text) override {
    out("    diag ");
    std::fflush(stdout);
    zu::write_diagnostic_line(text);
  }
};

uint64_t fnv1a(const zu::ValueBuffer& values) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (double v : values) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i) {
      h ^= (bits >> (8 * i)) & 0xFF;
      h *= 0x100000001b3ull;
    }
  }
  return h;
}

void dump_channel(zu::DataFile& file, std::string_view channel) {
  auto units = file.unit_types(channel);
  if (!units) {
    out("  units " + escaped(channel) + ": error " + units.error().message() + "\n");
    return;
  }
  out("  units " + escaped(channel) + ": " + list(units.value()) + "\n");
  std::vector<std::string> unit_names(units.value().begin(), units.value().end());
  unit_names.emplace_back("no-such-unit");
  StdoutDiagnostics diagnostics;
  for (uint8_t segment = 0; segment < 4; ++segment) {
    for (const std::string& unit : unit_names) {
      out("  data " + escaped(channel) + " " + std::to_string(segment) + " " + escaped(unit) +
          "\n");
      auto values = file.channel_data(channel, segment, unit, diagnostics);
      if (!values) {
        out("    error " + values.error().message() + "\n");
        continue;
      }
      const zu::ChannelValues& v = values.value();
      char line[160];
      std::snprintf(line, sizeof line,
                    "    members %zu values %" PRIu64 " side %zu fits %d fnv %016" PRIx64 "\n",
                    v.member_count, v.value_count, v.grid_side, v.fits_grid() ? 1 : 0,
                    fnv1a(v.values));
      out(line);
    }
  }
}

void dump(zu::DataFile& file) {
  std::string header;
  render(file.header().data(), header);
  out("  header " + header + "\n");
  auto channels = file.channel_names();
  if (!channels) {
    out("  channels: error " + channels.error().message() + "\n");
    return;
  }
  out("  channels " + list(channels.value()) + "\n");
  for (std::string_view channel : channels.value()) dump_channel(file, channel);
}

int read_files(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    out("file " + escaped(path) + "\n");
    auto file = zu::DataFile::open(path);
    if (!file) {
      out("  open error " + file.error().message() + "\n");
      continue;
    }
    dump(file.value());
  }
  return 0;
}

int numbers(const std::string& list_path) {
  std::ifstream in(list_path, std::ios::binary);
  if (!in) return 2;
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    const std::string_view text(all.data() + start, end - start);
    auto parsed = zu::parse_decimal(text);
    if (parsed) {
      uint64_t bits;
      const double v = parsed.value();
      std::memcpy(&bits, &v, sizeof bits);
      char buf[32];
      std::snprintf(buf, sizeof buf, "%016" PRIx64, bits);
      out(std::string(buf) + "\n");
    } else {
      out("error " + parsed.error().message() + "\n");
    }
    start = end + 1;
  }
  return 0;
}

#ifdef _WIN32
std::wstring wide(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

std::string narrow(const wchar_t* w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  return s;
}

// The arguments as UTF-8, whatever the console's code page.
std::vector<std::string> arguments(int, char**) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(narrow(argv[i]));
  LocalFree(argv);
  return args;
}

int hold(const std::string& path) {
  const HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 3;
  out("held\n");
  std::fflush(stdout);
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  CloseHandle(h);
  return 0;
}

bool rename_file(const std::string& from, const std::string& to) {
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(), 0) != 0;
}

void binary_stdout() { _setmode(_fileno(stdout), _O_BINARY); }
#else
std::vector<std::string> arguments(int argc, char** argv) { return {argv, argv + argc}; }

int hold(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) return 3;
  out("held\n");
  std::fflush(stdout);
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  ::close(fd);
  return 0;
}

bool rename_file(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void binary_stdout() {}
#endif

int renamed(const std::string& from, const std::string& to) {
  auto file = zu::DataFile::open(from);
  if (!file) {
    out("  open error " + file.error().message() + "\n");
    return 0;
  }
  out(rename_file(from, to) ? "renamed\n" : "rename refused\n");
  dump(file.value());
  return 0;
}

const char* road_name(zu::zip::WholeRoad road) {
  switch (road) {
    case zu::zip::WholeRoad::kInHouse:
      return "in-house";
    case zu::zip::WholeRoad::kInHouseThenZlib:
      return "in-house,zlib";
    case zu::zip::WholeRoad::kLibdeflate:
      return "libdeflate";
    case zu::zip::WholeRoad::kZlib:
      return "zlib";
    case zu::zip::WholeRoad::kNone:
      break;
  }
  return "none";
}

int inflate(const std::vector<std::string>& args) {
  if (args.size() % 2 != 0) return 2;
  zu::zip::WholeDecoder whole;
  for (size_t i = 0; i < args.size(); i += 2) {
    std::ifstream in(args[i], std::ios::binary);
    if (!in) return 3;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<uint8_t> stream(text.begin(), text.end());
    std::vector<uint8_t> output(std::stoull(args[i + 1]));
    const bool ok = whole.decode_exact(stream, output);
    const uint32_t crc = ok ? zu::zip::crc32_update(0, output.data(), output.size()) : 0;
    char line[64];
    std::snprintf(line, sizeof line, "%s %s %08" PRIx32 "\n", road_name(whole.last_road()),
                  ok ? "ok" : "refused", crc);
    out(line);
  }
  out("mismatches " + std::to_string(zu::zip::fast_road_mismatches()) + "\n");
  return 0;
}

// Pure string work, the same on every system; the paths are ASCII, so each
// byte is one character either way.
int long_paths(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const std::wstring extended = zu::platform::extended_length_path({path.begin(), path.end()});
    std::string line;
    for (wchar_t c : extended) line += static_cast<char>(c);
    out(line + "\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  binary_stdout();
  const std::vector<std::string> args = arguments(argc, argv);
  if (args.size() >= 2 && args[1] == "read") {
    return read_files({args.begin() + 2, args.end()});
  }
  if (args.size() == 3 && args[1] == "numbers") return numbers(args[2]);
  if (args.size() == 3 && args[1] == "hold") return hold(args[2]);
  if (args.size() == 4 && args[1] == "renamed") return renamed(args[2], args[3]);
  if (args.size() >= 2 && args[1] == "inflate") return inflate({args.begin() + 2, args.end()});
  if (args.size() >= 2 && args[1] == "longpath") return long_paths({args.begin() + 2, args.end()});
  std::fputs(
      "usage: driver read PATH... | numbers FILE | hold PATH | renamed PATH NEWPATH"
      " | inflate (FILE SIZE)... | longpath PATH...\n",
      stderr);
  return 2;
}

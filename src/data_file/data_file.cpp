#include "data_file/data_file.h"

#include <algorithm>
#include <new>
#include <span>

#include "header/utf8.h"
#include "platform/output.h"

namespace zu {

namespace {

// Keeps the first header member only; later ones are still read and
// verified by the walk, but their bytes are dropped as they come.
class FirstMemberSink final : public zip::MemberSink {
 public:
  // Reserving what a member that verifies delivers keeps the text in one
  // allocation of its size, never a grown copy beside a smaller one.
  void begin_member(size_t index, uint64_t most) override {
    keep_ = index == 0;
    if (!keep_ || most > bytes_.max_size()) return;
    try {
      bytes_.reserve(static_cast<size_t>(most));
    } catch (const std::bad_alloc&) {
      // The room is only a hint: the bytes can still arrive piecewise.
    }
  }
  void member_bytes(std::span<const uint8_t> bytes) override {
    if (keep_) bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  // A later header member: dropped like every later one.
  void repeat_member(size_t) override {}
  void end_member() override { found_ = true; }

  bool found() const { return found_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  bool keep_ = false;
  bool found_ = false;
};

// Reads the header member (the first, if several), checks that it is UTF-8
// and parses it. Errors: the archive's, NoFile("shared-data header"),
// InvalidUtf8Header, the parser's.
Result<ZuHeader> read_header(zip::ZipReader& reader) {
  auto is_header = [](std::span<const uint8_t> name) {
    return std::equal(name.begin(), name.end(), kHeaderMemberName.begin(), kHeaderMemberName.end(),
                      [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  };
  FirstMemberSink sink;
  ZU_TRY(reader.for_each_file(is_header, sink));
  if (!sink.found()) return ZuError::no_file("shared-data header");
  const std::vector<uint8_t>& bytes = sink.bytes();
  if (auto err = utf8_error(bytes)) return ZuError::invalid_utf8_header(std::move(*err));
  return ZuHeader::from_str(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

Result<DataFile> DataFile::open(std::string location) {
  ZU_TRY_ASSIGN(zip::ZipReader reader, zip::ZipReader::open(location));
  ZU_TRY_ASSIGN(ZuHeader header, read_header(reader));
  return DataFile(std::move(location), std::move(reader), std::move(header));
}

Result<std::vector<std::string_view>> DataFile::channel_names() const {
  ZU_TRY_ASSIGN(std::vector<ChannelPair> pairs, header_.get_channels());
  std::vector<std::string_view> names;
  names.reserve(pairs.size());
  for (const ChannelPair& p : pairs) names.push_back(p.second);
  return names;
}

Result<std::vector<std::string_view>> DataFile::unit_types(std::string_view name) const {
  return header_.get_unit_types(name);
}

Result<ChannelValues> DataFile::channel_data(std::string_view name, uint8_t segment,
                                             std::string_view unit_type,
                                             DiagnosticSink& diagnostics) {
  ZU_TRY_ASSIGN(Conversion conversion, header_.convert_to_type(name, unit_type, diagnostics));
  return read_channel_values(reader_, conversion, name, segment, diagnostics);
}

Result<ChannelValues> DataFile::read_channel(std::string_view name, uint8_t segment,
                                             std::string_view unit_type,
                                             DiagnosticSink& diagnostics, zip::ReadScratch& scratch,
                                             zip::CancelCheck* cancel) const {
  ZU_TRY_ASSIGN(Conversion conversion, header_.convert_to_type(name, unit_type, diagnostics));
  return read_channel_values(reader_, scratch, cancel, conversion, name, segment, diagnostics);
}

Result<std::vector<ChannelLayout>> DataFile::layout(zip::ReadScratch& scratch) const {
  ZU_TRY_ASSIGN(std::vector<std::string_view> names, channel_names());
  return count_channel_members(reader_, scratch, names);
}

void write_diagnostic_line(std::string_view line) noexcept { platform::write_stdout(line); }

}  // namespace zu

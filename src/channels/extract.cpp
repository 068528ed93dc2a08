#include "channels/extract.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "header/number.h"

namespace zu {

namespace {

uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

template <class Decode>
void append_samples(std::vector<double>& out, const std::vector<uint8_t>& member,
                    const Scaling& s, Decode decode) {
  const size_t count = member.size() / 4;
  for (size_t t = 0; t < count; ++t) {
    const double raw = decode(load_be32(member.data() + 4 * t));
    // Product, then sum, as two roundings (the build never contracts them).
    const double product = raw * s.multiplier;
    out.push_back(product + s.offset);
  }
}

bool ends_with(std::span<const uint8_t> name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(),
                    name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                    [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

}  // namespace

std::string member_path(std::string_view name, uint8_t segment) {
  std::string path = "/";
  path.append(std::to_string(segment));
  path.append("/channels/");
  path.append(name);
  path.append(".dat");
  return path;
}

void append_trace(std::vector<double>& out, const std::vector<uint8_t>& member,
                  const Conversion& conversion) {
  if (conversion.sample_type == kFloatSampleType) {
    append_samples(out, member, conversion.scaling,
                   [](uint32_t w) { return static_cast<double>(std::bit_cast<float>(w)); });
  } else {
    append_samples(out, member, conversion.scaling,
                   [](uint32_t w) { return static_cast<double>(static_cast<int32_t>(w)); });
  }
  const size_t samples = member.size() / 4;
  if (samples < kTraceLength) {
    out.insert(out.end(), kTraceLength - samples, std::bit_cast<double>(0x7FF8000000000000ull));
  }
}

Result<ChannelValues> read_channel_values(const ZuHeader& header, zip::ZipReader& reader,
                                          std::string_view name, uint8_t segment,
                                          std::string_view unit_type, DiagnosticSink& diagnostics) {
  ZU_TRY_ASSIGN(Conversion conversion, header.convert_to_type(name, unit_type, diagnostics));
  const std::string path = member_path(name, segment);
  ZU_TRY_ASSIGN(std::vector<std::vector<uint8_t>> members,
                reader.get_files([&](std::span<const uint8_t> n) { return ends_with(n, path); }));
  if (members.empty()) return ZuError::no_file(path);

  size_t total = 0;
  for (const auto& m : members) total += std::max(m.size() / 4, kTraceLength);
  ChannelValues result;
  result.member_count = members.size();
  result.values.reserve(total);
  for (const auto& m : members) append_trace(result.values, m, conversion);
  diagnostics.line(format_shortest(result.values[1]) + "\n");
  return result;
}

size_t integer_sqrt(size_t k) {
  size_t r = static_cast<size_t>(std::sqrt(static_cast<double>(k)));
  // Correct the floating-point estimate, which may be off by one.
  while (r > 0 && (r > k / r)) --r;
  while ((r + 1) <= k / (r + 1)) ++r;
  return r;
}

}  // namespace zu

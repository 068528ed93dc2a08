#include "error/zu_error.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace zu {

namespace {

std::string hex8(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08" PRIx64, v);
  return buf;
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour
// (fills the buffer); these overloads accept whichever the C library has.
[[maybe_unused]] const char* strerror_text(const char* gnu, const char*) { return gnu; }
[[maybe_unused]] const char* strerror_text(int, const char* buf) { return buf; }

const char* node_kind_name(NodeKind k) { return k == NodeKind::Map ? "Map" : "Value"; }

}  // namespace

std::string os_error_text(int err) {
  char buf[256] = {0};
  const char* desc = strerror_text(strerror_r(err, buf, sizeof buf), buf);
  return std::string(desc) + " (os error " + std::to_string(err) + ")";
}

namespace zip_text {

std::string missing_end_of_central_directory() { return "Missing end of central directory"; }
std::string missing_zip64_end_of_central_directory() {
  return "Missing zip64 end of central directory";
}
std::string buffer_too_small() { return "Buffer size too small"; }
std::string invalid_end_of_central_directory() { return "Invalid end of central directory"; }
std::string unexpected_eof() { return "Unexpected end of file"; }

std::string invalid_signature(uint32_t expected, uint32_t actual) {
  return "Invalid signature: expected 0x" + hex8(expected) + ", got 0x" + hex8(actual);
}

std::string invalid_checksum(uint32_t expected, uint32_t actual) {
  return "Invalid checksum: expected 0x" + hex8(expected) + ", got 0x" + hex8(actual);
}

std::string invalid_size(uint64_t expected, uint64_t actual) {
  return "Invalid size: expected " + std::to_string(expected) + ", got " + std::to_string(actual);
}

std::string overlapping_entries(uint64_t offset, uint64_t next) {
  return "Overlapping entries: the data of the member at offset " + std::to_string(offset) +
         " runs into the member at offset " + std::to_string(next) + " (possible zip bomb)";
}

}  // namespace zip_text

ZuError ZuError::io(std::string message) { return {ZuErrorKind::Io, std::move(message)}; }

ZuError ZuError::zip(std::string message) { return {ZuErrorKind::Zip, std::move(message)}; }

ZuError ZuError::numpy(std::string rendered) { return {ZuErrorKind::Numpy, std::move(rendered)}; }

ZuError ZuError::invalid_header_line(std::string line, const char* reason) {
  return {ZuErrorKind::InvalidHeaderLine,
          "invalid header line " + line + " (" + std::string(reason) + ")"};
}

ZuError ZuError::invalid_node_variant(std::string exp, NodeKind got) {
  return {ZuErrorKind::InvalidNodeVariant,
          "Expected vrariant " + exp + " got (" + node_kind_name(got) + ")"};
}

ZuError ZuError::invalid_utf8_header(std::string err) {
  return {ZuErrorKind::InvalidUtf8Header, "Header is invalid utf8, " + err + "."};
}

ZuError ZuError::header_missing_key(std::string key) {
  return {ZuErrorKind::HeaderMissingKey, "Expected header to have key " + key + " but it did not."};
}

ZuError ZuError::no_file(std::string id) {
  return {ZuErrorKind::NoFile,
          "Expected File " + id + ", but this file was not present in the archive."};
}

ZuError ZuError::invalid_channel(std::string channel) {
  return {ZuErrorKind::InvalidChannel, "No such such Channel:  " + channel};
}

ZuError ZuError::parse_float(ParseFloatKind k) {
  return {ZuErrorKind::ParseFloatError, k == ParseFloatKind::Empty
                                            ? "cannot parse float from empty string"
                                            : "invalid float literal"};
}

}  // namespace zu

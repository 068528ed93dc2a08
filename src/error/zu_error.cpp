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

}  // namespace

std::string IoError::message() const {
  if (os_errno == 0) return text;
  char buf[256] = {0};
  const char* desc = strerror_text(strerror_r(os_errno, buf, sizeof buf), buf);
  return std::string(desc) + " (os error " + std::to_string(os_errno) + ")";
}

std::string ZipError::message() const {
  switch (kind) {
    case ZipErrorKind::MissingEndOfCentralDirectory:
      return "Missing end of central directory";
    case ZipErrorKind::MissingZip64EndOfCentralDirectory:
      return "Missing zip64 end of central directory";
    case ZipErrorKind::BufferTooSmall:
      return "Buffer size too small";
    case ZipErrorKind::InvalidSignature:
      return "Invalid signature: expected 0x" + hex8(expected) + ", got 0x" + hex8(actual);
    case ZipErrorKind::InvalidChecksum:
      return "Invalid checksum: expected 0x" + hex8(expected) + ", got 0x" + hex8(actual);
    case ZipErrorKind::InvalidSize:
      return "Invalid size: expected " + std::to_string(expected) + ", got " +
             std::to_string(actual);
    case ZipErrorKind::InvalidUtf8:
      return "Invalid UTF-8: " + text;
    case ZipErrorKind::InvalidInput:
      return "Invalid input: " + text;
    case ZipErrorKind::InvalidEndOfCentralDirectory:
      return "Invalid end of central directory";
    case ZipErrorKind::IO:
      return io.message();
    case ZipErrorKind::Eof:
      return "Unexpected end of file";
  }
  return "unknown archive error";
}

std::string_view node_kind_name(NodeKind k) {
  switch (k) {
    case NodeKind::Map:
      return "Map";
    case NodeKind::Value:
      return "Value";
    case NodeKind::Number:
      return "Number";
  }
  return "Map";
}

ZuError ZuError::with_text(ZuErrorKind k, std::string text) {
  ZuError z(k);
  z.text_ = std::move(text);
  return z;
}

ZuError ZuError::io(IoError e) {
  ZuError z(ZuErrorKind::Io);
  z.io_ = std::move(e);
  return z;
}

ZuError ZuError::zip(ZipError e) {
  ZuError z(ZuErrorKind::Zip);
  z.zip_ = std::move(e);
  return z;
}

ZuError ZuError::numpy(std::string rendered) {
  return with_text(ZuErrorKind::Numpy, std::move(rendered));
}

ZuError ZuError::invalid_header_line(std::string line, const char* reason) {
  ZuError z(ZuErrorKind::InvalidHeaderLine);
  z.text_ = std::move(line);
  z.reason_ = reason;
  return z;
}

ZuError ZuError::invalid_node_variant(std::string exp, NodeKind got) {
  ZuError z(ZuErrorKind::InvalidNodeVariant);
  z.text_ = std::move(exp);
  z.got_ = got;
  return z;
}

ZuError ZuError::invalid_utf8_header(std::string err) {
  return with_text(ZuErrorKind::InvalidUtf8Header, std::move(err));
}

ZuError ZuError::header_missing_key(std::string key) {
  return with_text(ZuErrorKind::HeaderMissingKey, std::move(key));
}

ZuError ZuError::no_file(std::string id) { return with_text(ZuErrorKind::NoFile, std::move(id)); }

ZuError ZuError::invalid_channel(std::string channel) {
  return with_text(ZuErrorKind::InvalidChannel, std::move(channel));
}

ZuError ZuError::parse_float(ParseFloatKind k) {
  ZuError z(ZuErrorKind::ParseFloatError);
  z.float_kind_ = k;
  return z;
}

ZuError ZuError::into_zip() && {
  if (kind_ != ZuErrorKind::Io) return std::move(*this);
  return zip(ZipError::from_io(std::move(io_)));
}

std::string ZuError::message() const {
  switch (kind_) {
    case ZuErrorKind::Io:
      return io_.message();
    case ZuErrorKind::Zip:
      return zip_.message();
    case ZuErrorKind::Numpy:
      return text_;
    case ZuErrorKind::InvalidHeaderLine:
      return "invalid header line " + text_ + " (" + reason_ + ")";
    case ZuErrorKind::InvalidNodeVariant:
      return "Expected vrariant " + text_ + " got (" + std::string(node_kind_name(got_)) + ")";
    case ZuErrorKind::InvalidUtf8Header:
      return "Header is invalid utf8, " + text_ + ".";
    case ZuErrorKind::HeaderMissingKey:
      return "Expected header to have key " + text_ + " but it did not.";
    case ZuErrorKind::NoFile:
      return "Expected File " + text_ + ", but this file was not present in the archive.";
    case ZuErrorKind::InvalidChannel:
      return "No such such Channel:  " + text_;
    case ZuErrorKind::ParseFloatError:
      return float_kind_ == ParseFloatKind::Empty ? "cannot parse float from empty string"
                                                  : "invalid float literal";
  }
  return "unknown error";
}

}  // namespace zu

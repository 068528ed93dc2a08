// The one error type of the system and the small types it carries.
//
// Every fallible operation returns a Result<T>: either its value or a
// ZuError. Only the binding layer turns a ZuError into a Python exception,
// and it does so through ZuError::message(), so every text the user can see
// is produced in zu_error.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace zu {

// An I/O failure: an operating-system error number, or a text of its own
// (reader-made failures such as "failed to fill whole buffer").
struct IoError {
  int os_errno = 0;   // non-zero: render with strerror_r
  std::string text;   // used when os_errno is 0

  static IoError from_errno(int err) { return IoError{err, {}}; }
  static IoError custom(std::string t) { return IoError{0, std::move(t)}; }
  std::string message() const;
};

enum class ZipErrorKind : uint8_t {
  MissingEndOfCentralDirectory,
  MissingZip64EndOfCentralDirectory,
  BufferTooSmall,
  InvalidSignature,
  InvalidChecksum,
  InvalidSize,
  InvalidUtf8,
  InvalidInput,
  InvalidEndOfCentralDirectory,
  IO,
  Eof,
};

// An archive error. `expected`/`actual` are used by the signature, checksum
// and size kinds; `io` by kind IO; `text` by InvalidUtf8 and InvalidInput.
struct ZipError {
  ZipErrorKind kind;
  uint64_t expected = 0;
  uint64_t actual = 0;
  IoError io;
  std::string text;

  static ZipError of(ZipErrorKind k) { return ZipError{k, 0, 0, {}, {}}; }
  static ZipError signature(uint32_t expected, uint32_t actual) {
    return ZipError{ZipErrorKind::InvalidSignature, expected, actual, {}, {}};
  }
  static ZipError checksum(uint32_t expected, uint32_t actual) {
    return ZipError{ZipErrorKind::InvalidChecksum, expected, actual, {}, {}};
  }
  static ZipError size(uint64_t expected, uint64_t actual) {
    return ZipError{ZipErrorKind::InvalidSize, expected, actual, {}, {}};
  }
  static ZipError from_io(IoError e) { return ZipError{ZipErrorKind::IO, 0, 0, std::move(e), {}}; }
  std::string message() const;
};

// Kinds of header node; "Number" exists only as a text for messages.
enum class NodeKind : uint8_t { Map, Value, Number };
std::string_view node_kind_name(NodeKind k);

enum class ParseFloatKind : uint8_t { Empty, Invalid };

enum class ZuErrorKind : uint8_t {
  Io,
  Zip,
  Numpy,
  InvalidHeaderLine,
  InvalidNodeVariant,
  InvalidUtf8Header,
  HeaderMissingKey,
  NoFile,
  InvalidChannel,
  ParseFloatError,
};

class ZuError {
 public:
  static ZuError io(IoError e);
  static ZuError zip(ZipError e);
  // `rendered` is "<qualified type name>: <str(exception)>", captured by the
  // array code so that this type never holds a Python object.
  static ZuError numpy(std::string rendered);
  static ZuError invalid_header_line(std::string line, const char* reason);
  static ZuError invalid_node_variant(std::string exp, NodeKind got);
  static ZuError invalid_utf8_header(std::string err);
  static ZuError header_missing_key(std::string key);
  static ZuError no_file(std::string id);
  static ZuError invalid_channel(std::string channel);
  static ZuError parse_float(ParseFloatKind k);

  ZuErrorKind kind() const { return kind_; }
  std::string message() const;

  // Archive-structure reads report I/O failures as the archive error kind
  // IO; this re-files an Io error that way and leaves any other unchanged.
  ZuError into_zip() &&;

 private:
  explicit ZuError(ZuErrorKind k) : kind_(k) {}
  static ZuError with_text(ZuErrorKind k, std::string text);

  ZuErrorKind kind_;
  std::string text_;             // line / exp / err / key / id / channel / numpy
  const char* reason_ = "";      // InvalidHeaderLine: a static text
  NodeKind got_ = NodeKind::Map;
  ParseFloatKind float_kind_ = ParseFloatKind::Empty;
  IoError io_;
  ZipError zip_ = ZipError::of(ZipErrorKind::Eof);
};

// Value-or-error. Result<void> carries only success or the error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(ZuError err) : v_(std::in_place_index<1>, std::move(err)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T take() { return std::move(std::get<0>(v_)); }
  ZuError& error() { return std::get<1>(v_); }
  ZuError take_error() { return std::move(std::get<1>(v_)); }

 private:
  std::variant<T, ZuError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(ZuError err) : err_(std::in_place_index<1>, std::move(err)) {}

  bool ok() const { return err_.index() == 0; }
  explicit operator bool() const { return ok(); }
  ZuError& error() { return std::get<1>(err_); }
  ZuError take_error() { return std::move(std::get<1>(err_)); }

 private:
  std::variant<std::monostate, ZuError> err_;
};

}  // namespace zu

// Propagate the error of `expr` (a Result) to the caller, or bind its value.
#define ZU_CONCAT_INNER(a, b) a##b
#define ZU_CONCAT(a, b) ZU_CONCAT_INNER(a, b)
#define ZU_TRY_ASSIGN_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                        \
  if (!tmp.ok()) return tmp.take_error();   \
  decl = tmp.take()
#define ZU_TRY_ASSIGN(decl, expr) ZU_TRY_ASSIGN_IMPL(ZU_CONCAT(zu_try_, __LINE__), decl, expr)
#define ZU_TRY(expr)                                            \
  do {                                                          \
    auto zu_try_status = (expr);                                \
    if (!zu_try_status.ok()) return zu_try_status.take_error(); \
  } while (0)

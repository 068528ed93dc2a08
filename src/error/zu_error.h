// The one error type of the system.
//
// Every fallible operation returns a Result<T>: either its value or a
// ZuError. A ZuError is the kind of failure and its message, rendered when
// the error is made. Only the binding layer turns a ZuError into a Python
// exception: zu_data_reader raises OSError with the message alone, while
// zudata._reader passes the kind, the message and the errno on, for the
// zudata package to choose its exception.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace zu {

// Texts of archive failures, one function per kind of failure.
namespace zip_text {
std::string missing_end_of_central_directory();
std::string missing_zip64_end_of_central_directory();
std::string buffer_too_small();
std::string invalid_end_of_central_directory();
std::string unexpected_eof();
std::string invalid_signature(uint32_t expected, uint32_t actual);
std::string invalid_checksum(uint32_t expected, uint32_t actual);
std::string invalid_size(uint64_t expected, uint64_t actual);
// The data of the member at `offset` runs into the member at `next`.
std::string overlapping_entries(uint64_t offset, uint64_t next);
}  // namespace zip_text

// Kinds of header node. The message table also names "Number" as a `got`
// text; no node of that kind exists, so it has no enumerator.
enum class NodeKind : uint8_t { Map, Value };

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
  // A walk ended early because its caller asked it to stop (an interrupt);
  // it carries no text of its own and never reaches ZuDataFIle's callers.
  Cancelled,
};

class ZuError {
 public:
  // An I/O failure: platform::os_error_text() or a reader-made text such as
  // "failed to fill whole buffer".
  static ZuError io(std::string message);
  // An I/O failure the operating system reported: `message` is its text
  // (platform::os_error_text), and os_errno() gives back `err`, the errno
  // value it stands for (0 when the system's code has none).
  static ZuError os(std::string message, int err);
  // An archive failure: one of the zip_text texts.
  static ZuError zip(std::string message);
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
  static ZuError cancelled();

  // The failure's kind: ZuDataFIle's callers see only the message (every
  // kind is the same OSError there), zudata's see an exception chosen by it.
  ZuErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The operating system's error number of an Io error made by os(), else
  // 0. The message does not depend on it: ZuDataFIle's callers see no
  // difference, zudata's get it as the exception's errno.
  int os_errno() const { return os_errno_; }

 private:
  ZuError(ZuErrorKind k, std::string message, int os_errno = 0)
      : kind_(k), message_(std::move(message)), os_errno_(os_errno) {}

  ZuErrorKind kind_;
  std::string message_;
  int os_errno_;
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

// Text helpers whose best form differs between C libraries. No function
// here touches a Python object or needs the interpreter lock.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace zu::platform {

// Position of the last `byte` among the first `count` bytes of `text`, or
// nullptr (always when `count` is 0; `text` may then be null). The C library's memrchr where it has
// one (vectorised), else a plain backwards scan.
const char* find_last(const char* text, char byte, size_t count) noexcept;

// The binary64 nearest to the decimal literal `text` (ties to even), read
// the same whatever the process locale: optional sign, then digits with an
// optional point and exponent, or inf / infinity / nan in any case.
// Magnitudes beyond the range give infinity or zero with the literal's
// sign. The caller checks the grammar first; nullopt when the conversion
// does not take the whole text.
std::optional<double> parse_double(std::string_view text);

}  // namespace zu::platform

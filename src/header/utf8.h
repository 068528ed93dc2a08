// Strict UTF-8 validation with the decoding-error texts users see.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zu {

// std::nullopt for valid UTF-8, else the error text:
// "invalid utf-8 sequence of N bytes from index I" (N = 1..3, the length of
// the maximal invalid prefix) or "incomplete utf-8 byte sequence from index I"
// when the input ends inside a sequence. I is the length of the valid prefix.
std::optional<std::string> utf8_error(std::span<const uint8_t> bytes);

}  // namespace zu

// Decimal numbers as stored in header values, and the number format of
// the diagnostic lines.
#pragma once

#include <string>
#include <string_view>

#include "error/zu_error.h"

namespace zu {

// Parses the whole text as a binary64, correctly rounded (nearest-even):
// optional sign, then inf / infinity / nan in any case, or digits with an
// optional '.' and fraction (at least one digit in all) and an optional
// exponent (e or E, optional sign, at least one digit). Nothing else: no
// blanks, separators or hexadecimal. Out-of-range magnitudes become
// infinity or zero. Errors: ParseFloatError (Empty for "", else Invalid).
Result<double> parse_decimal(std::string_view text);

// The shortest digits that read back to `v`, in positional notation (no
// exponent, no point for integral values); "NaN", "inf", "-inf", "-0".
std::string format_shortest(double v);

// Receives the diagnostic lines of a request, one call per line (line feed
// included), in the order they arise. The caller decides where they go, so
// the core never blocks on an output it does not control.
class DiagnosticSink {
 public:
  virtual void line(std::string_view text) = 0;

 protected:
  ~DiagnosticSink() = default;
};

// Drops every line: for callers without a reader for them (fuzz targets,
// benchmarks).
class DiscardDiagnostics final : public DiagnosticSink {
 public:
  void line(std::string_view) override {}
};

}  // namespace zu

// The parsed header of one data file and the queries on it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/zu_error.h"
#include "header/node.h"

namespace zu {

class DiagnosticSink;

// (channel id, channel name); both refer into the header tree.
using ChannelPair = std::pair<std::string_view, std::string_view>;

// Raw numbers become unit values as offset + multiplier * raw.
struct Scaling {
  double offset = 0.0;
  double multiplier = 1.0;
};

struct Conversion {
  Scaling scaling;
  std::string_view sample_type;  // refers into the header tree
};

class ZuHeader {
 public:
  // Parses key=value lines, applied from the last line to the first.
  // Errors: InvalidHeaderLine, InvalidNodeVariant("map", Value).
  static Result<ZuHeader> from_str(std::string_view text);

  const Node& data() const { return tree_.root(); }

  // One pair per entry of "lcd-info", in file order. The first malformed
  // entry fails the whole list.
  Result<std::vector<ChannelPair>> get_channels() const;

  // The keys of the conversion map of the first channel named `name` (first
  // in file order), in file order.
  Result<std::vector<std::string_view>> get_unit_types(std::string_view name) const;

  // The base unit type of the first channel named `name`: the text at
  // conversion-set.conversions.base, which need not be among its unit
  // types. Errors: those of get_channels, InvalidChannel, HeaderMissingKey,
  // InvalidNodeVariant.
  Result<std::string_view> get_base_unit(std::string_view name) const;

  // The sample type text ("type") of the first channel named `name`, as the
  // conversion reads it. Errors as get_base_unit.
  Result<std::string_view> get_sample_type(std::string_view name) const;

  // Reduces the encoder scaling and the conversion chain up to `unit_type`
  // to one linear map. Hands the resulting pair to `diagnostics` as one line
  // when a chain was walked.
  Result<Conversion> convert_to_type(std::string_view name, std::string_view unit_type,
                                     DiagnosticSink& diagnostics) const;

 private:
  explicit ZuHeader(HeaderTree tree) : tree_(std::move(tree)) {}

  // The record of the first channel named `name` in file order
  // (InvalidChannel if none).
  Result<const Node*> find_channel(std::string_view name) const;

  HeaderTree tree_;
};

}  // namespace zu

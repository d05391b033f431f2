#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <yaml-cpp/yaml.h>

namespace tarvo::yaml {

// How a YAML 1.2 reader types a scalar: plain scalars by their text, quoted ones are
// always strings.
enum class ScalarType { Null, Bool, Int, Float, String };

ScalarType scalar_type(const YAML::Node& node);  // the node must be a scalar or null
// Both false for a missing key's (undefined) node.
bool is_string(const YAML::Node& node);
bool is_false(const YAML::Node& node);  // the boolean false, not the string "false"
bool parse_bool_text(const std::string& s, bool& value);
bool is_integer_text(std::string_view s);
bool parse_float_text(const std::string& s, double& value);

// " at line L column C" for the node's position, or "" when unknown.
std::string where(const YAML::Node& node);

// yaml-cpp 0.7 never returns (and allocates without bound) when a ',' stands where a
// document's node should start: `, a`, `"a"\n,`, `!t ,`, `"a" ,`. This refuses a line
// that opens with a ',' (after indentation, tags and anchors; valid only in rare
// multi-line flow collections), a ',' right after a quote character outside a flow
// collection, control characters (not allowed in a stream) and malformed UTF-8, which
// lead the reader into the same loops. The result describes the problem.
std::optional<std::string> reader_trap(std::string_view text, std::size_t first_line = 0);

// One document of a stream, cut out of the text so that a syntax error in it costs no
// other document.
struct DocumentText {
    std::string text;
    std::size_t first_line = 0;  // 0-based line of the stream where `text` starts
    bool explicit_start = false; // introduced by a "---" marker
};

// Splits at "---" document markers (and drops "..." end markers) in column 0.
std::vector<DocumentText> split_documents(std::string_view stream);

}  // namespace tarvo::yaml

#include "util/yaml.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>

#include <fmt/format.h>

#include "util/strings.h"

namespace tarvo::yaml {

bool parse_bool_text(const std::string& s, bool& value) {
    if (s == "true" || s == "True" || s == "TRUE") {
        value = true;
        return true;
    }
    if (s == "false" || s == "False" || s == "FALSE") {
        value = false;
        return true;
    }
    return false;
}

bool is_integer_text(std::string_view s) {
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) s.remove_prefix(1);
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool parse_float_text(const std::string& s, double& value) {
    if (s == ".inf" || s == ".Inf" || s == ".INF" || s == "+.inf") {
        value = std::numeric_limits<double>::infinity();
        return true;
    }
    if (s == "-.inf" || s == "-.Inf" || s == "-.INF") {
        value = -std::numeric_limits<double>::infinity();
        return true;
    }
    if (s == ".nan" || s == ".NaN" || s == ".NAN") {
        value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (s.empty() || std::isspace(static_cast<unsigned char>(s.front())) != 0) return false;
    char* end = nullptr;
    value = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

ScalarType scalar_type(const YAML::Node& node) {
    if (node.IsNull()) return ScalarType::Null;
    if (node.Tag() == "!") return ScalarType::String;  // quoted
    const std::string& s = node.Scalar();
    bool b = false;
    double d = 0;
    if (parse_bool_text(s, b)) return ScalarType::Bool;
    if (is_integer_text(s)) return ScalarType::Int;
    if (parse_float_text(s, d)) return ScalarType::Float;
    return ScalarType::String;
}

bool is_string(const YAML::Node& node) {
    return node.IsDefined() && node.IsScalar() && scalar_type(node) == ScalarType::String;
}

bool is_false(const YAML::Node& node) {
    bool b = true;
    return node.IsDefined() && node.IsScalar() && node.Tag() != "!" && parse_bool_text(node.Scalar(), b) && !b;
}

std::string where(const YAML::Node& node) {
    const YAML::Mark m = node.Mark();
    if (m.is_null()) return "";
    return fmt::format(" at line {} column {}", m.line + 1, m.column + 1);
}

std::optional<std::string> reader_trap(std::string_view text, std::size_t first_line) {
    // The reader's own decoding of malformed UTF-8 leads it into the same loops.
    if (!is_valid_utf8(text)) return std::string("the document is not valid UTF-8");
    int depth = 0;       // open flow collections: [ ] { }
    char quote = 0;      // inside a quoted scalar
    bool line_start = true;
    char prev = '\n';    // the previous character that was not a space
    bool spaced = false; // a space came after `prev`
    bool after_quoted = false;  // the last token was a quoted scalar
    std::size_t line = first_line;
    std::size_t column = 0;
    for (std::size_t i = 0; i < text.size(); ++i, ++column) {
        const char c = text[i];
        // YAML streams hold printable characters only; yaml-cpp skips some control
        // characters and can then meet the ',' trap behind them.
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\n' && c != '\t' && c != '\r') || u == 0x7F) {
            return fmt::format("control character 0x{:02X} at line {} column {}", u, line + 1, column + 1);
        }
        if (c == '\n') {
            ++line;
            column = static_cast<std::size_t>(-1);
            line_start = true;
            if (quote == 0) {
                prev = '\n';
                spaced = false;
            }
            continue;
        }
        if (line_start && quote != 0 && c != ' ' && c != '\t' && c != '\r') {
            if (c == ',') {
                return fmt::format("a line starts with ',' at line {} column {}", line + 1, column + 1);
            }
            line_start = false;
        }
        if (quote != 0) {
            if (quote == '"' && c == '\\') {
                ++i;
                ++column;
            } else if (c == quote) {
                quote = 0;
                prev = c;
                spaced = false;
                after_quoted = true;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r') {
            spaced = true;
            continue;
        }
        // Nothing may follow a quoted scalar with a ',' outside a flow collection.
        if (c == ',' && depth == 0 && (after_quoted || prev == '"' || prev == '\'')) {
            return fmt::format("unexpected ',' after a quoted scalar at line {} column {}", line + 1,
                               column + 1);
        }
        after_quoted = false;
        if (line_start) {
            if (c == '!' || c == '&') {  // a tag or an anchor before the node
                // Both end at a space or at a flow indicator, which then starts the node.
                while (i + 1 < text.size() && std::string_view(" \t\r\n,[]{}").find(text[i + 1]) ==
                                                  std::string_view::npos) {
                    ++i;
                    ++column;
                }
                continue;
            }
            // Whatever the reader thinks it is inside of (a flow collection, a quoted or
            // a multi-line plain scalar), a line may not open with a ','.
            if (c == ',') {
                return fmt::format("a line starts with ',' at line {} column {}", line + 1, column + 1);
            }
            line_start = false;
        }
        if (c == '#' && (prev == '\n' || text[i - 1] == ' ' || text[i - 1] == '\t')) {
            while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
            continue;
        }
        // A quote opens a quoted scalar only where a node starts, not inside "it's".
        // ":", "-" and "?" are indicators only when a space follows them ("a:b", "te--").
        // "[", "{" and "," start nodes only inside a flow collection ("a{{b" is plain text).
        const bool node_start = prev == '\n' ||
                                (depth > 0 && (prev == '[' || prev == '{' || prev == ',')) ||
                                (spaced && (prev == ':' || prev == '-' || prev == '?'));
        if ((c == '"' || c == '\'') && node_start) {
            quote = c;
        } else if ((c == '[' || c == '{') && (node_start || depth > 0)) {
            // In block context a bracket inside a plain scalar is just a character.
            ++depth;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
        prev = c;
        spaced = false;
    }
    return std::nullopt;
}

std::vector<DocumentText> split_documents(std::string_view stream) {
    std::vector<DocumentText> docs;
    DocumentText current;
    std::size_t line_no = 0;
    bool current_has_content = false;
    const auto flush = [&] {
        if (current.explicit_start || current_has_content) docs.push_back(std::move(current));
        current = DocumentText{};
        current_has_content = false;
    };
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t eol = std::min(stream.find('\n', pos), stream.size());
        const std::string_view line = stream.substr(pos, eol - pos);
        const bool marker = line.starts_with("---") &&
                            (line.size() == 3 || line[3] == ' ' || line[3] == '\t' || line[3] == '\r');
        const bool end_marker = line.starts_with("...") &&
                                (line.size() == 3 || line[3] == ' ' || line[3] == '\t' || line[3] == '\r');
        if (marker) {
            flush();
            current.explicit_start = true;
            current.first_line = line_no;
            // Content after the marker on the same line belongs to the document; the
            // marker itself is blanked so that columns stay right.
            current.text = std::string(3, ' ') + std::string(line.substr(3)) + "\n";
            current_has_content = true;
        } else if (end_marker) {
            flush();
            current.first_line = line_no + 1;
        } else {
            if (current.text.empty() && !current.explicit_start) current.first_line = line_no;
            current.text.append(line);
            current.text.push_back('\n');
            const auto first = line.find_first_not_of(" \t\r");
            if (first != std::string_view::npos && line[first] != '#') current_has_content = true;
        }
        pos = eol + 1;
        ++line_no;
    }
    flush();
    return docs;
}

}  // namespace tarvo::yaml

#include "util/yaml.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>

#include <fmt/format.h>

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

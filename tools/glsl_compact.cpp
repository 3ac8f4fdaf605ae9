#include "glsl_compact.h"

#include <array>
#include <cctype>
#include <sstream>

namespace {

bool is_identifier_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool is_digit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c));
}

// Whether a blank between `left` and `right` keeps two tokens apart that
// would otherwise read as one: "float f", "1 .5", "a - -b", "x < =y".
bool blank_needed_between(char left, char right)
{
    if (is_identifier_char(left) && is_identifier_char(right))
        return true;
    if ((is_digit(left) && right == '.') || (left == '.' && is_digit(right)))
        return true;
    static constexpr std::array<const char*, 21> operators = {
        "++", "--", "+=", "-=", "*=", "/=", "%=", "<<", ">>", "<=", "==",
        ">=", "!=", "&&", "||", "^^", "&=", "|=", "^=", "//", "/*"};
    for (const char* op : operators)
        if (op[0] == left && op[1] == right)
            return true;
    return false;
}

// Comments out; a block comment counts as a blank, a line comment ends at
// the line break it leaves in place.
std::string without_comments(std::string_view source)
{
    std::string text;
    for (size_t at = 0; at < source.size();) {
        if (source.compare(at, 2, "//") == 0) {
            at = source.find('\n', at);
            if (at == std::string_view::npos)
                break;
        } else if (source.compare(at, 2, "/*") == 0) {
            size_t end = source.find("*/", at + 2);
            at = end == std::string_view::npos ? source.size() : end + 2;
            text += ' ';
        } else {
            text += source[at++];
        }
    }
    return text;
}

std::string collapsed_blanks(const std::string& line)
{
    std::istringstream words(line);
    std::string result, word;
    while (words >> word)
        result += (result.empty() ? "" : " ") + word;
    return result;
}

}  // namespace

std::string compact_glsl(std::string_view source)
{
    std::istringstream lines(without_comments(source));
    std::string compact, line;
    bool ends_in_directive = false;
    bool blank_pending = false;
    while (std::getline(lines, line)) {
        std::string directive = collapsed_blanks(line);
        if (!directive.empty() && directive[0] == '#') {
            // A directive must stand at the start of its own line.
            if (!compact.empty() && compact.back() != '\n')
                compact += '\n';
            compact += directive + '\n';
            ends_in_directive = true;
            blank_pending = false;
            continue;
        }
        for (char c : line) {
            if (std::isspace(static_cast<unsigned char>(c))) {
                blank_pending = true;
                continue;
            }
            if (blank_pending && !compact.empty() && blank_needed_between(compact.back(), c))
                compact += ' ';
            compact += c;
            blank_pending = false;
            ends_in_directive = false;
        }
        // The line break itself separates tokens like any blank.
        blank_pending = true;
    }
    if (ends_in_directive)
        compact.back() = ' ';
    return compact;
}

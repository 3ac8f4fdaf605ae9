// Reading the call log that the call_log preload library writes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace mirrorfold_test {

// One line of the call log: the call's name, its arguments, its result ("" if
// none). String arguments keep their quotes and escapes.
struct Call {
    std::string name;
    std::vector<std::string> arguments;
    std::string result;

    long long number(size_t index) const;
    std::string text(size_t index) const;  // a quoted argument, unescaped
};

std::vector<Call> parse_call_log(const std::string& log_text);

size_t count_calls(const std::vector<Call>& calls, const std::string& name);

// One emission of "render": where its lines are in the log, how deep it was
// nested, the width of the area's framebuffer and what the handler returned.
struct Emission {
    size_t begin, end;  // indices of render_begin and render_end; end is npos while it runs
    int depth;
    int width;
    std::string result;
};

std::vector<Emission> render_emissions(const std::vector<Call>& calls);

// The calls strictly between indices `begin` and `end` (npos: to the end).
std::vector<Call> between(const std::vector<Call>& calls, size_t begin, size_t end);

// The emission that drew: the one with strips in it.
std::optional<Emission> drawing_emission(const std::vector<Call>& calls);

// Whether the drawing emission has ended after all 108 strips.
bool drawing_finished(const std::vector<Call>& calls);

// Whether `output` is exactly one time line.
bool is_time_line(const std::string& output);

}  // namespace mirrorfold_test

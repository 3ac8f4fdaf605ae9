#include "call_records.h"

#include <algorithm>
#include <regex>
#include <sstream>

namespace mirrorfold_test {

namespace {

std::string unescaped(const std::string& quoted)
{
    std::string text;
    for (size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 2 < quoted.size()) {
            char next = quoted[++i];
            text += next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
            text += quoted[i];
        }
    }
    return text;
}

}  // namespace

long long Call::number(size_t index) const
{
    return std::stoll(arguments.at(index), nullptr, 0);
}

std::string Call::text(size_t index) const
{
    return unescaped(arguments.at(index));
}

std::vector<Call> parse_call_log(const std::string& log_text)
{
    std::vector<Call> calls;
    std::istringstream lines(log_text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t'))
            fields.push_back(field);
        if (fields.empty())
            continue;
        Call call{fields[0], {}, ""};
        for (size_t i = 1; i < fields.size(); ++i) {
            if (fields[i] == "->" && i + 1 < fields.size()) {
                call.result = fields[i + 1];
                break;
            }
            call.arguments.push_back(fields[i]);
        }
        calls.push_back(call);
    }
    return calls;
}

size_t count_calls(const std::vector<Call>& calls, const std::string& name)
{
    return std::count_if(calls.begin(), calls.end(), [&](const Call& call) { return call.name == name; });
}

std::vector<Emission> render_emissions(const std::vector<Call>& calls)
{
    std::vector<Emission> emissions;
    std::vector<size_t> open;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].name == "render_begin") {
            open.push_back(emissions.size());
            emissions.push_back({i, std::string::npos, int(calls[i].number(0)), int(calls[i].number(1)), ""});
        } else if (calls[i].name == "render_end" && !open.empty()) {
            emissions[open.back()].end = i;
            emissions[open.back()].result = calls[i].result;
            open.pop_back();
        }
    }
    return emissions;
}

std::vector<Call> between(const std::vector<Call>& calls, size_t begin, size_t end)
{
    return {calls.begin() + begin + 1, calls.begin() + std::min(end, calls.size())};
}

std::optional<Emission> drawing_emission(const std::vector<Call>& calls)
{
    for (const Emission& emission : render_emissions(calls))
        if (count_calls(between(calls, emission.begin, emission.end), "glScissor") > 0)
            return emission;
    return std::nullopt;
}

bool drawing_finished(const std::vector<Call>& calls)
{
    auto drawing = drawing_emission(calls);
    return drawing && drawing->end != std::string::npos &&
           count_calls(between(calls, drawing->begin, drawing->end), "glScissor") == 108;
}

bool is_time_line(const std::string& output)
{
    static const std::regex time_line("render time: [0-9]+\\.[0-9]{6}\n");
    return std::regex_match(output, time_line);
}

}  // namespace mirrorfold_test

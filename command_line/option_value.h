// The command lines of the renderer and the benchmark: options that take a
// value, written "--option value" or "--option=value".
#pragma once

#include <string>

// The option's name in argv[i], its value set from the same argument or
// from the next one, which i then moves past; null where none follows.
inline std::string option_with_value(int argc, char** argv, int& i, const char*& value)
{
    std::string option = argv[i];
    value = nullptr;
    size_t equals = option.find('=');
    if (equals != std::string::npos) {
        value = argv[i] + equals + 1;
        option.resize(equals);
    } else if (i + 1 < argc) {
        value = argv[++i];
    }
    return option;
}

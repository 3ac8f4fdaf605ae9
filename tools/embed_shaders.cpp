// Build step: compacts each shader source and writes them all into one C++
// header as string literals, the form in which the executable carries them.
//
//   embed_shaders OUTPUT.h NAME=SOURCE.glsl...
//
// Each NAME becomes a constexpr pointer to its compact text; a literal (not
// an array) lets the linker share equal string tails across the program.

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "glsl_compact.h"

namespace {

std::string cpp_literal(const std::string& text)
{
    std::string literal = "\"";
    for (char c : text) {
        if (c == '\n')
            literal += "\\n";
        else if (c == '"' || c == '\\')
            literal += std::string("\\") + c;
        else
            literal += c;
    }
    return literal + "\"";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: embed_shaders OUTPUT.h NAME=SOURCE.glsl...\n";
        return 2;
    }
    std::ostringstream header;
    header << "// Generated at build time by tools/embed_shaders from shaders/; edit those.\n"
              "#pragma once\n";
    for (int i = 2; i < argc; ++i) {
        std::string argument = argv[i];
        size_t equals = argument.find('=');
        if (equals == std::string::npos) {
            std::cerr << "embed_shaders: expected NAME=SOURCE, got '" << argument << "'\n";
            return 2;
        }
        std::ifstream source(argument.substr(equals + 1), std::ios::binary);
        if (!source) {
            std::cerr << "embed_shaders: cannot read " << argument.substr(equals + 1) << "\n";
            return 1;
        }
        std::ostringstream text;
        text << source.rdbuf();
        header << "constexpr const char* " << argument.substr(0, equals) << " = "
               << cpp_literal(compact_glsl(text.str())) << ";\n";
    }
    std::ofstream output(argv[1], std::ios::binary);
    output << header.str();
    return output.good() ? 0 : 1;
}

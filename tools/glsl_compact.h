// Readable GLSL in, the compact text the executable embeds out.
#pragma once

#include <string>
#include <string_view>

// Removes comments and every blank or line break the grammar can do without.
// A preprocessor line is kept whole, its blanks collapsed to one, and keeps
// its line break, except when it ends the text: the host appends the rest of
// such a directive at run time, so it ends in a blank instead.
std::string compact_glsl(std::string_view source);

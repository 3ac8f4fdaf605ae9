// The rules by which readable shader sources become the compact texts the
// executable carries, and the texts themselves as the program embeds them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

#include "glsl_compact.h"
#include "shader_texts.h"

namespace {

TEST(GlslCompact, DropsCommentsAndNeedlessBlanks)
{
    EXPECT_EQ(compact_glsl("float  a = b + c ;  // sum\n"), "float a=b+c;");
    EXPECT_EQ(compact_glsl("vec3 x = /* scaled */ v * 2;"), "vec3 x=v*2;");
    EXPECT_EQ(compact_glsl("a = 1; /* spans\n several\n lines */ b = 2;\n"), "a=1;b=2;");
    EXPECT_EQ(compact_glsl("float/* a blank */f;"), "float f;");
    EXPECT_EQ(compact_glsl("void main()\n{\n    return;\n}\n"), "void main(){return;}");
    EXPECT_EQ(compact_glsl("\n\n   \n"), "");
}

TEST(GlslCompact, LineBreaksSeparateTokensLikeBlanks)
{
    EXPECT_EQ(compact_glsl("float\nf;"), "float f;");
    EXPECT_EQ(compact_glsl("x = 1\n.5;"), "x=1 .5;");
}

TEST(GlslCompact, KeepsBlanksThatSeparateTokens)
{
    // Joined, these would read as one token or as another operator.
    EXPECT_EQ(compact_glsl("a - -b"), "a- -b");
    EXPECT_EQ(compact_glsl("a + +b"), "a+ +b");
    EXPECT_EQ(compact_glsl("x = a & &b"), "x=a& &b");
    EXPECT_EQ(compact_glsl("1 .5"), "1 .5");
    EXPECT_EQ(compact_glsl("a / *b"), "a/ *b");
    // These join safely.
    EXPECT_EQ(compact_glsl("a = -b"), "a=-b");
    EXPECT_EQ(compact_glsl("c ? -1 : 1"), "c?-1:1");
    EXPECT_EQ(compact_glsl("e * e < 1e-6"), "e*e<1e-6");
}

TEST(GlslCompact, PreprocessorLinesKeepTheirLineBreak)
{
    EXPECT_EQ(compact_glsl("#version 430\nvoid main() {}\n"), "#version 430\nvoid main(){}");
    EXPECT_EQ(compact_glsl("  #  define   F(x)   x * 2  // doubled\nF(1);"), "# define F(x) x * 2\nF(1);");
    // A directive after code starts a line of its own.
    EXPECT_EQ(compact_glsl("a;\n#define B\nb;"), "a;\n#define B\nb;");
}

TEST(GlslCompact, AFinalDirectiveStaysOpenForTheHostsText)
{
    EXPECT_EQ(compact_glsl("#version 420\n#define SAMPLES\n"), "#version 420\n#define SAMPLES ");
    EXPECT_EQ(compact_glsl("#define N // value pasted at run time\n\n"), "#define N ");
}

TEST(EmbeddedShaderTexts, AreWhatTheGlIsHanded)
{
    EXPECT_STREQ(vertex_source,
                 "#version 430\nvoid main(){gl_Position=vec4(gl_VertexID%2==0?-1:1,gl_VertexID%4/2==0?-1:1,1,1);}");
    EXPECT_STREQ(fragment_prelude, "#version 420\n#define SAMPLES ");
    std::string body = fragment_body;
    EXPECT_EQ(body.find('\n'), std::string::npos) << "the body is one line";
    EXPECT_EQ(body.find("//"), std::string::npos);
    EXPECT_LE(body.size(), 995u);
    EXPECT_NE(body.find("m<SAMPLES"), std::string::npos) << "the sample loop's bound";
    std::cout << "compact fragment body: " << body.size() << " characters\n";
}

TEST(EmbedShaders, WritesLiteralsOrFailsWhereItCannot)
{
    // Quotes and backslashes, which a directive may hold, are escaped.
    const auto directory = std::filesystem::temp_directory_path() / ("embed-" + std::to_string(getpid()));
    std::filesystem::create_directory(directory);
    std::ofstream(directory / "q.glsl") << "#define Q \"a\\b\"\n";
    const std::string embed = "'" EMBED_SHADERS "' '" + directory.string() + "/";
    EXPECT_EQ(std::system((embed + "q.h' q='" + directory.string() + "/q.glsl'").c_str()), 0);
    std::ifstream header(directory / "q.h");
    const std::string text((std::istreambuf_iterator<char>(header)), {});
    std::filesystem::remove_all(directory);
    EXPECT_NE(text.find("constexpr const char* q = \"#define Q \\\"a\\\\b\\\" \";\n"), std::string::npos) << text;
    // The build must stop where the header cannot be written, rather than
    // go on with an old one or none.
    EXPECT_NE(std::system((embed + "no/q.h' q='" SHADER_DIRECTORY "/vertex.glsl' 2>/dev/null").c_str()), 0);
}

}  // namespace

// Build step: the smallest gzip stream zlib can make of one file.
//
//   gzip_smallest INPUT OUTPUT
//
// The packed executable carries this stream and has gzip decode it, so any
// valid gzip stream will do; the smallest one here is found by trying every
// compression level and memory level (which sets the size of deflate's
// blocks), each with zlib's own tuning and with the longest matches and
// chains it allows. For a file of a few kilobytes that is quick, and the
// result depends on the input alone: the header carries no name and no time.

#include <zlib.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

namespace {

struct Settings {
    int level, memory_level;
    bool longest_matches;
};

std::optional<std::string> gzip_stream(const std::string& input, const Settings& settings)
{
    z_stream stream{};
    constexpr int gzip_wrapper = 16 + 15;  // a gzip header and trailer, the full 32 KiB window
    if (deflateInit2(&stream, settings.level, Z_DEFLATED, gzip_wrapper, settings.memory_level,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    if (settings.longest_matches)
        deflateTune(&stream, 258, 258, 258, 32768);
    std::string output(deflateBound(&stream, input.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = input.size();
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = output.size();
    int result = deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        return std::nullopt;
    return output;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: gzip_smallest INPUT OUTPUT\n";
        return 2;
    }
    std::ifstream input_file(argv[1], std::ios::binary);
    std::string input(std::istreambuf_iterator<char>(input_file), {});
    if (!input_file) {
        std::cerr << "gzip_smallest: cannot read " << argv[1] << "\n";
        return 1;
    }

    std::optional<std::string> smallest;
    for (int level = 1; level <= 9; ++level)
        for (int memory_level = 1; memory_level <= 9; ++memory_level)
            for (bool longest_matches : {false, true}) {
                auto stream = gzip_stream(input, {level, memory_level, longest_matches});
                if (stream && (!smallest || stream->size() < smallest->size()))
                    smallest = std::move(stream);
            }
    if (!smallest) {
        std::cerr << "gzip_smallest: zlib failed\n";
        return 1;
    }

    std::ofstream output(argv[2], std::ios::binary);
    output << *smallest;
    if (!output.flush()) {
        std::cerr << "gzip_smallest: cannot write " << argv[2] << "\n";
        return 1;
    }
    std::cout << argv[1] << ": " << input.size() << " bytes, gzip stream " << smallest->size() << " bytes\n";
}

// Build step: the gzip stream of one file, as small as zopfli makes it.
//
//   zopfli_gzip INPUT OUTPUT
//
// The packed executable carries this stream and has gzip decode it, so any
// valid gzip stream will do. Zopfli searches for the smallest deflate
// encoding far longer than zlib does: on mirrorfold it saves about 150 bytes
// over zlib's best settings, in a couple of seconds for a file this small.
// The result depends on the input alone: the header carries no name and no
// time.

#include <zopfli/zopfli.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: zopfli_gzip INPUT OUTPUT\n";
        return 2;
    }
    std::ifstream input_file(argv[1], std::ios::binary);
    std::string input(std::istreambuf_iterator<char>(input_file), {});
    if (!input_file) {
        std::cerr << "zopfli_gzip: cannot read " << argv[1] << "\n";
        return 1;
    }

    ZopfliOptions options;
    ZopfliInitOptions(&options);
    // Past a thousand rounds the stream shrinks by a few bytes at most.
    options.numiterations = 1000;
    unsigned char* stream = nullptr;
    size_t stream_size = 0;
    ZopfliCompress(&options, ZOPFLI_FORMAT_GZIP, reinterpret_cast<const unsigned char*>(input.data()), input.size(),
                   &stream, &stream_size);

    std::ofstream output(argv[2], std::ios::binary);
    output.write(reinterpret_cast<const char*>(stream), stream_size);
    free(stream);
    if (!output.flush()) {
        std::cerr << "zopfli_gzip: cannot write " << argv[2] << "\n";
        return 1;
    }
    std::cout << argv[1] << ": " << input.size() << " bytes, gzip stream " << stream_size << " bytes\n";
}

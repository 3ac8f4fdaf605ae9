// Where an image is saved: a PNG path checked and claimed before anything is
// drawn, so that a path that cannot be written is refused at once rather
// than after hours of drawing, and written whole or not at all. Used by the
// renderer and the benchmark, which so accept and refuse the same names.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A path refused before anything is drawn; what() is the reason, on one line.
struct ImageFileRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class ImageFile {
public:
    // Claims a temporary file beside `path`: only a file made there shows
    // that the directory takes one (permissions do not tell for root, nor on
    // a file system such as /proc). Throws ImageFileRefused.
    explicit ImageFile(const std::string& path);
    // Removes the temporary file unless the image was saved.
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    using TextChunks = std::vector<std::pair<std::string, std::string>>;
    // RGBA rows from the bottom up, as GL reads them; the PNG has its top row
    // first. The image appears under its name only once complete. Throws
    // std::runtime_error, the temporary file removed.
    void save(int width, int height, const std::vector<unsigned char>& rgba, const TextChunks& text);

    // For a signal handler, which may only unlink: the text stays put.
    const char* temporary_path() const { return temporary_path_.c_str(); }

private:
    std::string path_, temporary_path_;
    int descriptor_ = -1;
};

// Where an image is saved: a path checked and claimed before anything is
// drawn, so that a path that cannot be written is refused at once rather
// than after hours of drawing, and written whole or not at all. Used by the
// renderer and the benchmark, which so accept and refuse the same names;
// the renderer also writes its OpenEXR files (checkpoints, parts of a
// render) and its previews through it, each write a whole file.
#pragma once

#include <functional>
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
    enum class Format { png, exr };
    // Claims a temporary file beside `path`: only a file made there shows
    // that the directory takes one (permissions do not tell for root, nor on
    // a file system such as /proc). The name must end in the format's
    // extension, in any case. Throws ImageFileRefused.
    explicit ImageFile(const std::string& path, Format format = Format::png);
    // Removes the temporary file unless the image was saved.
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    using TextChunks = std::vector<std::pair<std::string, std::string>>;
    // RGBA rows from the bottom up, as GL reads them; the PNG has its top row
    // first. The image appears under its name only once complete. Throws
    // std::runtime_error, the temporary file removed. A fast compression
    // suits a file written again and again.
    enum class Compression { best_for_size, fast };
    void save(int width, int height, const std::vector<unsigned char>& rgba, const TextChunks& text,
              Compression compression = Compression::best_for_size);

    // The same for a file that a library writes: `write` fills the open
    // temporary file, then it is synced and renamed into place. Throws
    // std::runtime_error, with what `write` threw.
    void save_with(const std::function<void(int descriptor)>& write);

private:
    // Syncs the written temporary file and gives it its name; `error` is
    // what writing it failed with, 0 where it did not.
    void finish(int error);

    std::string path_, temporary_path_;
    int descriptor_ = -1;
};

#include "image_file.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool ends_in(const std::string& path, const std::string& extension)
{
    if (path.size() < extension.size())
        return false;
    std::string end = path.substr(path.size() - extension.size());
    for (char& c : end)
        c = char(tolower(static_cast<unsigned char>(c)));
    return end == extension;
}

bool is_directory(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// libpng's own handler prints its reason before giving up; the caller says
// it in one line of its own, with the system's reason, which a failed
// write leaves in errno and libpng's longjmp would not keep.
int encoding_error;

[[noreturn]] void give_up(png_structp png, png_const_charp)
{
    encoding_error = errno;
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

}  // namespace

ImageFile::ImageFile(const std::string& path, Format format) : path_(path)
{
    if (path.empty())
        throw ImageFileRefused("the image's name is empty");
    if (format == Format::png && !ends_in(path, ".png"))
        throw ImageFileRefused(path + ": the image is saved as a PNG; name it so (IMAGE.png)");
    if (format == Format::exr && !ends_in(path, ".exr"))
        throw ImageFileRefused(path + ": this is saved as an OpenEXR file; name it so (NAME.exr)");
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (!is_directory(directory))
        throw ImageFileRefused(directory + ": no such directory");
    temporary_path_ = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + ".mirrorfold-XXXXXX";
    if (is_directory(path) || (descriptor_ = mkstemp(temporary_path_.data())) < 0) {
        temporary_path_.clear();
        throw ImageFileRefused("cannot write " + path);
    }
    // mkstemp makes the file for its owner alone; a saved image is as any
    // other new file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor_, 0666 & ~mask);
}

ImageFile::~ImageFile()
{
    if (descriptor_ >= 0) {
        close(descriptor_);
        unlink(temporary_path_.c_str());
    }
}

void ImageFile::save(int width, int height, const std::vector<unsigned char>& rgba, const TextChunks& text,
                     Compression compression)
{
    // A stream of its own over the descriptor, which stays open to be synced.
    FILE* file = fdopen(dup(descriptor_), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, give_up, ignore_warning);
    png_infop info = png_create_info_struct(png);
    std::vector<png_text> chunks(text.size());
    std::vector<png_bytep> rows(height);
    int error = 0;
    encoding_error = 0;
    if (!file) {
        error = errno;
    } else if (!setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        if (compression == Compression::fast)
            png_set_compression_level(png, 1);
        png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        for (size_t i = 0; i < text.size(); ++i) {
            chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
            chunks[i].key = const_cast<char*>(text[i].first.c_str());
            chunks[i].text = const_cast<char*>(text[i].second.c_str());
        }
        png_set_text(png, info, chunks.data(), int(chunks.size()));
        for (int y = 0; y < height; ++y)
            rows[y] = const_cast<png_bytep>(rgba.data()) + size_t(height - 1 - y) * width * 4;
        png_set_rows(png, info, rows.data());
        png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
        if (fflush(file) != 0)
            error = errno;
    } else {
        // A failed encoding with no reason of the system's still fails.
        error = encoding_error ? encoding_error : EIO;
    }
    png_destroy_write_struct(&png, &info);
    if (file && fclose(file) != 0 && !error)
        error = errno;
    finish(error);
}

void ImageFile::save_with(const std::function<void(int descriptor)>& write)
{
    std::string reason;
    try {
        write(descriptor_);
    } catch (const std::exception& failure) {
        reason = failure.what();
    }
    if (reason.empty()) {
        finish(0);
        return;
    }
    close(descriptor_);
    descriptor_ = -1;
    unlink(temporary_path_.c_str());
    throw std::runtime_error("cannot save " + path_ + ": " + reason);
}

void ImageFile::finish(int error)
{
    // The data is on disk before the name points at it: a crash after the
    // rename leaves the whole file, never an empty one.
    if (!error && fsync(descriptor_) != 0)
        error = errno;
    if (close(descriptor_) != 0 && !error)
        error = errno;
    descriptor_ = -1;
    if (!error && rename(temporary_path_.c_str(), path_.c_str()) == 0)
        return;
    if (!error)
        error = errno;
    unlink(temporary_path_.c_str());
    throw std::runtime_error("cannot save " + path_ + ": " + strerror(error));
}

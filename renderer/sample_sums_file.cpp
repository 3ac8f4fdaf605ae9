#include "sample_sums_file.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#include <ImfIntAttribute.h>
#include <ImfOutputFile.h>
#include <ImfStringAttribute.h>
#include <ImfTestFile.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image_file.h"
#include "offscreen_gl.h"
#include "shader_texts.h"

namespace {

using namespace image_frame;

// The attributes that make an OpenEXR file one of ours.
constexpr const char *shader_attribute = "mirrorfoldShader", *first_attribute = "mirrorfoldFirstSample",
                     *done_attribute = "mirrorfoldSamplesDone", *asked_attribute = "mirrorfoldSamplesAsked";
constexpr const char* channels[] = {"R", "G", "B", "A"};

// OpenEXR's rows run top-down, GL's bottom-up: the slices start at the top
// row, the frame's last, and step backwards.
Imf::FrameBuffer frame_slices(const float* rgba)
{
    const size_t pixel = 4 * sizeof(float), row = pixel * width;
    char* top = reinterpret_cast<char*>(const_cast<float*>(rgba)) + row * (height - 1);
    Imf::FrameBuffer slices;
    for (int c = 0; c < 4; ++c)
        slices.insert(channels[c], Imf::Slice(Imf::FLOAT, top + c * sizeof(float), pixel, -ptrdiff_t(row)));
    return slices;
}

// OpenEXR's output to an open file, so that the file is the one claimed
// and synced, and a failed write says the system's reason alone.
class DescriptorStream : public Imf::OStream {
public:
    explicit DescriptorStream(int descriptor) : Imf::OStream("sums"), descriptor_(descriptor) {}

    void write(const char bytes[], int count) override
    {
        while (count > 0) {
            ssize_t written = pwrite(descriptor_, bytes, size_t(count), off_t(position_));
            if (written <= 0)
                throw std::runtime_error(strerror(written < 0 ? errno : EIO));
            bytes += written, count -= int(written), position_ += uint64_t(written);
        }
    }
    uint64_t tellp() override { return position_; }
    void seekp(uint64_t position) override { position_ = position; }

private:
    int descriptor_;
    uint64_t position_ = 0;
};

template <typename Attribute>
const Attribute* attribute(const Imf::Header& header, const char* name)
{
    return header.findTypedAttribute<Attribute>(name);
}

}  // namespace

void save_sample_sums(ImageFile& file, const SampleSums& sums)
{
    Imf::Header header(width, height);
    // The sums are noise in their low bits, which no compression shrinks
    // much: plain is fastest to write and read.
    header.compression() = Imf::NO_COMPRESSION;
    for (const char* channel : channels)
        header.channels().insert(channel, Imf::Channel(Imf::FLOAT));
    header.insert(shader_attribute, Imf::StringAttribute(fragment_body));
    header.insert(first_attribute, Imf::IntAttribute(sums.first_sample));
    header.insert(done_attribute, Imf::IntAttribute(sums.samples_done));
    header.insert(asked_attribute, Imf::IntAttribute(sums.samples_asked));
    file.save_with([&](int descriptor) {
        DescriptorStream stream(descriptor);
        Imf::OutputFile output(stream, header);
        output.setFrameBuffer(frame_slices(sums.rgba.data()));
        output.writePixels(height);
    });
}

SampleSums load_sample_sums(const std::string& path)
{
    auto unfit = [&](const std::string& why) { return SampleSumsUnfit(path + ": " + why); };
    // Whether it can be read at all, with the system's reason where not.
    int descriptor = open(path.c_str(), O_RDONLY);
    if (descriptor < 0)
        throw unfit(std::string("cannot read it: ") + strerror(errno));
    close(descriptor);
    if (!Imf::isOpenExrFile(path.c_str()))
        throw unfit("not an OpenEXR file, so not a file of mirrorfold's sums");

    SampleSums sums;
    try {
        Imf::InputFile file(path.c_str());
        const Imf::Header& header = file.header();
        auto shader = attribute<Imf::StringAttribute>(header, shader_attribute);
        auto first = attribute<Imf::IntAttribute>(header, first_attribute);
        auto done = attribute<Imf::IntAttribute>(header, done_attribute);
        auto asked = attribute<Imf::IntAttribute>(header, asked_attribute);
        if (!shader || !first || !done || !asked)
            throw unfit("an OpenEXR file, but not one of mirrorfold's sums");
        if (shader->value() != fragment_body)
            throw unfit("made with another shader than this build's");
        const Imath::Box2i& window = header.dataWindow();
        int file_width = window.max.x - window.min.x + 1, file_height = window.max.y - window.min.y + 1;
        if (window.min.x != 0 || window.min.y != 0 || file_width != width || file_height != height)
            throw unfit("a frame of " + std::to_string(file_width) + "x" + std::to_string(file_height) + ", not " +
                        std::to_string(width) + "x" + std::to_string(height));
        for (const char* channel : channels) {
            const Imf::Channel* found = header.channels().findChannel(channel);
            if (!found || found->type != Imf::FLOAT)
                throw unfit(std::string("no float channel ") + channel + ", so not one of mirrorfold's sums");
        }
        sums.first_sample = first->value();
        sums.samples_done = done->value();
        sums.samples_asked = asked->value();
        if (sums.first_sample < 0 || sums.samples_done < 0 || sums.samples_asked < sums.end_sample())
            throw unfit("damaged: samples " + std::to_string(sums.first_sample) + " and " +
                        std::to_string(sums.samples_done) + " more, of " + std::to_string(sums.samples_asked));
        sums.rgba.assign(size_t(width) * height * 4, -1);
        file.setFrameBuffer(frame_slices(sums.rgba.data()));
        file.readPixels(window.min.y, window.max.y);
    } catch (const SampleSumsUnfit&) {
        throw;
    } catch (const std::exception& error) {
        throw unfit(std::string("cut short or damaged: ") + error.what());
    }
    // Every pixel holds as many samples as the file says: a line that the
    // library filled in, or bytes changed on the way, show here.
    for (size_t i = 3; i < sums.rgba.size(); i += 4)
        if (sums.rgba[i] != float(sums.samples_done))
            throw unfit("damaged: pixel " + std::to_string(i / 4) + " holds " + std::to_string(sums.rgba[i]) +
                        " samples, not " + std::to_string(sums.samples_done));
    return sums;
}

// Build step: codes an executable for the packed form's unpacker.
//
//   pack_executable INPUT BLOB INCLUDE
//
// BLOB is what the unpacker carries after its code: the coded stream, the
// context model's choice of contexts (a mask byte each), and last the
// image's 32-bit check value. INCLUDE gives the unpacker's assembler the
// image's size and the number of contexts.
//
// The model is unpacker/context_coder.S itself, assembled for encoding
// (tools/context_encoder.S) and linked into this tool, so the encoder and
// the unpacker cannot disagree on a single bit: it gives the bound at
// which the coder's range splits for each bit, and this tool writes the
// digits of a number that falls on the image's side of every split. Which
// contexts to use is searched for here: a greedy search that adds, one at
// a time, the context that shortens the stream most, over a fixed list of
// candidates and from a fixed start, so two builds choose the same; it
// stops when no candidate saves more than its own mask byte, or the model
// is full.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "packed_format.h"

extern "C" {
// The model (context_encoder.S) and its state.
extern uint8_t model_block[], model_counts[], model_counts_end[];
uint32_t* model_image(uint8_t* image, const uint8_t* image_end, uint32_t* bounds, unsigned contexts,
                      uint32_t* check_value);
}

namespace {

using Masks = std::vector<uint8_t>;
using Bytes = std::vector<uint8_t>;

// The coder's range, the highest value the interval spans above its low
// end, starts at 0, an interval of one, and grows by a byte of ones
// whenever it is below MODEL_RANGE_FLOOR. The low end's top byte becomes
// a digit when it grows, and the first 4 digits stand for the whole part
// of the coded number, which is always 0.
constexpr size_t WHOLE_DIGITS = 4;

constexpr size_t SEARCH_SAMPLE_BYTES = 8 << 10;

// The coder must keep what it promises; a fault here is the tool's own.
void require(bool holds, const char* what)
{
    if (!holds) {
        std::cerr << "pack_executable: internal error: " << what << "\n";
        std::exit(3);
    }
}

// The stream for `image` under `masks`. The unpacker finds the masks right
// after the stream: the number's last digits may be left to them where
// they fall on the right side of every split.
Bytes encode(const Bytes& image, const Masks& masks, uint32_t* check_value = nullptr)
{
    memset(model_block, 0, MODEL_BLOCK_BYTES);
    std::copy(masks.begin(), masks.end(), model_block);
    memset(model_counts, 0, model_counts_end - model_counts);
    // The model reads the bytes before the current one: zeros before the
    // image, as in the unpacker's memory.
    Bytes memory(MODEL_HISTORY_BYTES, 0);
    memory.insert(memory.end(), image.begin(), image.end());
    std::vector<uint32_t> bounds(image.size() * 8);
    uint32_t check;
    uint32_t* end = model_image(&memory[MODEL_HISTORY_BYTES], memory.data() + memory.size(), bounds.data(),
                                unsigned(masks.size()), &check);
    require(end == bounds.data() + bounds.size(), "a bound for each bit");
    if (check_value)
        *check_value = check;

    // The interval [low, low + range] narrows with each bit: the part up to
    // the bound is a zero's. `digits` are the number's bytes that
    // have left the 32-bit window of `low`; a carry out of the window
    // ripples into them.
    Bytes digits;
    uint64_t low = 0;
    uint32_t range = 0;
    auto carry = [&] {
        for (size_t i = digits.size(); i-- > 0 && ++digits[i] == 0;) {
        }
        low &= 0xffffffff;
    };
    for (size_t bit = 0; bit < bounds.size(); ++bit) {
        while (range < MODEL_RANGE_FLOOR) {
            digits.push_back(uint8_t(low >> 24));
            low = (low & 0xffffff) << 8;
            range = range << 8 | 0xff;
        }
        uint32_t bound = bounds[bit];
        require(bound < range, "a bound inside the range");
        if (image[bit / 8] >> (7 - bit % 8) & 1) {
            low += bound + 1;
            range -= bound + 1;
            if (low >> 32)
                carry();
        } else {
            range = bound;
        }
    }
    // The last 4 digits: the fewest that, followed by the bytes after the
    // stream, still make a number inside the interval.
    for (size_t kept = 0; kept <= 4; ++kept) {
        int free_bits = 8 * int(4 - kept);
        uint64_t tail = 0;
        for (size_t i = 0; i < 4 - kept; ++i)
            tail = tail << 8 | masks[i];
        uint64_t step = uint64_t(1) << free_bits;
        // The least number from low on that ends in those bytes; with all
        // 4 digits kept it is low itself, always inside.
        uint64_t number = low <= tail ? tail : (low - tail + step - 1) / step * step + tail;
        if (number - low > range)
            continue;
        low = number;
        if (low >> 32)
            carry();
        for (size_t i = 0; i < kept; ++i)
            digits.push_back(uint8_t(low >> (24 - 8 * i)));
        break;
    }
    for (size_t i = 0; i < WHOLE_DIGITS; ++i)
        require(digits[i] == 0, "a number below 1");
    return Bytes(digits.begin() + WHOLE_DIGITS, digits.end());
}

Masks search_contexts(const Bytes& image)
{
    // Candidates: every choice of up to MODEL_MAX_CONTEXT_BYTES positions,
    // 92 of them. The whole search takes about 20 s for mirrorfold.
    Masks candidates;
    for (unsigned mask = 1; mask < 256; ++mask)
        if (__builtin_popcount(mask) <= MODEL_MAX_CONTEXT_BYTES)
            candidates.push_back(uint8_t(mask));
    // Start: the order-0 to order-3 contexts. A context joins only if it
    // saves more than the byte its mask takes in the file. The first mask
    // stays 0: the unpacker takes that byte for an empty text.
    Masks chosen = {0, 1, 3, 7};
    size_t size = encode(image, chosen).size();
    while (chosen.size() < MODEL_MAX_CONTEXTS) {
        uint8_t best = 0;
        size_t best_size = size - 1;
        for (uint8_t candidate : candidates) {
            if (std::find(chosen.begin(), chosen.end(), candidate) != chosen.end())
                continue;
            Masks trial = chosen;
            trial.push_back(candidate);
            size_t trial_size = encode(image, trial).size();
            if (trial_size < best_size)
                best = candidate, best_size = trial_size;
        }
        if (!best)
            break;
        chosen.push_back(best);
        size = best_size;
    }
    return chosen;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: pack_executable INPUT BLOB INCLUDE\n";
        return 2;
    }
    std::ifstream input(argv[1], std::ios::binary);
    Bytes image(std::istreambuf_iterator<char>(input), {});
    if (!input || image.empty() || image.size() > MODEL_MAX_IMAGE_BYTES) {
        std::cerr << "pack_executable: cannot read " << argv[1] << ", or it is empty or over "
                  << MODEL_MAX_IMAGE_BYTES << " bytes\n";
        return 1;
    }

    auto started = std::chrono::steady_clock::now();
    // The search codes its trials on the image's first SEARCH_SAMPLE_BYTES
    // only, which bounds its time for any input (about 20 s) and leaves
    // mirrorfold's whole.
    Masks masks = search_contexts(Bytes(image.begin(), image.begin() + std::min(image.size(), SEARCH_SAMPLE_BYTES)));
    uint32_t check;
    Bytes stream = encode(image, masks, &check);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::ofstream blob(argv[2], std::ios::binary);
    blob.write(reinterpret_cast<const char*>(stream.data()), stream.size());
    blob.write(reinterpret_cast<const char*>(masks.data()), masks.size());
    blob.write(reinterpret_cast<const char*>(&check), 4);
    std::ofstream include(argv[3]);
    include << "/* Written by pack_executable for " << argv[1] << ". */\n"
            << ".set image_size, " << image.size() << "\n"
            << ".set contexts_count, " << masks.size() << "\n";
    if (!blob.flush() || !include.flush()) {
        std::cerr << "pack_executable: cannot write " << argv[2] << " or " << argv[3] << "\n";
        return 1;
    }
    std::cout << argv[1] << ": " << image.size() << " bytes, " << masks.size() << " contexts, stream "
              << stream.size() << " bytes, searched and coded in " << seconds << " s\n";
}

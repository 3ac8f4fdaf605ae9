// Build step: codes an executable for the packed form's unpacker.
//
//   pack_executable INPUT BLOB INCLUDE
//
// BLOB is what the unpacker carries after its code: the context model's
// choice of contexts (a mask byte each), the coded stream, and last the
// image's 32-bit check value. INCLUDE gives the unpacker's assembler the
// image's size and the number of contexts.
//
// The coding is unpacker/context_coder.S itself, assembled for encoding
// (tools/context_encoder.S) and linked into this tool, so the encoder and
// the unpacker cannot disagree on a single bit. Which contexts to use is
// searched for here: a greedy search that adds, one at a time, the context
// that shortens the stream most, over a fixed list of candidates and from
// a fixed start, so two builds choose the same; it stops when no candidate
// saves more than its own mask byte, or the model is full.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "packed_format.h"

extern "C" {
// The coder (context_encoder.S) and its state.
extern uint8_t model_state[], model_state_end[];
uint8_t* encode_image(const uint8_t* image, const uint8_t* image_end, uint8_t* stream, unsigned contexts,
                      uint32_t* check_value);
// Read by the model: the contexts' masks, as the packed file stores them.
uint8_t model_contexts[MODEL_MAX_CONTEXTS];
}

namespace {

using Masks = std::vector<uint8_t>;

std::vector<uint8_t> encode(const std::vector<uint8_t>& image, const Masks& masks, uint32_t* check_value = nullptr)
{
    std::copy(masks.begin(), masks.end(), model_contexts);
    memset(model_state, 0, model_state_end - model_state);
    // The model reads the bytes before the current one: zeros before the
    // image, as in the unpacker's memory.
    std::vector<uint8_t> memory(MODEL_HISTORY_BYTES, 0);
    memory.insert(memory.end(), image.begin(), image.end());
    // A coded bit never shifts out more than the interval's 4 bytes.
    std::vector<uint8_t> stream(image.size() * 8 * 4 + 8);
    uint32_t check;
    uint8_t* end = encode_image(&memory[MODEL_HISTORY_BYTES], memory.data() + memory.size(), stream.data(),
                                unsigned(masks.size()), &check);
    if (check_value)
        *check_value = check;
    stream.resize(end - stream.data());
    return stream;
}

Masks search_contexts(const std::vector<uint8_t>& image)
{
    // Candidates: one or two of the positions, or three with the last byte
    // among them. Some 60 trials a step keep the whole search within about
    // 15 s.
    Masks candidates;
    for (unsigned mask = 1; mask < 256; ++mask)
        if (__builtin_popcount(mask) <= 2 || (__builtin_popcount(mask) == 3 && (mask & 1)))
            candidates.push_back(uint8_t(mask));
    // Start: the order-0 to order-3 contexts. A context joins only if it
    // saves more than the byte its mask takes in the file.
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
    std::vector<uint8_t> image(std::istreambuf_iterator<char>(input), {});
    if (!input || image.empty() || image.size() > MODEL_MAX_IMAGE_BYTES) {
        std::cerr << "pack_executable: cannot read " << argv[1] << ", or it is empty or over "
                  << MODEL_MAX_IMAGE_BYTES << " bytes\n";
        return 1;
    }

    auto started = std::chrono::steady_clock::now();
    Masks masks = search_contexts(image);
    uint32_t check;
    std::vector<uint8_t> stream = encode(image, masks, &check);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::ofstream blob(argv[2], std::ios::binary);
    blob.write(reinterpret_cast<const char*>(masks.data()), masks.size());
    blob.write(reinterpret_cast<const char*>(stream.data()), stream.size());
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

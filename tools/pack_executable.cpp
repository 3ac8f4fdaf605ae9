// Build step: codes an executable for the packed form's unpacker.
//
//   pack_executable INPUT BLOB INCLUDE
//
// INPUT is a 64-bit x86-64 ELF executable, at a fixed address or
// position-independent, whose segments map at most MODEL_MAX_IMAGE_BYTES;
// anything else is refused before a byte is coded. BLOB is what the
// unpacker carries after its code: the coded stream, the context model's
// choice of contexts (a mask byte each), and last the image's 32-bit check
// value. INCLUDE gives the unpacker's assembler the image's size and the
// number of contexts. Both are written only once the coding has
// succeeded; a refusal, or a failure to write them, leaves neither behind,
// not even an older one the build could take for this input's. Each kind
// of refusal has an exit status of its own, as <sysexits.h> names them.
//
// The image is what the started process reads of INPUT: the bytes its
// program headers map. The section header table and its names after them
// are left out and the ELF header's fields for them cleared, and the
// compiler's identification text, which nothing reads either, is zeroed:
// in mirrorfold, some 16 per cent of the file. The relocation table is coded
// as the differences of its entries (see delta_code_relocations), which
// the unpacker adds up again. The build line tells how many bytes of the
// stream each section costs.
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

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
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

// Read whole before it is looked at. No executable whose image fits the
// packer comes near this, even with its debugging information.
constexpr off_t MAX_INPUT_BYTES = off_t(MODEL_MAX_IMAGE_BYTES) << 8;

// The model reads as zeros the bytes before the image that its furthest
// context position reaches.
constexpr int furthest_context_position()
{
    int furthest = 0;
    for (int position : {MODEL_CONTEXT_POSITIONS})
        furthest = std::max(furthest, -position);
    return furthest;
}
static_assert(furthest_context_position() <= MODEL_HISTORY_BYTES, "a context position reaches before the history");

// The two files this tool writes: named once the command line is read.
const char* blob_path;
const char* include_path;

// Ends the tool with one line and `status`, leaving neither output file.
[[noreturn]] void refuse(int status, const std::string& what)
{
    std::cerr << "pack_executable: " << what << "\n";
    for (const char* output : {blob_path, include_path})
        if (output)
            std::remove(output);
    std::exit(status);
}

// The coder must keep what it promises; a fault here is the tool's own.
void require(bool holds, const char* what)
{
    if (!holds)
        refuse(EX_SOFTWARE, std::string("internal error: ") + what);
}

// Whether `size` bytes from `offset` lie within `limit` bytes, for sizes
// and offsets read from a file, whose sum may overflow.
bool inside(uint64_t offset, uint64_t size, uint64_t limit)
{
    return offset <= limit && size <= limit - offset;
}

// A named stretch of the image, for the report of what each costs.
struct Part {
    std::string name;
    size_t begin, end;
};

template <typename Record>
Record record_at(const Bytes& bytes, size_t offset)
{
    Record record;
    memcpy(&record, &bytes[offset], sizeof record);
    return record;
}

// What the loader reads of a 64-bit ELF file: its header, its program
// headers and the entries of its dynamic table.
struct ElfHeaders {
    Elf64_Ehdr header;
    std::vector<Elf64_Phdr> segments;
    std::vector<Elf64_Dyn> dynamic;
    size_t mapped_end;  // past the last byte a program header maps

    // The file offset of a mapped address, if any.
    std::optional<size_t> offset_of(uint64_t address) const
    {
        for (const Elf64_Phdr& segment : segments)
            if (segment.p_type == PT_LOAD && address >= segment.p_vaddr &&
                address - segment.p_vaddr < segment.p_filesz)
                return address - segment.p_vaddr + segment.p_offset;
        return std::nullopt;
    }

    uint64_t dynamic_value(int64_t tag) const
    {
        for (const Elf64_Dyn& entry : dynamic)
            if (entry.d_tag == tag)
                return entry.d_un.d_val;
        return 0;
    }
};

// The headers of the executable in `file`, named `path`; anything the
// unpacker could not run is refused, in one line saying why.
ElfHeaders read_executable_headers(const Bytes& file, const std::string& path)
{
    auto not_packable = [&](const std::string& why) { refuse(EX_DATAERR, path + ": " + why); };
    if (file.size() < sizeof(Elf64_Ehdr) || memcmp(file.data(), ELFMAG, SELFMAG) != 0)
        not_packable("not an ELF executable");
    if (file[EI_CLASS] != ELFCLASS64 || file[EI_DATA] != ELFDATA2LSB)
        not_packable("not a 64-bit little-endian ELF file");
    ElfHeaders elf{record_at<Elf64_Ehdr>(file, 0), {}, {}, 0};
    const Elf64_Ehdr& header = elf.header;
    if (header.e_machine != EM_X86_64)
        not_packable("built for ELF machine " + std::to_string(header.e_machine) + ", not x86-64");
    if (header.e_type != ET_EXEC && header.e_type != ET_DYN)
        not_packable("ELF type " + std::to_string(header.e_type) + " is not an executable");
    if (header.e_phentsize != sizeof(Elf64_Phdr) ||
        !inside(header.e_phoff, uint64_t(header.e_phnum) * sizeof(Elf64_Phdr), file.size()))
        not_packable("its program headers lie outside the file: cut short?");
    elf.mapped_end = header.e_phoff + size_t(header.e_phnum) * sizeof(Elf64_Phdr);
    for (size_t i = 0; i < header.e_phnum; ++i) {
        const auto segment = record_at<Elf64_Phdr>(file, header.e_phoff + i * sizeof(Elf64_Phdr));
        if (!inside(segment.p_offset, segment.p_filesz, file.size()))
            not_packable("program header " + std::to_string(i) + " maps bytes past the file's end at " +
                         std::to_string(file.size()) + ": cut short?");
        elf.segments.push_back(segment);
        elf.mapped_end = std::max(elf.mapped_end, size_t(segment.p_offset + segment.p_filesz));
    }
    if (std::none_of(elf.segments.begin(), elf.segments.end(),
                     [](const Elf64_Phdr& segment) { return segment.p_type == PT_LOAD; }))
        not_packable("no loadable segment");
    if (elf.mapped_end > MODEL_MAX_IMAGE_BYTES)
        not_packable("its segments map " + std::to_string(elf.mapped_end) + " bytes; at most " +
                     std::to_string(MODEL_MAX_IMAGE_BYTES) + " are packed");
    for (const Elf64_Phdr& segment : elf.segments)
        if (segment.p_type == PT_DYNAMIC)
            for (size_t entry = segment.p_offset; entry + sizeof(Elf64_Dyn) <= segment.p_offset + segment.p_filesz;
                 entry += sizeof(Elf64_Dyn))
                elf.dynamic.push_back(record_at<Elf64_Dyn>(file, entry));
    return elf;
}

// What the unpacker carries of `file`: the bytes its program headers map,
// the ELF header's section table fields cleared and the compiler's
// identification text zeroed. `parts` gets the image's sections.
Bytes loaded_image(const Bytes& file, const ElfHeaders& elf, std::vector<Part>& parts)
{
    const Elf64_Ehdr& header = elf.header;
    Bytes image(file.begin(), file.begin() + elf.mapped_end);
    parts = {{"ELF header and program headers", 0, header.e_phoff + header.e_phnum * sizeof(Elf64_Phdr)}};

    // The section table is only read, for the names and the text: one
    // that does not lie whole past the image is left alone.
    if (header.e_shoff < elf.mapped_end || header.e_shentsize != sizeof(Elf64_Shdr) ||
        !inside(header.e_shoff, uint64_t(header.e_shnum) * sizeof(Elf64_Shdr), file.size()) ||
        header.e_shstrndx >= header.e_shnum)
        return image;
    auto section = [&](size_t i) { return record_at<Elf64_Shdr>(file, header.e_shoff + i * sizeof(Elf64_Shdr)); };
    const Elf64_Shdr names = section(header.e_shstrndx);
    for (size_t i = 1; i < header.e_shnum; ++i) {
        const Elf64_Shdr mapped = section(i);
        if (mapped.sh_type == SHT_NOBITS || mapped.sh_size == 0 ||
            !inside(mapped.sh_offset, mapped.sh_size, elf.mapped_end) ||
            !inside(names.sh_offset, mapped.sh_name + uint64_t(1), file.size()))
            continue;
        const char* name_start = reinterpret_cast<const char*>(&file[names.sh_offset + mapped.sh_name]);
        std::string name(name_start, strnlen(name_start, file.size() - names.sh_offset - mapped.sh_name));
        parts.push_back({name, mapped.sh_offset, mapped.sh_offset + mapped.sh_size});
        if (name != ".comment")
            continue;
        // mirrorfold's link puts the symbol-version table, which the loader
        // reads, after the text in the same section: the zeros end where
        // the first address the dynamic table gives inside the section is.
        size_t text_end = parts.back().end;
        for (const Elf64_Dyn& entry : elf.dynamic) {
            uint64_t address = entry.d_un.d_ptr;
            if (mapped.sh_addr && address >= mapped.sh_addr && address - mapped.sh_addr < mapped.sh_size)
                text_end = std::min(text_end, size_t(mapped.sh_offset + address - mapped.sh_addr));
        }
        std::fill(image.begin() + mapped.sh_offset, image.begin() + text_end, 0);
    }
    // The section header table lay past the image: nothing points at it.
    Elf64_Ehdr cleared = header;
    cleared.e_shoff = 0;
    cleared.e_shentsize = cleared.e_shnum = cleared.e_shstrndx = 0;
    memcpy(image.data(), &cleared, sizeof cleared);
    return image;
}

// The relocation table's entries follow one another in steps the model
// cannot predict from their bytes: each slot's address is 8 past the last,
// each symbol's number 1 past. So each of its words after the first entry
// is coded as its difference from the word an entry before, which makes
// the table nearly constant; the unpacker adds them up again. Returns
// where the differences start and how many words they are (0: no table).
struct DeltaCoded {
    size_t offset = 0, words = 0;
};

DeltaCoded delta_code_relocations(Bytes& image, const ElfHeaders& elf)
{
    if (elf.dynamic_value(DT_RELAENT) != RELOCATION_ENTRY_BYTES)
        return {};
    const std::optional<size_t> table = elf.offset_of(elf.dynamic_value(DT_RELA));
    const size_t size = elf.dynamic_value(DT_RELASZ);
    if (!table || size <= RELOCATION_ENTRY_BYTES || size % RELOCATION_ENTRY_BYTES || !inside(*table, size, image.size()))
        return {};
    const DeltaCoded coded{*table + RELOCATION_ENTRY_BYTES, (size - RELOCATION_ENTRY_BYTES) / 8};
    // From the end, so that each word is taken from one not yet changed.
    for (size_t word = coded.words; word-- > 0;) {
        size_t offset = coded.offset + 8 * word;
        uint64_t value = record_at<uint64_t>(image, offset) - record_at<uint64_t>(image, offset - RELOCATION_ENTRY_BYTES);
        memcpy(&image[offset], &value, sizeof value);
    }
    return coded;
}

// The stream for `image` under `masks`. The unpacker finds the masks right
// after the stream: the number's last digits may be left to them where
// they fall on the right side of every split. `byte_bits`, where given,
// gets what each byte of the image cost, in bits.
Bytes encode(const Bytes& image, const Masks& masks, uint32_t* check_value = nullptr,
             std::vector<double>* byte_bits = nullptr)
{
    memset(model_block, 0, MODEL_BLOCK_BYTES);
    std::copy(masks.begin(), masks.end(), model_block);
    memset(model_counts, 0, model_counts_end - model_counts);
    // The model reads the bytes before the current one: zeros before the
    // image, as in the unpacker's memory.
    Bytes memory(MODEL_HISTORY_BYTES, 0);
    memory.insert(memory.end(), image.begin(), image.end());
    std::vector<uint32_t> bounds(image.size() * 8);
    if (byte_bits)
        byte_bits->assign(image.size(), 0);
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
        bool one = image[bit / 8] >> (7 - bit % 8) & 1;
        // A zero takes bound + 1 of the range's range + 1 values.
        if (byte_bits)
            (*byte_bits)[bit / 8] -= std::log2((one ? double(range) - bound : bound + 1.0) / (double(range) + 1));
        if (one) {
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
    // 92 of them. The tool prints what the search took (docs/packed-executable.md
    // has mirrorfold's).
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

// Where the stream goes: each part's bytes, what they cost coded, and the
// bits a byte; what no part holds comes last.
void report_parts(std::vector<Part> parts, const std::vector<double>& byte_bits)
{
    std::vector<bool> counted(byte_bits.size());
    std::cout << std::left << std::setw(32) << "part" << std::right << std::setw(8) << "bytes" << std::setw(8)
              << "coded" << std::setw(10) << "bits/byte" << "\n" << std::fixed;
    parts.push_back({"in no section: gaps, zero state", 0, 0});
    for (const Part& part : parts) {
        double bits = 0;
        size_t bytes = 0;
        for (size_t i = 0; i < byte_bits.size(); ++i) {
            bool inside = part.end ? i >= part.begin && i < part.end : !counted[i];
            if (inside && !(part.end && counted[i])) {
                bits += byte_bits[i];
                ++bytes;
                counted[i] = true;
            }
        }
        if (bytes)
            std::cout << std::left << std::setw(32) << part.name << std::right << std::setw(8) << bytes
                      << std::setw(8) << std::setprecision(0) << bits / 8 << std::setw(9) << std::setprecision(1)
                      << bits / bytes << "\n";
    }
}

// The whole of the file at `path`: a regular file, read or refused.
Bytes read_input(const char* path)
{
    auto unreadable = [&](const std::string& why) { refuse(EX_NOINPUT, std::string(path) + ": " + why); };
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0)
        unreadable(std::string("cannot read: ") + strerror(errno));
    if (S_ISDIR(status.st_mode))
        unreadable("is a directory");
    if (!S_ISREG(status.st_mode))
        unreadable("not a regular file");
    if (status.st_size > MAX_INPUT_BYTES)
        unreadable("larger than any executable the packer takes");
    Bytes file(size_t(status.st_size));
    size_t done = 0;
    while (done < file.size()) {
        ssize_t count = read(descriptor, file.data() + done, file.size() - done);
        if (count < 0 && errno != EINTR)
            unreadable(std::string("cannot read: ") + strerror(errno));
        if (count == 0)
            break;
        done += size_t(std::max<ssize_t>(count, 0));
    }
    close(descriptor);
    file.resize(done);
    return file;
}

// Writes `bytes` to `path` whole, or refuses.
void write_output(const char* path, const std::string& bytes)
{
    std::ofstream output(path, std::ios::binary);
    output.write(bytes.data(), std::streamsize(bytes.size()));
    output.close();
    if (output.fail())
        refuse(EX_CANTCREAT, std::string(path) + ": cannot write: " + strerror(errno));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: pack_executable INPUT BLOB INCLUDE\n";
        return EX_USAGE;
    }
    blob_path = argv[2];
    include_path = argv[3];
    const Bytes file = read_input(argv[1]);
    const ElfHeaders elf = read_executable_headers(file, argv[1]);
    std::vector<Part> parts;
    Bytes image = loaded_image(file, elf, parts);
    const DeltaCoded relocations = delta_code_relocations(image, elf);

    auto started = std::chrono::steady_clock::now();
    // The search codes its trials on the image's first SEARCH_SAMPLE_BYTES
    // only, which bounds its time for any input and leaves mirrorfold's
    // whole.
    Masks masks = search_contexts(Bytes(image.begin(), image.begin() + std::min(image.size(), SEARCH_SAMPLE_BYTES)));
    uint32_t check;
    std::vector<double> byte_bits;
    Bytes stream = encode(image, masks, &check, &byte_bits);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::string blob(stream.begin(), stream.end());
    blob.append(masks.begin(), masks.end());
    blob.append(reinterpret_cast<const char*>(&check), sizeof check);
    std::ostringstream include;
    include << "/* Written by pack_executable for " << argv[1] << ". */\n"
            << ".set image_size, " << image.size() << "\n"
            << ".set contexts_count, " << masks.size() << "\n"
            << ".set relocation_differences_offset, " << relocations.offset << "\n"
            << ".set relocation_differences_words, " << relocations.words << "\n";
    write_output(blob_path, blob);
    write_output(include_path, include.str());
    std::cout << argv[1] << ": " << file.size() << " bytes, " << image.size() << " of them in the image; "
              << masks.size() << " contexts, stream " << stream.size() << " bytes, searched and coded in "
              << seconds << " s\n";
    report_parts(parts, byte_bits);
}

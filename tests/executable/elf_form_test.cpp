// The executable's form, read from the file itself: the one segment, the
// loader's tables, the imports and how they are bound, the entry, the size.
// Each test names the point it guards, so a regression in a build flag or in
// link/mirrorfold.ld shows up as the point it breaks.

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint64_t base_address = 0x10000;

const std::set<std::string> expected_imports = {
    // libc: dprintf writes the time line and the build failure report.
    "getenv", "dprintf",
    // GL; the viewport gives the width in device pixels, and the two other
    // queries report a shader that does not build.
    "glCreateShader", "glShaderSource", "glCompileShader", "glCreateProgram", "glAttachShader", "glLinkProgram",
    "glUseProgram", "glGenVertexArrays", "glBindVertexArray", "glEnable", "glScissor", "glDrawArrays", "glFinish",
    "glGetIntegerv", "glGetProgramiv", "glGetShaderInfoLog",
    // GLib and GObject; the widget casts are plain, so no type checks.
    "g_timer_new", "g_timer_elapsed", "g_signal_connect_data",
    // GTK and GDK
    "gtk_init", "gtk_window_new", "gtk_gl_area_new", "gtk_container_add",
    "gtk_widget_show_all", "gtk_window_fullscreen", "gtk_widget_get_window", "gtk_main", "gtk_events_pending",
    "gtk_main_iteration", "gtk_gl_area_queue_render", "gdk_cursor_new", "gdk_window_set_cursor"};
const std::set<std::string> libc_imports = {"getenv", "dprintf"};

class Executable {
public:
    explicit Executable(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream content;
        content << file.rdbuf();
        bytes = content.str();
    }

    template <typename T>
    const T& at(uint64_t offset) const
    {
        if (offset + sizeof(T) > bytes.size())
            throw std::out_of_range("read past the end of the file");
        return *reinterpret_cast<const T*>(bytes.data() + offset);
    }

    const Elf64_Ehdr& header() const { return at<Elf64_Ehdr>(0); }

    std::vector<Elf64_Phdr> program_headers() const
    {
        std::vector<Elf64_Phdr> headers;
        for (int i = 0; i < header().e_phnum; ++i)
            headers.push_back(at<Elf64_Phdr>(header().e_phoff + i * sizeof(Elf64_Phdr)));
        return headers;
    }

    std::vector<Elf64_Shdr> sections() const
    {
        std::vector<Elf64_Shdr> headers;
        for (int i = 0; i < header().e_shnum; ++i)
            headers.push_back(at<Elf64_Shdr>(header().e_shoff + i * sizeof(Elf64_Shdr)));
        return headers;
    }

    std::string section_name(const Elf64_Shdr& section) const
    {
        return text_at(sections()[header().e_shstrndx].sh_offset + section.sh_name);
    }

    std::optional<Elf64_Shdr> section(const std::string& name) const
    {
        for (const Elf64_Shdr& candidate : sections())
            if (section_name(candidate) == name)
                return candidate;
        return std::nullopt;
    }

    std::string text_at(uint64_t offset) const { return std::string(bytes.c_str() + offset); }

    // The one segment maps the file from offset 0 at the base address.
    uint64_t offset_of(uint64_t address) const { return address - base_address; }

    std::vector<Elf64_Dyn> dynamic_entries() const
    {
        std::vector<Elf64_Dyn> entries;
        for (const Elf64_Phdr& header : program_headers()) {
            if (header.p_type != PT_DYNAMIC)
                continue;
            for (uint64_t offset = header.p_offset;; offset += sizeof(Elf64_Dyn)) {
                entries.push_back(at<Elf64_Dyn>(offset));
                if (entries.back().d_tag == DT_NULL)
                    break;
            }
        }
        return entries;
    }

    uint64_t dynamic_value(int64_t tag) const
    {
        for (const Elf64_Dyn& entry : dynamic_entries())
            if (entry.d_tag == tag)
                return entry.d_un.d_val;
        throw std::runtime_error("no dynamic entry " + std::to_string(tag));
    }

    std::string dynamic_string(uint64_t index) const { return text_at(offset_of(dynamic_value(DT_STRTAB)) + index); }

    uint32_t hash_word(int index) const { return at<uint32_t>(offset_of(dynamic_value(DT_HASH)) + 4 * index); }

    // Every dynamic symbol, the null one at index 0 included.
    std::vector<Elf64_Sym> dynamic_symbols() const
    {
        std::vector<Elf64_Sym> symbols;
        uint32_t count = hash_word(1);  // the chain count is the symbol count
        for (uint32_t i = 0; i < count; ++i)
            symbols.push_back(at<Elf64_Sym>(offset_of(dynamic_value(DT_SYMTAB)) + i * sizeof(Elf64_Sym)));
        return symbols;
    }

    std::string bytes;
};

const Executable& program()
{
    // Another compiler's build, where MIRRORFOLD_EXECUTABLE names one.
    static const char* other_build = getenv("MIRRORFOLD_EXECUTABLE");
    static const Executable executable(other_build ? other_build : MIRRORFOLD_EXECUTABLE);
    return executable;
}

TEST(ElfForm, HeaderIsAFixedAddressX86_64Executable)
{
    const Elf64_Ehdr& header = program().header();
    ASSERT_EQ(std::memcmp(header.e_ident, ELFMAG, SELFMAG), 0);
    EXPECT_EQ(header.e_ident[EI_CLASS], ELFCLASS64);
    EXPECT_EQ(header.e_ident[EI_DATA], ELFDATA2LSB);
    EXPECT_EQ(header.e_machine, EM_X86_64);
    EXPECT_EQ(header.e_type, ET_EXEC) << "position-independent: -no-pie or -fno-pic lost";
    EXPECT_EQ(header.e_phoff, sizeof(Elf64_Ehdr)) << "program headers right after the ELF header";
}

TEST(ElfForm, FiveProgramHeadersInOrder)
{
    std::vector<uint32_t> types;
    for (const Elf64_Phdr& header : program().program_headers())
        types.push_back(header.p_type);
    EXPECT_EQ(types, (std::vector<uint32_t>{PT_PHDR, PT_INTERP, PT_LOAD, PT_DYNAMIC, PT_GNU_STACK}))
        << "the PHDRS command of link/mirrorfold.ld";
}

TEST(ElfForm, OneSegmentMapsTheWholeImageFromOffsetZero)
{
    auto headers = program().program_headers();
    ASSERT_EQ(headers.size(), 5u);
    const Elf64_Phdr& image = headers[2];
    EXPECT_EQ(image.p_offset, 0u) << "the headers belong to the segment";
    EXPECT_EQ(image.p_vaddr, base_address);
    EXPECT_EQ(image.p_flags, uint32_t(PF_R | PF_W | PF_X));
    EXPECT_EQ(image.p_align, 0x1000u) << "-z max-page-size";
    EXPECT_EQ(image.p_memsz, image.p_filesz) << "the zero-initialised state must lie in the file";
    const Elf64_Phdr& stack = headers[4];
    EXPECT_EQ(stack.p_flags, uint32_t(PF_R | PF_W)) << "the stack must not be executable";
    EXPECT_EQ(headers[0].p_offset, sizeof(Elf64_Ehdr));
    EXPECT_EQ(headers[0].p_filesz, 5 * sizeof(Elf64_Phdr));
    for (int i : {0, 1, 3})
        EXPECT_LE(headers[i].p_offset + headers[i].p_filesz, image.p_filesz) << "header " << i << " outside the segment";
}

TEST(ElfForm, InterpreterIsTheX86_64Loader)
{
    const Elf64_Phdr& interpreter = program().program_headers()[1];
    EXPECT_EQ(program().text_at(interpreter.p_offset), "/lib64/ld-linux-x86-64.so.2");
}

TEST(ElfForm, SectionsInLayoutOrderWithTheirHeadersAtTheEnd)
{
    std::vector<std::string> names;
    for (const Elf64_Shdr& section : program().sections())
        names.push_back(program().section_name(section));
    EXPECT_EQ(names, (std::vector<std::string>{"", ".interp", ".dynamic", ".dynstr", ".rodata", ".hash",
                                                ".gnu.version_r", ".data", ".got", ".text", ".rela.dyn", ".dynsym",
                                                ".bss", ".comment", ".shstrtab"}))
        << "no symbol table, no PLT, no GNU hash, no notes, no unwinding tables, no initialisers";
    const Elf64_Ehdr& header = program().header();
    EXPECT_EQ(header.e_shoff + header.e_shnum * header.e_shentsize, program().bytes.size());

    // Every loaded section lies in the segment, in address order.
    const Elf64_Phdr& image = program().program_headers()[2];
    uint64_t previous_end = 0;
    for (const Elf64_Shdr& section : program().sections()) {
        if (!(section.sh_flags & SHF_ALLOC))
            continue;
        SCOPED_TRACE(program().section_name(section));
        EXPECT_GE(section.sh_addr, previous_end);
        EXPECT_LE(section.sh_addr + section.sh_size, image.p_vaddr + image.p_filesz);
        previous_end = section.sh_addr + section.sh_size;
    }
}

TEST(ElfForm, ZeroInitialisedStateLiesInTheFileBeforeTheLastSection)
{
    auto state = program().section(".bss");
    ASSERT_TRUE(state);
    Elf64_Shdr bss = *state;
    auto last = program().section(".comment");
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->sh_flags & SHF_ALLOC) << "the last section must be loaded for the state to be stored";
    EXPECT_GE(last->sh_addr, bss.sh_addr + bss.sh_size);
    for (uint64_t offset = program().offset_of(bss.sh_addr); offset < program().offset_of(bss.sh_addr + bss.sh_size);
         ++offset)
        ASSERT_EQ(program().bytes[offset], 0) << "state byte at offset " << offset;

    // The last section: the compiler's identification, then the symbol-version
    // table the dynamic table points at.
    std::string identification = program().text_at(last->sh_offset);
    EXPECT_TRUE(identification.rfind("GCC: ", 0) == 0 || identification.find("clang version") != std::string::npos)
        << identification;
    uint64_t versions = program().dynamic_value(DT_VERSYM);
    EXPECT_GT(versions, last->sh_addr);
    EXPECT_EQ(versions + 2 * program().dynamic_symbols().size(), last->sh_addr + last->sh_size);
}

TEST(ElfForm, DynamicTableHasTheNineteenEntriesInOrder)
{
    std::vector<int64_t> tags;
    std::vector<std::string> libraries;
    for (const Elf64_Dyn& entry : program().dynamic_entries()) {
        tags.push_back(entry.d_tag);
        if (entry.d_tag == DT_NEEDED)
            libraries.push_back(program().dynamic_string(entry.d_un.d_val));
    }
    EXPECT_EQ(tags, (std::vector<int64_t>{DT_NEEDED, DT_NEEDED, DT_NEEDED, DT_NEEDED, DT_NEEDED, DT_NEEDED, DT_HASH,
                                          DT_STRTAB, DT_SYMTAB, DT_STRSZ, DT_SYMENT, DT_DEBUG, DT_RELA, DT_RELASZ,
                                          DT_RELAENT, DT_VERNEED, DT_VERNEEDNUM, DT_VERSYM, DT_NULL}))
        << "no PLT entries, no BIND_NOW flags, no init or fini, no spare tags";
    EXPECT_EQ(libraries, (std::vector<std::string>{"libc.so.6", "libGL.so.1", "libglib-2.0.so.0",
                                                    "libgobject-2.0.so.0", "libgtk-3.so.0", "libgdk-3.so.0"}));
    EXPECT_EQ(program().program_headers()[3].p_filesz, 19 * sizeof(Elf64_Dyn)) << "spare empty entries after the end";
    EXPECT_EQ(program().dynamic_value(DT_SYMENT), sizeof(Elf64_Sym));
    EXPECT_EQ(program().dynamic_value(DT_RELAENT), sizeof(Elf64_Rela));
    EXPECT_EQ(program().dynamic_value(DT_DEBUG), 0u);
    EXPECT_EQ(program().dynamic_value(DT_VERNEEDNUM), 1u);
}

TEST(ElfForm, ClassicHashTableFindsEveryImport)
{
    uint32_t buckets = program().hash_word(0), chains = program().hash_word(1);
    auto symbols = program().dynamic_symbols();
    EXPECT_EQ(chains, expected_imports.size() + 1) << "one chain entry per dynamic symbol";
    EXPECT_EQ(buckets, 17u) << "ld's choice for 34 imports; a 37th takes it to 37";
    std::cout << "hash table: " << buckets << " buckets, " << chains << " chain entries\n";
    for (const std::string& name : expected_imports) {
        uint32_t hash = 0;
        for (unsigned char c : name) {
            hash = (hash << 4) + c;
            hash = (hash ^ ((hash >> 24) & 0xf0)) & 0x0fffffff;
        }
        bool found = false;
        for (uint32_t index = program().hash_word(2 + hash % buckets); index != 0 && !found;
             index = program().hash_word(2 + buckets + index))
            found = program().dynamic_string(symbols.at(index).st_name) == name;
        EXPECT_TRUE(found) << name << " not reachable through the hash table";
    }
}

TEST(ElfForm, ImportsAreExactlyTheProgramsFunctions)
{
    std::set<std::string> imports;
    auto symbols = program().dynamic_symbols();
    for (size_t i = 1; i < symbols.size(); ++i) {
        const Elf64_Sym& symbol = symbols[i];
        std::string name = program().dynamic_string(symbol.st_name);
        SCOPED_TRACE(name);
        EXPECT_EQ(ELF64_ST_TYPE(symbol.st_info), STT_FUNC);
        EXPECT_EQ(ELF64_ST_BIND(symbol.st_info), STB_GLOBAL);
        EXPECT_EQ(symbol.st_shndx, SHN_UNDEF) << "the program exports nothing";
        imports.insert(name);
    }
    EXPECT_EQ(imports, expected_imports);
}

TEST(ElfForm, EveryImportHasOneGotSlotBoundAtLoadTime)
{
    auto got = program().section(".got");
    ASSERT_TRUE(got);
    Elf64_Shdr slots_section = *got;
    uint64_t count = program().dynamic_value(DT_RELASZ) / sizeof(Elf64_Rela);
    EXPECT_EQ(count, expected_imports.size());
    std::set<uint64_t> slots, symbols;
    for (uint64_t i = 0; i < count; ++i) {
        const auto& relocation =
            program().at<Elf64_Rela>(program().offset_of(program().dynamic_value(DT_RELA)) + i * sizeof(Elf64_Rela));
        EXPECT_EQ(ELF64_R_TYPE(relocation.r_info), uint32_t(R_X86_64_GLOB_DAT)) << "relocation " << i;
        EXPECT_EQ(relocation.r_addend, 0);
        EXPECT_EQ(relocation.r_offset % 8, 0u);
        EXPECT_GE(relocation.r_offset, slots_section.sh_addr);
        EXPECT_LE(relocation.r_offset + 8, slots_section.sh_addr + slots_section.sh_size);
        slots.insert(relocation.r_offset);
        symbols.insert(ELF64_R_SYM(relocation.r_info));
    }
    EXPECT_EQ(slots.size(), count) << "one slot per import";
    EXPECT_EQ(symbols.size(), count) << "one relocation per import";
}

TEST(ElfForm, OnlyTheLibcImportsCarryAVersion)
{
    uint64_t need = program().offset_of(program().dynamic_value(DT_VERNEED));
    const auto& file = program().at<Elf64_Verneed>(need);
    EXPECT_EQ(program().dynamic_string(file.vn_file), "libc.so.6");
    ASSERT_EQ(file.vn_cnt, 1);
    const auto& version = program().at<Elf64_Vernaux>(need + file.vn_aux);
    EXPECT_EQ(program().dynamic_string(version.vna_name), "GLIBC_2.2.5");
    EXPECT_EQ(file.vn_next, 0u);

    auto symbols = program().dynamic_symbols();
    uint64_t table = program().offset_of(program().dynamic_value(DT_VERSYM));
    for (size_t i = 1; i < symbols.size(); ++i) {
        std::string name = program().dynamic_string(symbols[i].st_name);
        uint16_t index = program().at<uint16_t>(table + 2 * i);
        // Unversioned, to the loader, is 1 or 0: binutils 2.47 writes 0
        // where older ones wrote 1.
        if (libc_imports.count(name))
            EXPECT_EQ(index, version.vna_other) << name;
        else
            EXPECT_LE(index, VER_NDX_GLOBAL) << name << " must be unversioned";
    }
}

TEST(ElfForm, EntersTheProgramWithoutStartupCode)
{
    auto text = program().section(".text");
    ASSERT_TRUE(text);
    uint64_t entry = program().header().e_entry;
    EXPECT_GE(entry, text->sh_addr);
    EXPECT_LT(entry, text->sh_addr + text->sh_size);
    // The C runtime's _start opens with endbr64 or with xor %ebp,%ebp.
    std::string first_bytes = program().bytes.substr(program().offset_of(entry), 4);
    EXPECT_NE(first_bytes, std::string("\xf3\x0f\x1e\xfa", 4));
    EXPECT_NE(first_bytes.substr(0, 2), std::string("\x31\xed", 2));
    EXPECT_EQ(text->sh_addralign, 1u) << "routines back to back, no alignment padding";
}

TEST(ElfForm, EqualStringTailsAreShared)
{
    auto rodata = program().section(".rodata");
    ASSERT_TRUE(rodata);
    std::string strings = program().bytes.substr(rodata->sh_offset, rodata->sh_size);
    EXPECT_NE(strings.find(std::string("render time: %f\n\0", 17)), std::string::npos);
    // The fragment source's "\n" piece is the time format's last character,
    // not a string of its own.
    EXPECT_EQ(strings.find(std::string("\0\n\0", 3)), std::string::npos);
    EXPECT_NE(strings.rfind("\n", 0), 0u);
}

TEST(Size, AtMost7000Bytes)
{
    size_t size = program().bytes.size();
    std::cout << "mirrorfold: " << size << " bytes\n";
    RecordProperty("bytes", int(size));
    EXPECT_LE(size, 7000u);
}

}  // namespace

namespace {

// The packed form: a static file of its own that becomes the program in
// place, or says in one line why it cannot.
// This build's compiler made the program that is packed; Clang's code is a
// little larger.
#ifdef __clang__
constexpr size_t packed_limit = 2410;
#else
constexpr size_t packed_limit = 2360;
#endif

TEST(Packed, WithinItsLimitWithoutInterpreterOrLibraries)
{
    Executable packed(MIRRORFOLD_PACKED);
    std::cout << "mirrorfold-packed: " << packed.bytes.size() << " bytes\n";
    RecordProperty("bytes", int(packed.bytes.size()));
    EXPECT_LE(packed.bytes.size(), packed_limit);
    ASSERT_EQ(packed.header().e_type, ET_EXEC);
    for (const Elf64_Phdr& header : packed.program_headers()) {
        EXPECT_NE(header.p_type, uint32_t(PT_INTERP));
        EXPECT_NE(header.p_type, uint32_t(PT_DYNAMIC));
    }
}

TEST(Packed, WithoutFreeDescriptorsFailsInOneLine)
{
    // Three descriptors at most: the standard ones are all there is room
    // for, so the memory file is refused.
    auto directory = std::filesystem::temp_directory_path() / ("mirrorfold-packed-" + std::to_string(getpid()));
    std::filesystem::create_directory(directory);
    std::string output = (directory / "output").string(), errors = (directory / "errors").string();
    int status =
        std::system(("prlimit --nofile=3:3 '" MIRRORFOLD_PACKED "' >'" + output + "' 2>'" + errors + "'").c_str());
    std::ifstream error_file(errors);
    std::string error_text((std::istreambuf_iterator<char>(error_file)), {});
    std::ifstream output_file(output);
    std::string output_text((std::istreambuf_iterator<char>(output_file)), {});
    std::filesystem::remove_all(directory);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
    EXPECT_EQ(error_text, "mirrorfold: memfd_create: error 24\n") << "EMFILE, in one line";
    EXPECT_EQ(output_text, "");
}

TEST(Packed, RunsWhereTheKernelRefusesExecutableMemoryFiles)
{
    // Kernels before 6.3 do not know MFD_EXEC and refuse it with EINVAL: a
    // seccomp filter has this one answer so, and the packed report must
    // still run, asking without the flag.
    constexpr unsigned MFD_EXEC = 0x10;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_memfd_create, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, MFD_EXEC, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof filter / sizeof *filter, filter};
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(output[1], 1);
        dup2(output[1], 2);
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0)
            execl(PACKED_REPORT, PACKED_REPORT, nullptr);
        _exit(126);
    }
    close(output[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t count; (count = read(output[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, count);
    close(output[0]);
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << text;
    EXPECT_EQ(text.rfind("process " + std::to_string(child) + "\n", 0), 0u) << text;
}

}  // namespace

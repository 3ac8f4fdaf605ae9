/*
 * The layout of the mirrorfold executable: everything in one loadable
 * segment, mapped from the very first byte of the file, so that no page is
 * spent on alignment between code, data and the loader's tables.
 *
 * The order below is the order in the file and in memory. What the loader
 * reads first comes first; the zero-initialised state comes near the end but
 * is still followed by file contents, so it lies in the file as zero bytes
 * and the segment's size in memory equals its size in the file.
 */

OUTPUT_FORMAT("elf64-x86-64")
OUTPUT_ARCH(i386:x86-64)
ENTRY(program_start)

/*
 * Five program headers in this order. The segment is readable, writable and
 * executable: one segment cannot be anything less when it holds code, data
 * and the global offset table that the loader writes. The stack marker asks
 * for a stack that is not executable (flags 6: read and write).
 */
PHDRS
{
    headers PT_PHDR PHDRS;
    interpreter PT_INTERP;
    image PT_LOAD FILEHDR PHDRS FLAGS(7);
    dynamic PT_DYNAMIC;
    stack PT_GNU_STACK FLAGS(6);
}

SECTIONS
{
    /* A fixed address keeps every reference absolute and free of run-time
       relocation; the headers occupy the start of the segment. */
    . = 0x10000 + SIZEOF_HEADERS;

    .interp         : { *(.interp) }         :image :interpreter
    .dynamic        : { *(.dynamic) }        :image :dynamic
    .dynstr         : { *(.dynstr) }         :image
    .rodata         : { *(.rodata .rodata.*) }
    .hash           : { *(.hash) }
    .gnu.version_r  : { *(.gnu.version_r) }
    .data           : { *(.data .data.*) }
    /* The three words the linker reserves ahead of the import slots are
       unused without lazy binding, but it insists on emitting them. */
    .got            : { *(.got.plt) *(.got) }
    .text           : { *(.text .text.*) }
    .rela.dyn       : { *(.rela.dyn .rela.got) }
    .dynsym         : { *(.dynsym) }
    .bss            : { *(.bss .bss.* COMMON) }

    /* Last, so the zero-initialised state before it is stored in the file.
       The loader finds the symbol-version table through the dynamic table
       alone, so it can share a section with the compiler's identification
       string rather than cost a section header of its own. */
    .comment        : { *(.comment) *(.gnu.version) }

    /* Nothing here needs unwinding tables or notes. */
    /DISCARD/ : { *(.eh_frame .note.*) }
}

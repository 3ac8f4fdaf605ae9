/*
 * The packed executable is exactly the bytes of the unpacker's one section,
 * placed at the address its own program header loads it to: the ELF header
 * is written by hand in unpacker/unpacker.S, so the linker only resolves the
 * addresses and writes the raw bytes.
 */
OUTPUT_FORMAT(binary)
SECTIONS
{
    . = 0x10000;
    .text : { *(.text) }
    /DISCARD/ : { *(.note.* .comment) }
}

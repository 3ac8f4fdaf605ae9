/*
 * The packed executable is exactly the bytes of the unpacker's code (with
 * the model's), the model's constants and the coded image, in that order,
 * placed at the address its own program header loads them to: the ELF
 * header is written by hand in unpacker/unpacker.S, so the linker only
 * resolves the addresses and writes the raw bytes. The zero-initialised
 * memory comes after the file's last byte and takes no room in it.
 */
OUTPUT_FORMAT(binary)
SECTIONS
{
    . = 0x10000;
    .text : { *(.text) *(.rodata) *(.packed_image) }
    .bss (NOLOAD) : { *(.bss) }
    memory_end = .;
    /DISCARD/ : { *(.note.* .comment) }
}

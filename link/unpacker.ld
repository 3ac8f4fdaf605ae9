/*
 * The packed executable is exactly the bytes of the unpacker's headers and
 * code (with the model's) and the coded image, in that order, placed at
 * the address its own program header loads them to: the ELF header is
 * written by hand in unpacker/unpacker.S, so the linker only resolves the
 * addresses and writes the raw bytes. The zero-initialised memory comes
 * after the file's last byte and takes no room in it: first the model's
 * state, which must continue the block that the file's last bytes begin,
 * then the rest.
 */
OUTPUT_FORMAT(binary)
SECTIONS
{
    . = 0x10000;
    .text : { *(.text) *(.packed_image) }
    .bss (NOLOAD) : { *(.model_state) . = ALIGN(64); *(.bss) }
    memory_end = .;
    /DISCARD/ : { *(.note.* .comment) }
}
ASSERT(ADDR(.bss) == ADDR(.text) + SIZEOF(.text), "the model's state does not follow the file's last byte")

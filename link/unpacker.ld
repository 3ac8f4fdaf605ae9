/*
 * The packed executable is exactly the bytes of the unpacker's headers and
 * code (with the model's) and the coded image, in that order, placed at
 * the address its own program header loads them to: the ELF header is
 * written by hand in unpacker/unpacker.S, so the linker only resolves the
 * addresses and writes the raw bytes. The zero-initialised memory comes
 * after the file's last byte and takes no room in it: first the model's
 * state, which must continue the block that the file's last bytes begin,
 * then the table of counts on a 2 MiB boundary, then the image, placed to
 * end on a 64 KiB boundary, which the decoder's test for the image's end
 * counts on.
 */
OUTPUT_FORMAT(binary)
SECTIONS
{
    . = 0x10000;
    .text : { *(.text) *(.packed_image) }
    /* The table of counts on a huge page's boundary (2 MiB), so that the
       kernel may back it with huge pages; the gap is address space only. */
    .bss (NOLOAD) : { *(.model_state) . = ALIGN(0x200000); *(.bss) }
    . = ALIGN(. + image_end_offset, 0x10000) - image_end_offset;
    .image (NOLOAD) : { *(.image) }
    memory_end = .;
    /DISCARD/ : { *(.note.* .comment) }
}
ASSERT(ADDR(.bss) == ADDR(.text) + SIZEOF(.text), "the model's state does not follow the file's last byte")
ASSERT((ADDR(.image) + image_end_offset) % 0x10000 == 0,
       "the image does not end on the 64 KiB boundary the decoder tests for")

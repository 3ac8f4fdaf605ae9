/*
 * The packed mirrorfold's format: the context model's sizes and constants
 * and the image's check value, in the one place that the model and its
 * coder (context_coder.S), the unpacker around it (unpacker.S) and the
 * encoder (tools/context_encoder.S, tools/pack_executable.cpp) all take
 * them from. Plain #defines, so that the assembler's preprocessor and C++
 * read the same lines.
 *
 * The model predicts the image one bit at a time, most significant bit of
 * each byte first. Each of its contexts takes a chosen set of the bytes
 * before the current one, and with the bits of the current byte seen so
 * far, to a slot in a table of bit counts; the counts give a vote, and a
 * mixer adds the votes with weights it learns as it goes. Which bytes each
 * context takes is chosen at build time and stored in the packed file,
 * after the coded stream.
 */
#ifndef MIRRORFOLD_PACKED_FORMAT_H
#define MIRRORFOLD_PACKED_FORMAT_H

/* The most contexts a packed file may use. Each picks its bytes with a
   mask byte: bit j stands for the byte as many places back as the j-th of
   these positions, written as offsets from the current byte: the last
   four bytes, the one 8 back (the global offset table's slots), those 48
   and 72 back, two and three of the 24-byte entries of the symbol and
   relocation tables, and the one 64 back. A context takes at most three
   bytes, so that its mask and its bytes fit one 32-bit word exactly. Each
   costs about 3 ms of decoding; for mirrorfold the 13th saves 2 bytes,
   and no 14th pays for its mask byte. The model
   reads the bytes before the image as zeros, as far back as the furthest
   position. */
#define MODEL_MAX_CONTEXTS 13
#define MODEL_MAX_CONTEXT_BYTES 3
#define MODEL_CONTEXT_POSITIONS -1, -2, -3, -4, -48, -8, -72, -64
#define MODEL_HISTORY_BYTES 72

/* The model's state but for its counts: a block of which every byte is a
   one-byte displacement away from one address, 127 bytes in. */
#define MODEL_BLOCK_BYTES 256

/* The table of bit counts: 2^21 slots of two 16-bit counts, for a one and
   a zero. 8 MiB: a larger table codes a few bytes shorter, but its page
   faults and cache misses slow decoding by more than they are worth. */
#define MODEL_TABLE_BITS 21
#define MODEL_SLOT_BYTES 4

/* Multiplier of the hash that takes a context's word to its slot: odd,
   with its bits well spread. */
#define MODEL_HASH_MULTIPLIER 0x9E3779B1

/* Added to both counts before their ratio is taken, so that an unseen
   context votes 0 and a one-sided one strongly but finitely: log10(2),
   about 0.3, which the x87 loads in one instruction. */
#define MODEL_LOAD_COUNT_OFFSET fldlg2

/* A vote is log2 of the ratio of the counts times this scale, log10(2)^2
   ln(2), about 0.063, made of two more x87 constants. Its square, about
   0.004, is the mixer's learning rate: a weight moves by the error times
   the vote, with no rate of its own to multiply by. */
#define MODEL_LOAD_VOTE_SCALE  fldln2; fmul st, st(1); fmul st, st(1)

/* The arithmetic coder's range grows by a byte whenever it is below this:
   it then stays below 2^31. */
#define MODEL_RANGE_FLOOR (1 << 23)

/* The relocation table is coded as the differences of its words from
   those an entry before (see tools/pack_executable.cpp): the size of an
   entry, Elf64_Rela's. */
#define RELOCATION_ENTRY_BYTES 24

/* The largest image the packer takes. */
#define MODEL_MAX_IMAGE_BYTES (1 << 20)

/* The check value of the image: for each byte, add it and 256, and rotate
   left by this many bits. Each step is a bijection of the 32-bit value, so
   a single changed byte always changes the result. */
#define CHECK_ROTATION 5

#endif

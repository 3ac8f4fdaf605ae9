/*
 * The packed mirrorfold's format: the context model's sizes and constants
 * and the image's check value, in the one place that the model and its
 * coder (context_coder.S), the unpacker around it (unpacker.S) and the
 * encoder (tools/context_encoder.S, tools/pack_executable.cpp) all take
 * them from. Plain #defines, so that
 * the assembler's preprocessor and C++ read the same lines.
 *
 * The model predicts the image one bit at a time, most significant bit of
 * each byte first. Each of its contexts hashes a chosen set of the bytes
 * before the current one, and takes it with the bits of the current byte
 * seen so far to a slot in a table of bit counts; the counts give a prediction, and a
 * mixer adds the predictions in the logistic domain with weights it learns
 * as it goes. Which bytes each context takes is chosen at build time and
 * stored in the packed file, ahead of the coded stream.
 */
#ifndef MIRRORFOLD_PACKED_FORMAT_H
#define MIRRORFOLD_PACKED_FORMAT_H

/* The most contexts a packed file may use. Each picks its bytes with a
   mask byte: bit j stands for the byte as many places back as the j-th of
   these positions (the last byte, ..., and the bytes 24 and 64 back, which
   the ELF file's tables of 24- and 64-byte entries repeat). */
#define MODEL_MAX_CONTEXTS 15
#define MODEL_CONTEXT_POSITIONS 1, 2, 3, 4, 6, 8, 24, 64
#define MODEL_HISTORY_BYTES 64

/* The table of bit counts: 2^21 slots of two 16-bit counts, for a zero and
   a one; a count stops at 65535. 8 MiB: a larger table codes a few bytes
   shorter, but its page faults and cache misses slow decoding by more
   than they are worth. */
#define MODEL_TABLE_BITS 21
#define MODEL_SLOT_BYTES 4

/* Multiplier of the hashes: odd, with its bits well spread. */
#define MODEL_HASH_MULTIPLIER 0x9E3779B1

/* Added to both counts before their ratio is taken, so that an unseen
   context predicts 1/2 and a one-sided one a strong but finite bias:
   log10(2), about 0.3, which the x87 loads in one instruction. */
#define MODEL_LOAD_COUNT_OFFSET fldlg2
/* How fast the mixer's weights follow the error of its prediction. */
#define MODEL_LEARNING_RATE 0.005

/* The largest image the packer takes. */
#define MODEL_MAX_IMAGE_BYTES (1 << 20)

/* The check value of the image: for each byte, add it and 256 and
   multiply. A single changed byte always changes it, since the multiplier
   is odd. */
#define CHECK_MULTIPLIER MODEL_HASH_MULTIPLIER

#endif

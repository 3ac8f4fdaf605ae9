/*
 * The context model of the packed mirrorfold and its arithmetic coder, as
 * one piece of code that both ends assemble: unpacker.S includes it as it
 * is, to decode, and tools/context_encoder.S includes it with ENCODER
 * defined, to encode. The model's lines are the same in both, so the
 * encoder's predictions and the unpacker's agree to the last bit; only
 * what is done with a prediction differs. Constants: packed_format.h.
 *
 * For each bit, each context packs its mask and its chosen bytes into one
 * word (at most three bytes: the word is then unique to them) and hashes
 * that to a slot of two counts; the bits of this byte seen so far pick a
 * slot near it, so that a byte's first four predictions share a cache line
 * and all eight a page. Its vote is the log of the ratio of its ones to its
 * zeros, each count raised by the offset. The mixer adds the votes with
 * its weights into a sum s, and 1 / (1 + 2^s) is the probability of a
 * zero. After the bit each weight moves along its vote by the error (the
 * bit less the probability of a one), the bit's count rises, and the
 * other count falls to an eighth of itself, rounded up, so that a context
 * follows change.
 *
 * The coder keeps a range, the highest value it spans (from 0), and, when
 * decoding, the stream's value within it; the lower part of the range,
 * the probability's share of it, stands for a zero. Whenever the range is
 * below MODEL_RANGE_FLOOR it grows by a byte of ones, and the value takes
 * in the stream's next byte: the first bit, from a range of 0, reads
 * three. The range stays below 2^31, a positive 32-bit integer to the x87.
 *
 * Expected from the including file:
 *   contexts_room     room for this many contexts in the model's block
 *   load_contexts     a macro: ecx = how many contexts there are
 *   compare_image_end a macro: zero flag set when rdi reaches the image's end
 * On entry:  rbp  the model's block + 127: the contexts' masks, a byte
 *                 each, then room for the image's check value, then the
 *                 rest of the state, all zeros
 *            rdi  the image's first byte, with the zeros the model reads
 *                 before it in the MODEL_HISTORY_BYTES ahead of it
 *            rsi  the stream (decoding); r15b the first byte (encoding)
 *            ebx, r10d zero; the x87 stack empty
 * On exit:   r10d the image's check value (see packed_format.h)
 *            rdi  the image's end
 *            r12  past the bounds written (encoding: the range's split
 *                 for each bit, from which the encoder writes the stream)
 *
 * Registers: rbp the block, every field of which is a one-byte
 * displacement away; rdi the image byte being coded, rsi the stream; ebx
 * this byte's bits so far behind a leading 1; ecx counts the contexts down
 * to 1. On the x87 stack, under the work of each step, lie the vote scale
 * and the count offset, in that order.
 */
        .set model_masks, -127                  /* the block's first byte */
        .set model_check, model_masks + contexts_room
        .set model_range, model_check + 4
        .set model_value, model_range + 4
        .set model_probability, model_value + 4
        .set model_weights, model_probability + 4 /* float a context */
        .set model_votes, model_weights + 4 * contexts_room
        .set model_slots, model_votes + 4 * contexts_room /* a counts' address */
        .set model_end, model_slots + 4 * contexts_room
        .if model_end > MODEL_BLOCK_BYTES - 127
        .error "the model's block is out of reach of one-byte displacements"
        .endif

        .pushsection .bss
        .globl model_counts, model_counts_end
/* A slot's address points at its zeros; its ones lie just below. */
model_counts:
        .fill MODEL_SLOT_BYTES << MODEL_TABLE_BITS
model_counts_end:
        .popsection

        inc     ebx
        MODEL_LOAD_COUNT_OFFSET
        MODEL_LOAD_VOTE_SCALE

code_bit:
        /* The range and the value are one quadword: shifting it moves the
           range's top byte, which is 0 here, into the value's low byte,
           where the stream's next byte goes. */
1:      cmp     word ptr [rbp + model_range + 2], MODEL_RANGE_FLOOR >> 16
        jae     2f
        shl     qword ptr [rbp + model_range], 8
        dec     byte ptr [rbp + model_range]    /* the range's new low byte: 0xff */
#ifndef ENCODER
        lodsb
        mov     [rbp + model_value], al
#endif
        jmp     1b

2:      load_contexts
        fldz                                    /* the sum */
3:      movzx   edx, byte ptr [rbp + rcx + model_masks - 1]
        mov     eax, edx                        /* the word starts with the mask */
        push    rsi
        mov     esi, OFFSET context_positions
        /* Neither rol nor lea touches the zero flag of shr. */
4:      shr     edx, 1
        jnc     5f
        rol     eax, 8
        movsx   r8, byte ptr [rsi]
        mov     al, [rdi + r8]
5:      lea     esi, [rsi + 1]
        jnz     4b                              /* until no chosen byte is left */
        pop     rsi
        imul    eax, eax, MODEL_HASH_MULTIPLIER
        shr     eax, 32 - MODEL_TABLE_BITS
        xor     eax, ebx
        lea     edx, [model_counts + 2 + rax * MODEL_SLOT_BYTES] /* all of it lies below 4 GiB */
        mov     [rbp + rcx * 4 + model_slots - 4], edx
        fld     st(1)                           /* the scale, */
        fild    word ptr [rdx - 2]              /* the ones */
        fadd    st, st(4)
        fild    word ptr [rdx]                  /* and the zeros */
        fadd    st, st(5)
        fdivp
        fyl2x
        fst     dword ptr [rbp + rcx * 4 + model_votes - 4]
        fmul    dword ptr [rbp + rcx * 4 + model_weights - 4]
        faddp
        loop    3b

        /* 2^s: fscale takes the whole part of s, f2xm1 the rest, which
           fprem leaves between -1 and 1. */
        fld1
        fld     st(1)
        fprem
        f2xm1
        faddp
        fscale
        fstp    st(1)
        fld1
        faddp
        fld1
        fdivrp                                  /* the probability of a zero */
        /* Rounded to a float: the x87's logarithm and power may differ in
           their last bit from one processor to another, the encoder's and
           the unpacker's, and from here on every step is exact IEEE
           arithmetic, alike everywhere. */
        fstp    dword ptr [rbp + model_probability]
        fld     dword ptr [rbp + model_probability]
        /* The zero's part of the range, from 0 to the bound, is that share
           of it, and both parts keep at least 1 whatever the model says:
           the sum is always finite (votes and weight changes are bounded),
           so the bound is too. */
        fild    dword ptr [rbp + model_range]
        fmul    st, st(1)
        fsub    st, st(1)                       /* (range - 1) × the probability */
        push    rax
        fistp   qword ptr [rsp]
        pop     rax
#ifdef ENCODER
        mov     [r12], eax                      /* for the stream-writing part */
        add     r12, 4
        shl     r15b, 1                         /* carry: the bit */
#else
        cmp     eax, [rbp + model_value]        /* carry: the bit is a one */
#endif
        jb      6f
        mov     [rbp + model_range], eax
        fld1
        fsubp                                   /* the error: 0 - (1 - zero's) */
        jmp     7f
6:      not     eax                             /* adds -(bound + 1), and carries */
#ifndef ENCODER
        add     [rbp + model_value], eax
#endif
        add     [rbp + model_range], eax
7:      sbb     rax, rax                        /* -bit, and the carry stays */
        adc     ebx, ebx

        /* The ones lie at [rdx - 2], the zeros at [rdx]: rax is -1 for a
           one and 0 for a zero, and its complement picks the other. */
        load_contexts
8:      fld     st(0)
        fmul    dword ptr [rbp + rcx * 4 + model_votes - 4]
        fadd    dword ptr [rbp + rcx * 4 + model_weights - 4]
        fstp    dword ptr [rbp + rcx * 4 + model_weights - 4]
        mov     edx, [rbp + rcx * 4 + model_slots - 4]
        inc     word ptr [rdx + rax * 2]        /* a count of 65535 wraps, alike at both ends */
        not     rax
        add     word ptr [rdx + rax * 2], 7     /* an eighth, rounded up: 0 stays 0 */
        shr     word ptr [rdx + rax * 2], 3
        not     rax
        loop    8b
        fstp    st(0)

        test    bh, 1                           /* the leading 1 is out: a whole byte */
        jz      11f
        xchg    eax, ebx
        stosb
        /* The check value, from the same bytes at both ends. */
        add     r10d, eax
        rol     r10d, CHECK_ROTATION
        push    1
        pop     rbx
        compare_image_end
        je      12f
#ifdef ENCODER
        mov     r15b, [rdi]
#endif
11:     jmp     code_bit
12:

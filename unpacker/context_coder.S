/*
 * The context model of the packed mirrorfold and its arithmetic coder, as
 * one piece of code that both ends assemble: unpacker.S includes it as it
 * is, to decode, and tools/context_encoder.S includes it with ENCODER
 * defined, to encode. The model's lines are the same in both, so the
 * encoder's predictions and the unpacker's agree to the last bit; only
 * what is done with a prediction differs. Constants: packed_format.h.
 *
 * For each bit, each context takes the hash of its bytes (chosen by its
 * mask among the bytes before this one, hashed once a byte) and the bits
 * of this byte seen so far to a slot of counts; log2 of the ratio of ones
 * to zeros there, each count raised by the offset, is its vote. The mixer adds the
 * votes with its weights, and 1 / (1 + 2^-sum) is the probability of a
 * one. After the bit, each weight moves along its vote in proportion to
 * the error, the bit's count rises and the other count halves, keeping one
 * more than half, so that a context follows change.
 *
 * On entry:  r9   the image's first byte, with the zeros the model reads
 *                 before it in the MODEL_HISTORY_BYTES ahead of it
 *            r8   the end of the image
 *            r10d how many contexts there are
 *            r12  the stream
 * On exit:   r11d the image's check value (see packed_format.h)
 *            r12  past the last stream byte read or written
 *            r13d the interval's low end, which the encoder still writes
 * The state lives in zero-initialised memory: zero is where every model
 * starts, a table of empty counts and a mixer with all weights 0. The
 * contexts' masks come from model_contexts, a byte each, bit j standing for
 * the byte as many places back as the j-th of MODEL_CONTEXT_POSITIONS.
 *
 * Registers: rbx the state, at a point from which every field but the
 * counts is a one-byte displacement away; r9 the image byte being coded;
 * r13d and r14d the interval's low and high ends; r15d the stream's next
 * 32 bits when decoding, the image byte's bits still to code when
 * encoding; ebp the bits of this byte so far behind a leading 1; ecx
 * counts the contexts down to 1; edi the bit.
 */
        .set weights, -124                      /* float a context */
        .set votes, weights + 4 * MODEL_MAX_CONTEXTS /* float a context */
        .set byte_hashes, votes + 4 * MODEL_MAX_CONTEXTS
        .set slots, byte_hashes + 4 * MODEL_MAX_CONTEXTS /* address of its counts */
        .set scratch, slots + 4 * MODEL_MAX_CONTEXTS /* integers to and from the x87 */
        .set state_size, scratch + 8 - weights
        .if scratch > 127
        .error "the model's state is out of reach of one-byte displacements"
        .endif

        .pushsection .rodata
context_positions: .byte MODEL_CONTEXT_POSITIONS
learning_rate:     .float MODEL_LEARNING_RATE
        .popsection

        .pushsection .bss
        .balign 16
        .globl model_state, model_state_end
model_state:
        .fill state_size
        .balign 16
counts:
        .fill MODEL_SLOT_BYTES << MODEL_TABLE_BITS
model_state_end:
        .popsection

        mov     ebx, OFFSET model_state - weights
        xor     r11d, r11d
        xor     r13d, r13d
        or      r14d, -1
#ifndef ENCODER
        mov     r15d, [r12]
        bswap   r15d
        add     r12, 4
#endif
code_byte:
        mov     ecx, r10d
1:      movzx   edx, byte ptr [model_contexts + rcx - 1]
        mov     eax, edx                        /* the hash starts from the mask */
        mov     esi, OFFSET context_positions
2:      shr     edx, 1
        jnc     3f
        movzx   edi, byte ptr [rsi]
        neg     rdi
        movzx   edi, byte ptr [r9 + rdi]
        lea     eax, [rax + rdi + 1]
        imul    eax, eax, MODEL_HASH_MULTIPLIER
3:      inc     esi
        test    edx, edx
        jnz     2b                              /* until no selected byte is left */
        mov     [rbx + rcx * 4 + byte_hashes - 4], eax
        loop    1b
        push    1
        pop     rbp
#ifdef ENCODER
        movzx   r15d, byte ptr [r9]
        shl     r15d, 24
#endif

code_bit:
        mov     ecx, r10d
        MODEL_LOAD_COUNT_OFFSET
        fldz                                    /* the sum, over the offset */
        /* The bits of a byte so far pick a slot near the context's own:
           a byte's eight predictions touch one page of the table. */
4:      mov     eax, [rbx + rcx * 4 + byte_hashes - 4]
        shr     eax, 32 - MODEL_TABLE_BITS
        xor     eax, ebp
        lea     rdx, [counts + rax * MODEL_SLOT_BYTES]
        mov     [rbx + rcx * 4 + slots - 4], edx /* all of the state lies below 4 GiB */
        fld1
        fild    word ptr [rdx + 2]              /* ones */
        fadd    st, st(3)
        fild    word ptr [rdx]                  /* zeros */
        fadd    st, st(4)
        fdivp
        fyl2x
        fst     dword ptr [rbx + rcx * 4 + votes - 4]
        fmul    dword ptr [rbx + rcx * 4 + weights - 4]
        faddp
        loop    4b
        fstp    st(1)
        /* 2^-sum: fscale takes the whole part of the exponent, f2xm1 the
           rest, which rounding keeps within its range of -1 to 1. */
        fchs
        fld     st(0)
        frndint
        fsub    st(1), st
        fxch
        f2xm1
        fld1
        faddp
        fscale
        fstp    st(1)
        fld1
        faddp
        fld1
        fdivrp                                  /* the probability of a one */
        /* The interval splits at that share of its width: the lower part,
           up to and with the split, stands for a one. The split stays
           below the high end, so that a zero keeps a part too, however
           sure the model is; the sum is always finite (votes and weight
           changes are bounded), so the product is too. */
        mov     ecx, r14d
        sub     ecx, r13d
        mov     [rbx + scratch], rcx
        fild    qword ptr [rbx + scratch]
        fmul    st, st(1)
        fistp   qword ptr [rbx + scratch]
        mov     eax, [rbx + scratch]
        cmp     eax, ecx
        jb      1f
        lea     eax, [rcx - 1]
1:      add     eax, r13d
        xor     edi, edi
#ifdef ENCODER
        shl     r15d, 1
        jnc     5f
#else
        cmp     r15d, eax
        ja      5f
#endif
        inc     edi
        mov     r14d, eax
        jmp     6f
5:      lea     r13d, [rax + 1]

6:      mov     [rbx + scratch], edi
        fisubr  dword ptr [rbx + scratch]       /* the error: bit - probability */
        fmul    dword ptr [learning_rate]
        mov     ecx, r10d
7:      fld     st(0)
        fmul    dword ptr [rbx + rcx * 4 + votes - 4]
        fadd    dword ptr [rbx + rcx * 4 + weights - 4]
        fstp    dword ptr [rbx + rcx * 4 + weights - 4]
        mov     edx, [rbx + rcx * 4 + slots - 4]
        inc     word ptr [rdx + rdi * 2]        /* the bit's count, */
        jnz     8f
        dec     word ptr [rdx + rdi * 2]        /* which stays at 65535 once there */
8:      xor     edi, 1
        movzx   eax, word ptr [rdx + rdi * 2]   /* the other */
        cmp     eax, 2
        jbe     9f
        shr     eax, 1
        inc     eax
        mov     [rdx + rdi * 2], ax
9:      xor     edi, 1
        loop    7b
        fstp    st(0)
        lea     ebp, [rdi + rbp * 2]

        /* Leading bytes on which both ends agree are settled. */
10:     mov     eax, r13d
        xor     eax, r14d
        shr     eax, 24
        jnz     11f
#ifdef ENCODER
        mov     eax, r14d
        shr     eax, 24
        mov     [r12], al
#else
        shl     r15d, 8
        mov     r15b, [r12]
#endif
        inc     r12
        shl     r13d, 8
        shl     r14d, 8
        mov     r14b, 0xff
        jmp     10b
11:     bt      ebp, 8                          /* the leading 1 is out: a whole byte */
        jnc     code_bit
#ifndef ENCODER
        mov     [r9], bpl
#endif
        /* The check value, from the same bytes at both ends. */
        add     r11d, ebp
        imul    r11d, r11d, CHECK_MULTIPLIER
        inc     r9
        cmp     r9, r8
        jb      code_byte

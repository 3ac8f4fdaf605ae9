/*
 * The encoder's side of unpacker/context_coder.S: the same model and coder,
 * callable from C++ (System V ABI):
 *
 *   uint32_t* model_image(uint8_t* image, const uint8_t* image_end,
 *                         uint32_t* bounds, unsigned contexts,
 *                         uint32_t* check_value)
 *
 * stores, for each bit of the image, where the coder's range splits, and
 * returns the end of those bounds; tools/pack_executable.cpp turns them
 * into the stream's bytes. It also stores the image's check value. The
 * MODEL_HISTORY_BYTES before `image` must be zeros; the caller sets the
 * contexts' masks at the start of model_block and zeros the rest of it
 * and model_counts, as the unpacker's memory starts.
 */
#define ENCODER
#include "packed_format.h"

        .intel_syntax noprefix

        .set contexts_room, MODEL_MAX_CONTEXTS
        .macro load_contexts
        mov     ecx, r14d
        .endm
        .macro compare_image_end
        cmp     rdi, r13
        .endm

        .section .rodata
context_positions: .byte MODEL_CONTEXT_POSITIONS

        .bss
        .balign 64
        .globl model_block
model_block:
        .fill MODEL_BLOCK_BYTES

        .text
        .globl model_image
model_image:
        push    rbp
        push    rbx
        push    r12
        push    r13
        push    r14
        push    r15
        push    r8
        mov     r13, rsi
        mov     r12, rdx
        mov     r14d, ecx
        mov     ebp, OFFSET model_block - model_masks
        xor     ebx, ebx
        xor     r10d, r10d
        mov     r15b, [rdi]                     /* the bits to code */
        fninit                                  /* the x87 as a new process has it */
#include "context_coder.S"
        fninit                                  /* the ABI's empty x87 stack */
        pop     rdx
        mov     [rdx], r10d
        mov     rax, r12
        pop     r15
        pop     r14
        pop     r13
        pop     r12
        pop     rbx
        pop     rbp
        ret

        .section .note.GNU-stack, "", @progbits

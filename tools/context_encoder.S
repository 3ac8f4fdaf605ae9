/*
 * The encoder's side of unpacker/context_coder.S: the same model and coder,
 * coding an image into a stream, callable from C++ (System V ABI):
 *
 *   uint8_t* encode_image(const uint8_t* image, const uint8_t* image_end,
 *                         uint8_t* stream, unsigned contexts,
 *                         uint32_t* check_value)
 *
 * returns the end of the stream, and stores the image's check value. The
 * MODEL_HISTORY_BYTES before `image` must be readable zeros, and
 * model_state zero, as in the unpacker; the caller fills model_contexts.
 */
#define ENCODER
#include "packed_format.h"

        .intel_syntax noprefix
        .text
        .globl encode_image
encode_image:
        push    rbx
        push    rbp
        push    r12
        push    r13
        push    r14
        push    r15
        push    r8
        mov     r9, rdi
        mov     r8, rsi
        mov     r12, rdx
        mov     r10d, ecx
#include "context_coder.S"
        pop     rdx
        mov     [rdx], r11d
        /* All four bytes of the low end: whatever follows the stream in the
           unpacker's memory, the decoder's value then lies in the interval. */
        mov     eax, r13d
        bswap   eax
        mov     [r12], eax
        lea     rax, [r12 + 4]
        pop     r15
        pop     r14
        pop     r13
        pop     r12
        pop     rbp
        pop     rbx
        ret

        .section .note.GNU-stack, "", @progbits

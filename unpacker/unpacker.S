/*
 * The unpacker in front of the packed mirrorfold: a static executable with no
 * interpreter and no libraries, made of its own ELF header, one program
 * header, the code below with the context model and its decoder
 * (context_coder.S), and the coded image after them.
 *
 * When started it decodes the image into its own memory, checks it against
 * the check value the encoder stored, writes it into an anonymous memory
 * file and executes that file in its own place (execveat on the
 * descriptor), so the program runs in this very process: same process id,
 * command line, environment, descriptors, and its own exit status. No other
 * program is started and nothing is written to any file system. A failure
 * of any step ends the process with one line on standard error and status
 * 127 before anything is executed.
 */
#include "packed_format.h"

        .intel_syntax noprefix

        /* Linux x86-64 system calls and the flags they are given. */
        .set SYS_write, 1
        .set SYS_exit_group, 231
        .set SYS_memfd_create, 319
        .set SYS_execveat, 322
        .set EINVAL, 22
        .set MFD_CLOEXEC, 0x1
        .set MFD_EXEC, 0x10
        .set AT_EMPTY_PATH, 0x1000

        /* The image's size and where its stream starts, from the encoder. */
#include "packed_image.inc"

        /* A system call by name. Below 128, push and pop load its number in
           three bytes where mov takes five. */
        .macro sys name
        .if SYS_\name < 128
        push    SYS_\name
        pop     rax
        .else
        mov     eax, SYS_\name
        .endif
        syscall
        .endm

        /* Loads a small constant in three bytes. */
        .macro set register, value
        push    \value
        pop     \register
        .endm

        .text
file_start:
elf_header:
        .byte 0x7f, 'E', 'L', 'F'
        .byte 2, 1, 1                   /* 64-bit, little-endian, ELF version 1 */
        .fill 9                         /* System V ABI, padding */
        .word 2                         /* an executable */
        .word 62                        /* for x86-64 */
        .long 1
        .quad entry
        .quad program_header - file_start
        .quad 0                         /* no section headers */
        .long 0
        .word 64                        /* the ELF header's size */
        .word program_header_end - program_header
/* The header's last 8 bytes, the number of program headers and the section
   header table's entry size, count and names' index, are the program
   header's first 8: its type, 1, makes the count 1 and the entry size 0,
   and its flags make the section headers' count 7, which nothing reads
   where there is no section header table. */

/* One segment: the file, and after it the zero-filled memory that the
   decoder, its model and the image need. Writable, since that memory is. */
program_header:
        .long 1                         /* PT_LOAD */
        .long 7                         /* readable, writable, executable */
        .quad 0
        .quad file_start, file_start
        .quad file_end - file_start
        .quad memory_end - file_start
        .quad 0x1000

program_header_end:
/* The kernel leaves argc, the arguments and the environment on the stack;
   nothing below moves that stack pointer for good, so execveat hands the
   program the very same ones. */
entry:
        /* Decoding writes exactly image_size bytes, whatever the stream
           holds; reading on past the stream's end finds this process's own
           zero-filled memory, enough of it for any stream. */
        mov     r9d, OFFSET image
        mov     r8d, OFFSET image_end
        mov     r12d, OFFSET stream
        set     r10, contexts_count
#include "context_coder.S"

        /* The image must be the one the encoder was given. */
        mov     ebp, OFFSET check_step
        xor     eax, eax                /* no number to show */
        cmp     r11d, [image_check]
        jne     fail

        /* Kernels from 6.3 on may make memory files non-executable unless
           MFD_EXEC asks otherwise; older ones do not know the flag, refuse
           it with EINVAL, and make every memory file executable. */
        mov     ebp, OFFSET memfd_step
        mov     edi, OFFSET program_name
        set     rsi, MFD_CLOEXEC | MFD_EXEC
        sys     memfd_create
        cmp     eax, -EINVAL
        jne     6f
        and     esi, MFD_CLOEXEC
        sys     memfd_create
6:      call    check
        mov     ebx, eax

        mov     ebp, OFFSET write_step
        mov     edi, ebx
        mov     esi, OFFSET image
        mov     edx, OFFSET image_size
        sys     write
        call    check

        /* The descriptor is close-on-exec: the program starts with exactly
           the descriptors this process was given. */
        mov     ebp, OFFSET exec_step
        mov     edi, ebx
        mov     esi, OFFSET no_path
        lea     rdx, [rsp + 8]
        mov     eax, [rsp]
        lea     r10, [rsp + rax * 8 + 16]
        mov     r8d, AT_EMPTY_PATH
        sys     execveat

/* Returns the result of a system call, or ends the process where it is an
   error. */
check:
        test    eax, eax
        js      fail_with_error
        ret

fail_with_error:
        neg     eax
/* "mirrorfold: <step>: error <number>" on standard error, then status 127,
   as a shell reports a command it cannot run. ebp: the step, eax: the
   number, or 0 where the step's text says it all. */
fail:
        mov     r8d, eax
        add     rsp, -128               /* shorter than sub: -128 fits a byte */
        mov     rdi, rsp
        mov     esi, OFFSET program_name
        call    append
        mov     ax, ':' | ' ' << 8
        stosw
        mov     esi, ebp
        call    append
        /* The digits go on the stack lowest first and come off highest
           first; this marker under them comes off last, as the newline. */
        push    '\n' - '0'
        mov     eax, r8d
        test    eax, eax
        jz      8f
        mov     rax, 0x20726f727265203a  /* ": error " */
        stosq
        mov     eax, r8d
        set     rcx, 10
7:      xor     edx, edx
        div     ecx
        push    rdx
        test    eax, eax
        jnz     7b
8:      pop     rax
        add     al, '0'
        stosb
        cmp     al, '\n'
        jne     8b
        mov     rsi, rsp
        mov     rdx, rdi
        sub     rdx, rsi
        set     rdi, 2
        sys     write
        set     rdi, 127
        sys     exit_group

/* Copies the text at rsi, without its zero byte, to rdi. */
append:
        lodsb
        test    al, al
        jz      9f
        stosb
        jmp     append
9:      ret

program_name:   .asciz "mirrorfold"
        .set no_path, program_name + 10
memfd_step:     .asciz "memfd_create"
write_step:     .asciz "write"
exec_step:      .asciz "execveat"
check_step:     .asciz "image check failed"

/* What the encoder wrote: the model's contexts, the stream, and last the
   image's check value. The model and this code come before it. */
        .section .packed_image, "a"
model_contexts:
        .incbin "packed_image.bin"
file_end:
        .set stream, model_contexts + contexts_count
        .set image_check, file_end - 4

        /* The image, with the zeros the model reads before its first byte;
           and after it room for the decoder to read on into, should a
           damaged stream run short: a bit never shifts in more than 4
           bytes. */
        .bss
        .fill MODEL_HISTORY_BYTES
image:
        .fill image_size
image_end:
        .fill 4 * 8 * image_size

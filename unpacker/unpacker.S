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
 *
 * Linux starts a static executable with every general register zero, the
 * x87 unit in its initial state and the zero-filled memory of its segment
 * beyond the file: the decoder starts from all three.
 */
#include "packed_format.h"

        .intel_syntax noprefix

        /* Linux x86-64 system calls and the flags they are given. */
        .set SYS_write, 1
        .set SYS_madvise, 28
        .set SYS_exit, 60
        .set SYS_memfd_create, 319
        .set SYS_execveat, 322
        .set MFD_CLOEXEC, 0x1
        .set MFD_EXEC_BIT, 4
        .set AT_EMPTY_PATH, 0x1000
        .set MADV_HUGEPAGE, 14

        /* The table of counts' size is a power of 2, its logarithm this. */
        .set counts_bytes_log2, MODEL_TABLE_BITS + 2
        .if (1 << counts_bytes_log2) - (MODEL_SLOT_BYTES << MODEL_TABLE_BITS)
        .error "the table of counts is not 2^counts_bytes_log2 bytes"
        .endif

        /* The image's size, the number of contexts and where the
           relocation table's differences lie, from the encoder. */
#include "packed_image.inc"

        /* Loads a small constant in three bytes, where mov takes five. */
        .macro set register, value
        push    \value
        pop     \register
        .endm

        .set contexts_room, contexts_count
        .macro load_contexts
        set     rcx, contexts_count
        .endm
        /* An image of up to 64 KiB ends on a 64 KiB boundary (see
           link/unpacker.ld): its end is where rdi's low 16 bits are 0. */
        .macro compare_image_end
        .if image_size <= 0x10000
        test    di, di
        .else
        cmp     edi, OFFSET image_end
        .endif
        .endm

/* The ELF header and the program header. The loader reads only some of
   their fields; those it does not read hold the model's constants and
   texts of the error lines, marked "unread" below. */
        .text
file_start:
        .byte 0x7f, 'E', 'L', 'F'
        .byte 2, 1, 1, 0                /* 64-bit, little-endian, ELF version 1, System V */
context_positions:                      /* unread: ABI version and padding */
        .byte MODEL_CONTEXT_POSITIONS
        .word 2                         /* an executable */
        .word 62                        /* for x86-64 */
        .long 1                         /* ELF version 1; unread */
        .quad entry
        .quad program_header - file_start
memfd_step:                             /* unread: section headers' offset, flags, header size */
        .asciz "memfd_create"
        .byte 0
        .word program_header_end - program_header
/* The header's last 8 bytes, the number of program headers and the section
   header table's entry size, count and names' index, are the program
   header's first 8: its type, 1, makes the count 1 and the entry size 0,
   and its flags make the section headers' count 7, which nothing reads
   where no section header table is used. */

/* One segment: the file, and after it the zero-filled memory that the
   decoder, its model and the image need. Writable, since that memory is. */
program_header:
        .long 1                         /* PT_LOAD */
        .long 7                         /* readable, writable, executable */
        .quad 0
        .quad file_start
write_step:                             /* unread: the physical address */
        .asciz "write"
        .fill 2
        .quad file_end - file_start
        .quad memory_end - file_start
error_text:                             /* unread: the alignment, for an executable */
        .ascii ": error "
program_header_end:
        .if program_header - file_start != 56 || program_header_end - file_start != 112
        .error "the headers are out of place"
        .endif

/* The texts of the error lines that the headers have no room for; the
   line for a failed check is whole, and its start serves the others. In
   the same 256 bytes as the others, so that one byte switches between
   them. */
check_message:  .ascii "mirrorfold: image check failed\n"
        .set check_message_length, . - check_message
        .set memfd_step_from_name_end, memfd_step - (check_message + 10)
        .if check_message - error_text - 8
        .error "the error line's parts are out of place"
        .endif
exec_step:      .asciz "execveat"

entry:
        /* The table of counts is touched all over, at random. In huge
           pages, where the kernel grants them, it takes a handful of page
           faults instead of two for each of its 2,048 small pages, and far
           fewer misses of the TLB: here decoding takes about 10 ms less, of
           some 60. Where they are not granted nothing changes. esi is 0, so one set bit
           makes the size. Besides its arguments the system call changes
           only rax, rcx and r11, none of which the decoder needs zero. */
        mov     edi, OFFSET model_counts
        bts     esi, counts_bytes_log2
        set     rdx, MADV_HUGEPAGE
        set     rax, SYS_madvise
        syscall

        /* Decoding writes exactly image_size bytes, whatever the stream
           holds; reading on past the stream's end finds this process's own
           memory, enough of it for any stream. */
        mov     edi, OFFSET image
        mov     esi, OFFSET stream
        mov     ebp, OFFSET model_masks_start - model_masks
#include "context_coder.S"

        /* The relocation table's words after its first entry are their
           differences from the words an entry before: added up from the
           front, each is added to one already whole. */
        .if relocation_differences_words
        mov     esi, OFFSET image + relocation_differences_offset
        .if relocation_differences_words < 128
        set     rcx, relocation_differences_words
        .else
        mov     ecx, relocation_differences_words
        .endif
1:      mov     rax, [rsi - RELOCATION_ENTRY_BYTES]
        add     [rsi], rax
        lodsq
        loop    1b
        .endif

        /* The memory file's name, which the process takes for its own: the
           start of the check's line, put before the zeros after the image. */
        push    rdi
        mov     esi, OFFSET check_message
        movsq
        movsw                                   /* "mirrorfold" */
        pop     rdi

        /* The image must be the one the encoder was given. */
        cmp     r10d, [rbp + model_check]
        je      1f
        lea     ebp, [rsi - 10]                 /* the check's line */
        lea     edi, [rbp + check_message_length]
        jmp     write_line_and_exit
1:

        /* Kernels from 6.3 on may make memory files non-executable unless
           MFD_EXEC asks otherwise; older ones do not know the flag, refuse
           it with EINVAL, and make every memory file executable. */
        lea     ebx, [rsi + memfd_step_from_name_end]
        set     rsi, MFD_CLOEXEC | 1 << MFD_EXEC_BIT
1:      mov     eax, SYS_memfd_create
        syscall
        test    eax, eax
        jns     2f
        btr     esi, MFD_EXEC_BIT               /* refused: once more without it */
        jc      1b
        jmp     fail
2:      xchg    eax, edi                        /* and eax: the image's end */

        /* A write may come up short: under a file-size limit (RLIMIT_FSIZE)
           the kernel writes what fits and counts that as success. What is
           left goes again until all of it is in, for a cut image must never
           run; the write that starts at the limit then fails with EFBIG, or
           SIGXFSZ ends the process first where it is not ignored. */
        mov     bl, OFFSET write_step - file_start
        mov     edx, OFFSET image_size
        sub     eax, edx
        xchg    eax, esi
1:      set     rax, SYS_write
        syscall
        test    eax, eax
        js      fail
        add     esi, eax
        sub     edx, eax
        jnz     1b

        /* The descriptor is close-on-exec: the program starts with exactly
           the descriptors this process was given. execveat copies the
           arguments and the environment, so the stack may move. The path
           is empty: the first context's mask, 0. */
        mov     bl, OFFSET exec_step - file_start
        pop     rax                             /* argc */
        mov     rdx, rsp
        lea     r10, [rsp + rax * 8 + 8]
        lea     esi, [rbp + model_masks]
        mov     r8d, AT_EMPTY_PATH
        mov     eax, SYS_execveat
        syscall

/* "mirrorfold: <step>: error <number>" on standard error, then status 127,
   as a shell reports a command it cannot run. ebx: the step, eax: the
   system call's result. The line is made in the model's block, which
   serves no more. */
fail:
        neg     eax
        xchg    eax, edx
        mov     edi, ebp
        mov     esi, OFFSET error_text
        lodsq                                   /* ": error ", for later */
        movsq                                   /* the error text's neighbour, "mirrorfold: " */
        movsd
        mov     esi, ebx
3:      movsb
        cmp     byte ptr [rsi], 0
        jnz     3b
        stosq
        xchg    eax, edx
        /* The digits go on the stack lowest first and come off highest
           first; this marker under them comes off last, as the newline. */
        push    '\n' - '0'
        set     rcx, 10
4:      cdq
        div     ecx
        push    rdx
        test    eax, eax
        jnz     4b
5:      pop     rax
        add     al, '0'
        stosb
        cmp     al, '\n'
        jne     5b
/* Writes the line from ebp to edi and ends the process. */
write_line_and_exit:
        mov     edx, edi
        sub     edx, ebp
        mov     esi, ebp
        set     rdi, 2
        set     rax, SYS_write
        syscall
        set     rdi, 127
        set     rax, SYS_exit
        syscall

/* What the encoder wrote: the stream, the model's contexts, and last the
   image's check value, which the model's block takes in after the
   contexts; the rest of the block follows in zero-filled memory. */
        .section .packed_image, "a"
stream:
        .incbin "packed_image.bin"
file_end:
        .set model_masks_start, file_end - 4 - contexts_count

        .section .model_state, "aw", @nobits
        .fill model_end - model_range

        /* The image, with the zeros the model reads before its first byte;
           and after it room for the decoder to read on into, should a
           damaged stream run short: a bit never takes in more than 3 bytes. */
        .section .image, "aw", @nobits
        .globl image_end_offset
        .set image_end_offset, MODEL_HISTORY_BYTES + image_size
        .fill MODEL_HISTORY_BYTES
image:
        .fill image_size
image_end:
        .fill 3 * 8 * image_size

/*
 * The unpacker in front of the packed mirrorfold: a static executable with no
 * interpreter and no libraries, made of its own ELF header, one program
 * header, the code below and the gzip stream of build/mirrorfold after it.
 *
 * When started it has gzip write the program into an anonymous memory file
 * and then executes that file in its own place (execveat on the descriptor),
 * so the program runs in this very process: same process id, command line,
 * environment, descriptors, and its own exit status. Nothing is written to
 * any file system.
 *
 * gzip is Essential on Debian, so every system it runs on has a decoder;
 * gzip also checks the stream's CRC and length, and a failure of any step
 * ends the process with one line on standard error and status 127 before
 * anything is executed.
 */
        .intel_syntax noprefix

        /* Linux x86-64 system calls and the flags they are given. */
        .set SYS_write, 1
        .set SYS_close, 3
        .set SYS_lseek, 8
        .set SYS_dup2, 33
        .set SYS_clone, 56
        .set SYS_execve, 59
        .set SYS_exit, 60
        .set SYS_wait4, 61
        .set SYS_fcntl, 72
        .set SYS_exit_group, 231
        .set SYS_pipe2, 293
        .set SYS_memfd_create, 319
        .set SYS_execveat, 322
        .set EINVAL, 22
        .set O_CLOEXEC, 0x80000
        .set MFD_CLOEXEC, 0x1
        .set MFD_EXEC, 0x10
        .set CLONE_VM, 0x100
        .set CLONE_VFORK, 0x4000
        .set WALL, 0x40000000
        .set F_SETFD, 2
        .set SEEK_END, 2
        .set AT_EMPTY_PATH, 0x1000

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

        /* The stack frame: the pipe's two ends, the wait status of gzip, and
           the error of its execve as the child leaves it behind. */
        .set pipe_read_end, 0
        .set pipe_write_end, 4
        .set gzip_status, 8
        .set gzip_exec_error, 12

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
        .word program_header - elf_header
        .word program_header_end - program_header
        .word 1                         /* one program header */
        .word 0, 0, 0

/* One segment, the whole file, read-only and executable: the code writes
   only to the stack. */
program_header:
        .long 1                         /* PT_LOAD */
        .long 5                         /* readable, executable */
        .quad 0
        .quad file_start, file_start
        .quad file_end - file_start
        .quad file_end - file_start
        .quad 0x1000

program_header_end:
entry:
        /* The kernel leaves argc, the arguments and the environment on the
           stack: execveat hands the program the very same ones. */
        pop     rax
        mov     r12, rsp
        lea     r13, [rsp + rax * 8 + 8]
        push    0                       /* the frame below, zeroed */
        push    0

        /* gzip gets the stream through a pipe. */
        mov     ebp, OFFSET pipe_step
        mov     rdi, rsp
        mov     esi, O_CLOEXEC
        sys     pipe2
        call    check

        /* The stream is shorter than PIPE_BUF, so it goes into the empty pipe
           whole, at once, without waiting for a reader. Were it lost, gzip
           would find no stream and fail, so the result needs no check of
           its own. Then gzip can read to the end once no writer is left. */
        mov     edi, [rsp + pipe_write_end]
        mov     esi, OFFSET payload
        /* AT&T syntax for this one: Clang's assembler reads a difference
           of two labels in Intel syntax as a memory operand. */
        .att_syntax
        movl    $(payload_end - payload), %edx
        .intel_syntax noprefix
        sys     write
        mov     edi, [rsp + pipe_write_end]
        sys     close

        /* Kernels from 6.3 on may make memory files non-executable unless
           MFD_EXEC asks otherwise; older ones do not know the flag, refuse
           it with EINVAL, and make every memory file executable. Made after
           the pipe, it cannot be descriptor 0, whatever this process was
           started with. */
        mov     ebp, OFFSET memfd_step
        mov     edi, OFFSET program_name
        set     rsi, MFD_CLOEXEC | MFD_EXEC
        sys     memfd_create
        cmp     eax, -EINVAL
        jne     1f
        and     esi, MFD_CLOEXEC
        sys     memfd_create
1:      call    check
        mov     ebx, eax

        /* A child that shares this memory until it executes gzip, so it can
           leave its execve error behind. Its exit signal is none rather
           than SIGCHLD: where the parent ignores SIGCHLD, an ignored
           SIGCHLD would have the kernel reap gzip before its status could
           be read. */
        mov     ebp, OFFSET clone_step
        mov     edi, CLONE_VM | CLONE_VFORK
        xor     esi, esi
        sys     clone
        call    check                   /* its test leaves ZF set in the child */
        jnz     wait_for_gzip

        /* The child: gzip reads the stream from the pipe and writes the
           program to the memory file. */
        mov     edi, [rsp + pipe_read_end]
        xor     esi, esi
        sys     dup2
        mov     edi, ebx
        set     rsi, 1
        sys     dup2
        /* Started with standard input or output closed, the pipe's end or
           the memory file may have the number already, and dup2 onto itself
           leaves a descriptor close-on-exec. */
        xor     edi, edi
        set     rsi, F_SETFD
        xor     edx, edx
        sys     fcntl
        inc     edi
        sys     fcntl
        push    0
        push    OFFSET gzip_option
        push    OFFSET gzip_path
        mov     edi, OFFSET gzip_path
        mov     rsi, rsp
        /* No environment: GZIP and the like must not change what it does. */
        xor     edx, edx
        sys     execve
        neg     eax
        mov     [rsp + 24 + gzip_exec_error], eax
        set     rdi, 127
        sys     exit

wait_for_gzip:
        mov     ebp, OFFSET wait_step
        mov     edi, eax
        lea     rsi, [rsp + gzip_status]
        mov     edx, WALL
        xor     r10d, r10d
        sys     wait4
        call    check

        mov     ebp, OFFSET gzip_exec_step
        mov     eax, [rsp + gzip_exec_error]
        test    eax, eax
        jnz     fail

        /* As a shell shows it: the exit status, or 128 and the signal. */
        mov     ebp, OFFSET gzip_step
        mov     eax, [rsp + gzip_status]
        mov     ecx, eax
        and     ecx, 0x7f
        jz      2f
        lea     eax, [rcx + 128]
        jmp     fail
2:      shr     eax, 8
        jnz     fail

        /* gzip has checked the stream; this checks that all of it arrived.
           The stream ends with the length of what it holds. */
        mov     ebp, OFFSET length_step
        mov     edi, ebx
        xor     esi, esi
        set     rdx, SEEK_END
        sys     lseek
        cmp     eax, [payload_end - 4]
        jne     fail

        /* The descriptor is close-on-exec: the program starts with exactly
           the descriptors this process was given. */
        mov     ebp, OFFSET exec_step
        mov     edi, ebx
        mov     esi, OFFSET no_path
        mov     rdx, r12
        mov     r10, r13
        mov     r8d, AT_EMPTY_PATH
        sys     execveat
        jmp     fail_with_error

/* Returns the result of a system call, or ends the process where it is an
   error. */
check:
        test    eax, eax
        js      fail_with_error
        ret

fail_with_error:
        neg     eax
/* "mirrorfold: <step> <number>" on standard error, then status 127, as a
   shell reports a command it cannot run. ebp: the step, eax: the number. */
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
        mov     al, ' '
        stosb
        mov     eax, r8d
        set     rcx, 10
        /* The digits go on the stack lowest first and come off highest
           first; this marker under them comes off last, as the newline. */
        push    '\n' - '0'
3:      xor     edx, edx
        div     ecx
        push    rdx
        test    eax, eax
        jnz     3b
4:      pop     rax
        add     al, '0'
        stosb
        cmp     al, '\n'
        jne     4b
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
        jz      5f
        stosb
        jmp     append
5:      ret

program_name:   .asciz "mirrorfold"
gzip_path:      .asciz "/bin/gzip"
gzip_option:    .asciz "-d"
        .set no_path, gzip_option + 2
pipe_step:      .asciz "pipe2: error"
memfd_step:     .asciz "memfd_create: error"
clone_step:     .asciz "clone: error"
wait_step:      .asciz "wait4: error"
gzip_exec_step: .asciz "execve /bin/gzip: error"
gzip_step:      .asciz "gzip -d: status"
length_step:    .asciz "wrong unpacked length:"
exec_step:      .asciz "execveat: error"

payload:
        .incbin "mirrorfold.gz"
payload_end:
file_end:

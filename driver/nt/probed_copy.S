# VostraleProbedCopy(target, source, length) -> 0 when copied, 1 when an exception stopped it.
#
# Reading memory of the process that sent a control request can fault at any moment (a bad
# address, or another thread of that process unmapping it while we copy). The kernel turns
# such a fault, and ProbeForRead's own refusal of a non-user range, into a structured
# exception, and an unhandled one stops the system. GCC for MinGW-w64 has no __try/__except,
# and no documented kernel routine copies from user memory without raising. So this routine
# carries its own exception handler: its unwind information names __C_specific_handler (the
# kernel's C handler) with a scope table of one entry, "execute handler" over the probe and the
# copy. On an exception the kernel unwinds to .Lcaught with the frame and the saved registers
# of the body, so the ordinary epilogue returns from there. What rax holds after that unwind is
# the handler's business, so the result is set explicitly.
#
# Windows x64 calling convention: rcx target, rdx source, r8 length.

    .text
    .p2align 4
    .globl VostraleProbedCopy
    .def VostraleProbedCopy; .scl 2; .type 32; .endef
    .seh_proc VostraleProbedCopy
VostraleProbedCopy:
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rsi
    .seh_pushreg %rsi
    pushq %rdi
    .seh_pushreg %rdi
    subq $32, %rsp                  # home space for the call; keeps rsp 16-byte aligned
    .seh_stackalloc 32
    .seh_endprologue
    movq %rcx, %rdi
    movq %rdx, %rsi
    movq %r8, %rbx
.Lguarded_begin:
    movq %rsi, %rcx
    movq %rbx, %rdx
    movl $1, %r8d
    call *__imp_ProbeForRead(%rip)  # raises for a range outside user space
    movq %rbx, %rcx
    rep movsb                       # may fault: the handler below takes it
    nop                             # keeps the copy's address strictly inside the range
.Lguarded_end:
    xorl %eax, %eax
.Lreturn:
    addq $32, %rsp
    popq %rdi
    popq %rsi
    popq %rbx
    ret
.Lcaught:
    movl $1, %eax
    jmp .Lreturn
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1                         # one scope entry
    .rva .Lguarded_begin            # begin
    .rva .Lguarded_end              # end (exclusive)
    .long 1                         # filter: EXCEPTION_EXECUTE_HANDLER
    .rva .Lcaught                   # target of the unwind
    .text
    .seh_endproc

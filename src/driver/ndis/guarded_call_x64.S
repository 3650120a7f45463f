/* corvflt.sys: NTSTATUS guarded_call(void (*fn)(void*), void* context)
 *
 * Calls fn(context) inside a structured exception scope, like __try/__except
 * (EXCEPTION_EXECUTE_HANDLER) would, for a toolchain without __try. The unwind data names
 * __C_specific_handler (exported by ntoskrnl.exe) as the language handler and carries one
 * scope record: the call instruction's range, filter 1 (always handle), and the landing
 * label. When fn or anything it calls raises -- an access violation on a user address, the
 * status MmProbeAndLockPages raises -- the handler unwinds to the landing label with the
 * exception code in eax, and the function returns it. Otherwise it returns 0.
 * The nop after the call keeps the return address inside the scope's range.
 */
    .text
    .globl  _ZN7corvflt4ndis12guarded_callEPFvPvES1_
    .def    _ZN7corvflt4ndis12guarded_callEPFvPvES1_; .scl 2; .type 32; .endef
    .seh_proc _ZN7corvflt4ndis12guarded_callEPFvPvES1_
_ZN7corvflt4ndis12guarded_callEPFvPvES1_:
    subq    $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq    %rcx, %rax
    movq    %rdx, %rcx
.Lscope_begin:
    call    *%rax
    nop
.Lscope_end:
    xorl    %eax, %eax
    addq    $40, %rsp
    ret
.Lscope_landing:
    addq    $40, %rsp
    ret
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long   1
    .rva    .Lscope_begin
    .rva    .Lscope_end
    .long   1
    .rva    .Lscope_landing
    .text
    .seh_endproc

/*
 * Loaded into the User-mode Linux kernel (LD_PRELOAD) so that it runs on
 * hosts whose processors have more extended register state than it knows
 * of (AMX tiles): it saves and restores its processes' registers with a
 * buffer of its own size, and the host kernel refuses a restore that is not
 * the host's whole size (EFAULT: "ptrace set fp regs failed"). The restore
 * is completed here with the host's own values for the state beyond it,
 * which none of its processes uses.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/uio.h>

long ptrace(enum __ptrace_request request, ...)
{
    static long (*next)(enum __ptrace_request, ...);
    static _Alignas(64) char whole[65536]; /* the kernel runs its processes from one thread */
    va_list arguments;
    va_start(arguments, request);
    pid_t pid = va_arg(arguments, pid_t);
    void *address = va_arg(arguments, void *);
    void *data = va_arg(arguments, void *);
    va_end(arguments);
    if (!next)
        next = (long (*)(enum __ptrace_request, ...))dlsym(RTLD_NEXT, "ptrace");
    if (request == PTRACE_SETREGSET && (long)address == NT_X86_XSTATE) {
        const struct iovec *given = data;
        struct iovec host = {whole, sizeof whole};
        if (next(PTRACE_GETREGSET, pid, address, &host) == 0 && host.iov_len > given->iov_len) {
            memcpy(whole, given->iov_base, given->iov_len);
            return next(PTRACE_SETREGSET, pid, address, &host);
        }
    }
    return next(request, pid, address, data);
}

/*
 * Preload library for 32-bit Wine under qemu-i386 user emulation.
 *
 * Wine's i386 signal handler decides which Windows exception to raise from
 * the trap number the kernel stores in the signal context. qemu-user leaves
 * that field at -1, so every access violation of a 32-bit Windows program
 * would arrive as EXCEPTION_ILLEGAL_INSTRUCTION. This library wraps
 * sigaction: a handler installed for a fault signal is called through a
 * small trampoline that fills in the trap number the processor would have
 * given (from the signal and its si_code) before the real handler runs. A
 * context that already carries a trap number is left as it is, so the
 * library is harmless where 32-bit code runs natively.
 *
 * Built twice: for i386 (the fix) and for x86_64 (an empty library), so that
 * one LD_PRELOAD entry with the literal "$LIB" serves both kinds of process.
 * It needs no C library headers: no 32-bit development files are installed
 * on the build machine. i386 Linux layouts are spelled out below.
 */

#if defined(__i386__)

typedef unsigned int u32;

#define SIGILL 4
#define SIGTRAP 5
#define SIGBUS 7
#define SIGFPE 8
#define SIGSEGV 11
#define NSIG_MAX 65

#define SA_SIGINFO 4
#define SI_KERNEL 0x80
#define FPE_INTDIV 1
#define FPE_INTOVF 2
#define TRAP_TRACE 2

/* glibc's struct sigaction on i386. */
struct k_sigaction {
    void (*handler)(int, void *, void *);
    u32 mask[32];
    int flags;
    void (*restorer)(void);
};

/* siginfo_t: only the head is read. */
struct k_siginfo {
    int si_signo;
    int si_errno;
    int si_code;
};

/* ucontext on i386: uc_flags, uc_link, uc_stack (3 words), then the general
 * registers; the trap number is register 12. */
#define UC_GREGS_OFFSET 20
#define REG_TRAPNO 12

extern void *dlsym(void *handle, const char *name);
#define RTLD_NEXT ((void *)-1l)

typedef int (*sigaction_fn)(int, const struct k_sigaction *, struct k_sigaction *);

static void (*saved_handlers[NSIG_MAX])(int, void *, void *);

static int is_fault_signal(int sig)
{
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGTRAP;
}

static int trap_number(int sig, int code)
{
    switch (sig) {
    case SIGSEGV: return code == SI_KERNEL ? 13 : 14; /* general protection : page fault */
    case SIGBUS: return 17;                           /* alignment check */
    case SIGILL: return 6;                            /* invalid opcode */
    case SIGFPE:
        if (code == FPE_INTDIV) return 0;             /* divide error */
        if (code == FPE_INTOVF) return 4;             /* overflow */
        return 16;                                    /* x87 floating point */
    case SIGTRAP: return code == TRAP_TRACE ? 1 : 3;  /* single step : breakpoint */
    }
    return -1;
}

static void trampoline(int sig, void *info, void *context)
{
    if (context && info) {
        int *gregs = (int *)((char *)context + UC_GREGS_OFFSET);
        if (gregs[REG_TRAPNO] == -1)
            gregs[REG_TRAPNO] = trap_number(sig, ((struct k_siginfo *)info)->si_code);
    }
    if (sig > 0 && sig < NSIG_MAX && saved_handlers[sig])
        saved_handlers[sig](sig, info, context);
}

static sigaction_fn real_sigaction(void)
{
    static sigaction_fn fn;
    if (!fn) fn = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
    return fn;
}

int sigaction(int sig, const struct k_sigaction *act, struct k_sigaction *old)
{
    sigaction_fn next = real_sigaction();
    struct k_sigaction wrapped;
    void (*previous)(int, void *, void *) = 0;
    int wrap = act && is_fault_signal(sig) && (act->flags & SA_SIGINFO) &&
               (unsigned long)act->handler > 1ul; /* not SIG_DFL / SIG_IGN */
    int rc;

    if (sig > 0 && sig < NSIG_MAX) previous = saved_handlers[sig];
    if (wrap) {
        wrapped = *act;
        wrapped.handler = trampoline;
        saved_handlers[sig] = act->handler;
        rc = next(sig, &wrapped, old);
    } else {
        if (act && sig > 0 && sig < NSIG_MAX) saved_handlers[sig] = 0;
        rc = next(sig, act, old);
    }
    if (rc != 0 && sig > 0 && sig < NSIG_MAX) saved_handlers[sig] = previous;
    /* The caller sees its own handler, never the trampoline. */
    if (rc == 0 && old && old->handler == trampoline) old->handler = previous;
    return rc;
}

#else

/* Other architectures need no fix. */
int zra_trapfix_unused;

#endif

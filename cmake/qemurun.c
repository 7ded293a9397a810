/*
 * Runs a program of the target under qemu-user with pidfds hidden from it.
 *
 * qemu-user 7.2 passes waitid(P_PIDFD, ...) to the kernel, so a guest sees pidfd support,
 * but refuses clone(CLONE_PIDFD) with EINVAL. Qt's QProcess trusts the first answer and then
 * fails every start with "fork failure: Invalid argument". Under a seccomp filter that answers
 * waitid(P_PIDFD) with EINVAL, as a kernel before 5.4 does, Qt uses plain fork() instead.
 * The filter is inherited by everything the program starts.
 *
 *     qemurun QEMU PROGRAM [ARGUMENTS...]
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define BUILD_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define BUILD_ARCH AUDIT_ARCH_AARCH64
#else
#error "qemurun knows the system call numbers of x86-64 and arm64 build machines only"
#endif

#define WAITID_P_PIDFD 3

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: qemurun QEMU PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, BUILD_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_waitid, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, WAITID_P_PIDFD, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof(filter) / sizeof(filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        perror("qemurun: seccomp");
        return 127;
    }
    execvp(argv[1], argv + 1);
    perror("qemurun: exec");
    return 127;
}

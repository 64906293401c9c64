/* deny-syscalls spawn|pipe|wait PROGRAM [ARG...]: runs PROGRAM with new processes
 * ("spawn": fork, vfork, clone, clone3) or pipes ("pipe": pipe, pipe2) refused with EAGAIN
 * or EMFILE, or ("wait") with SIGCHLD ignored, as a careless parent may leave it, so that
 * children are reaped at once and waiting for one fails, as system() then reports with -1.
 * A test sees what a program does when the shell or a pipe cannot be had. */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define CURRENT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define CURRENT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__arm__)
#define CURRENT_ARCH AUDIT_ARCH_ARM
#else
#error "unknown architecture"
#endif

#define DENY(nr, err)                              \
  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (nr), 0, 1), \
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (err))

static int install(const struct sock_filter* rules, unsigned short count) {
  struct sock_fprog program = {count, (struct sock_filter*)rules};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: deny-syscalls spawn|pipe|wait PROGRAM [ARG...]\n");
    return 2;
  }
  static const struct sock_filter spawn_rules[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, CURRENT_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
#ifdef __NR_fork
      DENY(__NR_fork, EAGAIN),
#endif
#ifdef __NR_vfork
      DENY(__NR_vfork, EAGAIN),
#endif
      DENY(__NR_clone, EAGAIN),
      DENY(__NR_clone3, EAGAIN),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  static const struct sock_filter pipe_rules[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, CURRENT_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
#ifdef __NR_pipe
      DENY(__NR_pipe, EMFILE),
#endif
      DENY(__NR_pipe2, EMFILE),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  int result;
  if (strcmp(argv[1], "spawn") == 0) {
    result = install(spawn_rules, sizeof spawn_rules / sizeof spawn_rules[0]);
  } else if (strcmp(argv[1], "wait") == 0) {
    result = signal(SIGCHLD, SIG_IGN) == SIG_ERR ? -1 : 0;
  } else if (strcmp(argv[1], "pipe") == 0) {
    result = install(pipe_rules, sizeof pipe_rules / sizeof pipe_rules[0]);
  } else {
    fprintf(stderr, "deny-syscalls: unknown set \"%s\"\n", argv[1]);
    return 2;
  }
  if (result != 0) {
    perror("deny-syscalls");
    return 2;
  }
  execv(argv[2], argv + 2);
  perror("deny-syscalls: exec");
  return 2;
}

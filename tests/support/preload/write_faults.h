/* The failures the error sweeps make a write-family call on /config return, for the
 * preload library (the built programs) and for the in-process sweeps alike: a disk that is
 * full or failing (ENOSPC, EDQUOT, EIO) for every call, a refusal (EPERM, EACCES) where the
 * call can give one, and a write that stores only part of what it was given. */
#ifndef WRITE_FAULTS_H
#define WRITE_FAULTS_H

#include <errno.h>
#include <string.h>

/* Not an errno: the write stores half its bytes and says so, without an error. */
#define SHORT_WRITE (-1)

/* Fills `faults` (room for 8) with the failures to try on a call of this name; the count. */
static inline int write_faults_of(const char* call, int* faults) {
  static const struct {
    const char* call;
    int more[2];
  } refusals[] = {
      {"open", {EACCES, EPERM}},   {"open64", {EACCES, EPERM}},  {"rename", {EACCES, EPERM}},
      {"unlink", {EACCES, EPERM}}, {"remove", {EACCES, EPERM}},  {"rmdir", {EACCES, EPERM}},
      {"mkdir", {EACCES, EPERM}},  {"fchown", {EPERM, 0}},       {"fchmod", {EPERM, 0}},
      {"fsetxattr", {EPERM, 0}},   {"fremovexattr", {EPERM, 0}}, {"ftruncate", {EPERM, 0}},
      {"write", {SHORT_WRITE, 0}}, {"pwrite", {SHORT_WRITE, 0}}, {"writev", {SHORT_WRITE, 0}},
  };
  int count = 0;
  faults[count++] = ENOSPC;
  faults[count++] = EDQUOT;
  faults[count++] = EIO;
  for (size_t i = 0; i < sizeof refusals / sizeof refusals[0]; ++i) {
    if (strcmp(refusals[i].call, call) != 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (refusals[i].more[k] != 0) faults[count++] = refusals[i].more[k];
    }
  }
  return count;
}

/* Whether a call needs room on the disk: a full disk fails it, and lets the others be (a
 * file opened, renamed, removed, truncated or synced needs none). `creates` tells an open
 * that makes a new file. */
static inline int needs_room(const char* call, int creates) {
  static const char* const writing[] = {"write",     "pwrite",    "writev",
                                        "fallocate", "fsetxattr", "mkdir"};
  for (size_t i = 0; i < sizeof writing / sizeof writing[0]; ++i) {
    if (strcmp(writing[i], call) == 0) return 1;
  }
  return creates && (strcmp(call, "open") == 0 || strcmp(call, "open64") == 0);
}

/* Whether a disk that stays full or failing from one call on fails this one. */
static inline int fails_on_lasting_fault(int fault, const char* call, int creates) {
  return fault == EIO || needs_room(call, creates);
}

/* The fault's name as a test prints it: "ENOSPC", "short write". */
static inline const char* write_fault_name(int fault) {
  switch (fault) {
    case ENOSPC:
      return "ENOSPC";
    case EDQUOT:
      return "EDQUOT";
    case EIO:
      return "EIO";
    case EPERM:
      return "EPERM";
    case EACCES:
      return "EACCES";
    case SHORT_WRITE:
      return "short write";
    default:
      return "?";
  }
}

#endif

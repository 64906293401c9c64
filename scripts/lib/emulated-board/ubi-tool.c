/* The emulated board's UBI helper, built static with the cross tools (busybox has no UBI
 * applets and Debian's mtd-utils for armhf are linked dynamically):
 *
 *   ubi-tool mkvol DEVICE NAME BYTES   makes a dynamic volume, as ubimkvol would
 *   ubi-tool cut VOLUME [MICROSECONDS] cuts the power now, or that long from now (armed
 *                                      first: a shell's wait would add a process's start),
 *                                      by UBI's own emulation (VOLUME: a spare one's device)
 *
 * UBI's power-cut emulation counts the headers UBI writes (an eraseblock's erase counter, a
 * volume's header when a logical eraseblock is mapped), not pages: UBIFS writes one only
 * when it takes a fresh eraseblock, a few times in a whole tuning. So a cut is made at a
 * chosen moment instead: the emulation is armed to cut at the second header write from
 * now, and eraseblocks of a spare volume (never the one UBIFS is on) are mapped until UBI
 * refuses one. From that write on UBI writes nothing, and the flash holds what UBIFS had
 * written to it before, as after a power cut at that moment. */
#include <errno.h>
#include <fcntl.h>
#include <mtd/ubi-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int knob(const char *name, const char *value) {
  char path[128];
  snprintf(path, sizeof path, "/sys/kernel/debug/ubi/ubi0/%s", name);
  int fd = open(path, O_WRONLY);
  int ok = fd >= 0 && write(fd, value, strlen(value)) == (ssize_t)strlen(value);
  if (!ok) fprintf(stderr, "ubi-tool: %s: %s\n", path, strerror(errno));
  if (fd >= 0) close(fd);
  return ok;
}

static int make_volume(const char *device, const char *name, const char *bytes) {
  struct ubi_mkvol_req request;
  memset(&request, 0, sizeof request);
  request.vol_id = UBI_VOL_NUM_AUTO;
  request.alignment = 1;
  request.bytes = strtoll(bytes, NULL, 10);
  request.vol_type = UBI_DYNAMIC_VOLUME;
  request.name_len = (short)strlen(name);
  strcpy(request.name, name);
  int fd = open(device, O_RDONLY);
  if (fd < 0 || ioctl(fd, UBI_IOCMKVOL, &request) != 0) {
    fprintf(stderr, "ubi-tool: %s: %s\n", device, strerror(errno));
    return 1;
  }
  return 0;
}

static int cut(const char *volume, long delay) {
  int fd = open(volume, O_RDWR);
  if (fd < 0) {
    fprintf(stderr, "ubi-tool: %s: %s\n", volume, strerror(errno));
    return 1;
  }
  /* Eraseblocks mapped by an earlier cut are unmapped first (their erase is a header write
   * too, which may then be the one the cut comes at: still now). */
  for (int leb = 0; leb < 8; ++leb) {
    if (ioctl(fd, UBI_IOCEBISMAP, &leb) == 1) ioctl(fd, UBI_IOCEBUNMAP, &leb);
  }
  if (!knob("tst_emulate_power_cut_min", "1") || !knob("tst_emulate_power_cut_max", "1") ||
      !knob("tst_emulate_power_cut", "3")) {
    return 1;
  }
  if (delay > 0) usleep((useconds_t)delay);
  for (int leb = 0; leb < 8; ++leb) {
    struct ubi_map_req request;
    memset(&request, 0, sizeof request);
    request.lnum = leb;
    request.dtype = 3;
    if (ioctl(fd, UBI_IOCEBMAP, &request) != 0) {
      if (errno == EROFS) return 0;
      fprintf(stderr, "ubi-tool: %s: mapping eraseblock %d: %s\n", volume, leb, strerror(errno));
      return 1;
    }
  }
  fprintf(stderr, "ubi-tool: %s: UBI wrote every header: its power-cut emulation did not cut\n",
          volume);
  return 1;
}

int main(int argc, char **argv) {
  if (argc == 5 && strcmp(argv[1], "mkvol") == 0 && strlen(argv[3]) <= UBI_MAX_VOLUME_NAME) {
    return make_volume(argv[2], argv[3], argv[4]);
  }
  if ((argc == 3 || argc == 4) && strcmp(argv[1], "cut") == 0) {
    return cut(argv[2], argc == 4 ? strtol(argv[3], NULL, 10) : 0);
  }
  fprintf(stderr, "usage: ubi-tool mkvol DEVICE NAME BYTES | ubi-tool cut VOLUME [MICROSECONDS]\n");
  return 2;
}

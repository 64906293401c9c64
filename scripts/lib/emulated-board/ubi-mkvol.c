/* Makes the board's /config volume on an attached UBI device, as ubimkvol would: busybox
 * has no UBI applets and Debian's mtd-utils for armhf are linked dynamically, so the
 * emulated board carries this instead, built static with the cross tools.
 *
 *   ubi-mkvol DEVICE NAME BYTES      e.g. ubi-mkvol /dev/ubi0 config 100000000
 */
#include <fcntl.h>
#include <mtd/ubi-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 4 || strlen(argv[2]) > UBI_MAX_VOLUME_NAME) {
    fprintf(stderr, "usage: ubi-mkvol DEVICE NAME BYTES\n");
    return 2;
  }
  struct ubi_mkvol_req request;
  memset(&request, 0, sizeof request);
  request.vol_id = UBI_VOL_NUM_AUTO;
  request.alignment = 1;
  request.bytes = strtoll(argv[3], NULL, 10);
  request.vol_type = UBI_DYNAMIC_VOLUME;
  request.name_len = (short)strlen(argv[2]);
  strcpy(request.name, argv[2]);
  int device = open(argv[1], O_RDONLY);
  if (device < 0 || ioctl(device, UBI_IOCMKVOL, &request) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}

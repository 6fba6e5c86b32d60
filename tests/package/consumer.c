/* consumer.c - a program of a library user: opens COM1 for an FX controller,
 * writes three data registers, reads them back and prints them.
 * Exits 0 when the values read are the values written. */
#include <stdio.h>
#include <veldrv.h>

int main(void) {
  unsigned short written[3] = {0x1234, 0xBEEF, 42};
  unsigned short read[3] = {0, 0, 0};
  int handle, rc, i, ok = 1;

  handle = VelOpen(0, 1);
  if (handle < 0) {
    fprintf(stderr, "consumer: VelOpen(0, 1) failed: %d\n", handle);
    return 1;
  }
  rc = VelWrW(handle, 'D', 100, 3, written);
  if (rc == VEL_OK) rc = VelRdW(handle, 'D', 100, 3, read);
  if (rc != VEL_OK) {
    fprintf(stderr, "consumer: transfer failed: %d\n", rc);
    VelClose(handle);
    return 1;
  }
  for (i = 0; i < 3; ++i) {
    printf("D%d = %u\n", 100 + i, (unsigned)read[i]);
    if (read[i] != written[i]) ok = 0;
  }
  rc = VelClose(handle);
  if (rc != VEL_OK) {
    fprintf(stderr, "consumer: VelClose failed: %d\n", rc);
    return 1;
  }
  if (!ok) fprintf(stderr, "consumer: values read differ from values written\n");
  return ok ? 0 : 1;
}

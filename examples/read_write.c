/* read_write.c - writes four data registers of a controller and reads them
 * back, handling every status the library can return.
 *
 *   read_write [DEVICE] [fx|a]
 *
 * DEVICE is a serial device (/dev/ttyUSB0, COM3 on Windows) or a serial
 * device server (tcp://192.168.0.50:4001); without it the environment
 * variable VELDRV_COM1 must name one. The program uses it as port 0 (COM1).
 * The family is fx (the default) or a.
 * Exit status: 0 when the registers read back hold what was written, 1 on a
 * failure, 2 for bad usage. */
#define _POSIX_C_SOURCE 200112L /* setenv */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <veldrv.h>

#ifdef _WIN32
#define set_variable(name, value) _putenv_s(name, value)
#else
#define set_variable(name, value) setenv(name, value, 1)
#endif

#define FIRST_REGISTER 100
#define REGISTERS 4
#define ATTEMPTS 3

/* What a status means for the user. */
static const char *describe(int status) {
  switch (status) {
  case VEL_OK:
    return "success";
  case VEL_TIMEOUT:
    return "the controller did not answer (cable, device, controller family?)";
  case VEL_NO_HANDLE:
    return "all 32 handles of the library are in use";
  case VEL_CHECKSUM:
    return "a reply arrived with a wrong checksum (line noise?)";
  case VEL_PORT:
    return "the port cannot be opened (no such device, no permission, or in use)";
  case VEL_BAD_ARGUMENT:
    return "bad argument: null buffer or count out of range";
  case VEL_WRONG_CHAR:
    return "a wrong character was received (transmission error)";
  case VEL_BAD_LETTER:
    return "the operand letter is not valid for this function";
  case VEL_BAD_HANDLE:
    return "the handle is not open";
  default:
    return "unexpected status";
  }
}

/* Time-outs and transmission errors can pass: the handle stays usable and the
 * next call starts afresh. Everything else is a mistake that a retry repeats. */
static int worth_retrying(int status) {
  return status == VEL_TIMEOUT || status == VEL_CHECKSUM || status == VEL_WRONG_CHAR;
}

typedef int (*transfer_fn)(int handle, int letter, int start, int count, void *buffer);

static int transfer(const char *name, transfer_fn fn, int handle, int start, int count, void *buffer) {
  int status = VEL_OK, attempt;
  for (attempt = 1; attempt <= ATTEMPTS; ++attempt) {
    status = fn(handle, 'D', start, count, buffer);
    if (status == VEL_OK) return VEL_OK;
    fprintf(stderr, "read_write: %s D%d, attempt %d: %d, %s\n", name, start, attempt, status,
            describe(status));
    if (!worth_retrying(status)) break;
  }
  return status;
}

int main(int argc, char **argv) {
  const char *device = argc > 1 ? argv[1] : getenv("VELDRV_COM1");
  const char *family = argc > 2 ? argv[2] : "fx";
  unsigned short written[REGISTERS], read[REGISTERS];
  int handle, status, closed, i, same = 1;

  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    printf(
        "usage: read_write [DEVICE] [fx|a]   (without DEVICE: VELDRV_COM1)\n"
        "Writes data registers D100..D103 of the controller on DEVICE and reads them back.\n");
    return 0;
  }
  if (argc > 3 || !device || !*device || (strcmp(family, "fx") != 0 && strcmp(family, "a") != 0)) {
    fprintf(stderr, "usage: read_write [DEVICE] [fx|a]   (without DEVICE: VELDRV_COM1)\n");
    return 2;
  }
  /* Port 0 is COM1: VELDRV_COM1 names its device. */
  if (set_variable("VELDRV_COM1", device) != 0) {
    perror("read_write: setting VELDRV_COM1");
    return 1;
  }

  handle = VelOpen(0, strcmp(family, "fx") == 0);
  if (handle < 0) {
    fprintf(stderr, "read_write: cannot open %s: %d, %s\n", device, handle, describe(handle));
    return 1;
  }
  printf("opened %s for an %s controller, handle %d\n", device, strcmp(family, "fx") == 0 ? "FX" : "A-series",
         handle);

  for (i = 0; i < REGISTERS; ++i) written[i] = (unsigned short)(0x1111 * (i + 1));
  status = transfer("VelWrW", VelWrW, handle, FIRST_REGISTER, REGISTERS, written);
  if (status == VEL_OK) status = transfer("VelRdW", VelRdW, handle, FIRST_REGISTER, REGISTERS, read);
  if (status == VEL_OK) {
    for (i = 0; i < REGISTERS; ++i) {
      printf("D%d = %u (0x%04X)\n", FIRST_REGISTER + i, read[i], read[i]);
      if (read[i] != written[i]) same = 0;
    }
    if (!same) fprintf(stderr, "read_write: the registers do not hold what was written\n");
  }

  /* Close after a failure too: a handle stays open until it is closed. */
  closed = VelClose(handle);
  if (closed != VEL_OK) fprintf(stderr, "read_write: VelClose: %d, %s\n", closed, describe(closed));
  return status == VEL_OK && closed == VEL_OK && same ? 0 : 1;
}

// The POSIX backend on its own: device names, termios settings, and the
// byte time-out and exclusive open on a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "library_settings.h"
#include "links/links.h"
#include "serial/device_serial_linux.h"
#include "serial/ports.h"
#include "veldrv.h"

namespace fs = std::filesystem;

namespace {

// A pseudo-terminal linked as DIR/COM1, DIR private to the test.
class PtyDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/veldrv-posix-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ClearLibrarySettings();
    setenv("VELDRV_DEVICE_DIR", dir.c_str(), 1);
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);  // kept open: no EIO on the master
    fs::create_symlink(ptsname(master), dir + "/COM1");
  }
  void TearDown() override {
    close(slave);
    close(master);
    fs::remove_all(dir);
  }
  std::string dir;
  int master = -1, slave = -1;
};

termios Built(const LineSettings &s) {
  termios t;
  memset(&t, 0xFF, sizeof t);  // every flag set: the builder must clear what it must
  EXPECT_TRUE(BuildTermios(s, &t));
  return t;
}

}  // namespace

TEST(PosixDevice, NamesFollowTheDeviceDirectory) {
  char path[256];
  unsetenv("VELDRV_DEVICE_DIR");
  ASSERT_TRUE(DevicePath("COM1", path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyS0");
  ASSERT_TRUE(DevicePath("COM16", path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyS15");
  setenv("VELDRV_DEVICE_DIR", "/tmp/plc", 1);
  ASSERT_TRUE(DevicePath("COM4", path, sizeof path));
  EXPECT_STREQ(path, "/tmp/plc/COM4");
  EXPECT_FALSE(DevicePath("LPT1", path, sizeof path));
  EXPECT_FALSE(DevicePath("COM", path, sizeof path));
  EXPECT_FALSE(DevicePath("COM4", path, 8));  // does not fit
  setenv("VELDRV_DEVICE_DIR", "", 1);         // empty is unset, not "/COM4"
  ASSERT_TRUE(DevicePath("COM4", path, sizeof path));
  EXPECT_STREQ(path, "/dev/ttyS3");
  unsetenv("VELDRV_DEVICE_DIR");
}

TEST(PosixDevice, TermiosForBothFamilies) {
  termios fx = Built(kFxFamily.line);
  EXPECT_EQ(cfgetospeed(&fx), B9600);
  EXPECT_EQ(cfgetispeed(&fx), B9600);
  EXPECT_EQ(fx.c_cflag & CSIZE, CS7);
  EXPECT_TRUE(fx.c_cflag & PARENB);
  EXPECT_FALSE(fx.c_cflag & PARODD);
  EXPECT_FALSE(fx.c_cflag & CSTOPB);
  EXPECT_FALSE(fx.c_cflag & CRTSCTS);
  EXPECT_TRUE((fx.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL));
  EXPECT_TRUE(fx.c_iflag & INPCK);
  EXPECT_FALSE(fx.c_iflag &
               (IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | IUCLC));
  EXPECT_FALSE(fx.c_cflag & CMSPAR);
  EXPECT_FALSE(fx.c_oflag & OPOST);
  EXPECT_FALSE(fx.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_EQ(fx.c_cc[VMIN], 0);
  EXPECT_EQ(fx.c_cc[VTIME], 0);

  termios a = Built(kAFamily.line);
  EXPECT_EQ(a.c_cflag & CSIZE, CS8);
  EXPECT_TRUE(a.c_cflag & PARENB);
  EXPECT_TRUE(a.c_cflag & PARODD);

  EXPECT_FALSE(a.c_cflag & CSTOPB);

  termios t{};
  EXPECT_FALSE(BuildTermios(LineSettings{19200, 8, 0}, &t));  // 9600 baud only
}

TEST_F(PtyDir, ReceiveTimesOutAfter990Ms) {
  ASSERT_EQ(LinkOpenFx(0), 0);
  PlcLink *link = LinkLookup(0);
  uint8_t byte;
  auto start = std::chrono::steady_clock::now();
  Status got;
  {
    PortGuard guard(0);
    got = ReceiveByte(*link, &byte);
  }
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(got, kStatusTimeout);
  EXPECT_GE(ms, 985);
  EXPECT_LE(ms, 1500);

  // A byte that is there is read at once.
  ASSERT_EQ(write(master, "\x06", 1), 1);
  {
    PortGuard guard(0);
    EXPECT_EQ(ReceiveByte(*link, &byte), kStatusOk);
  }
  EXPECT_EQ(byte, 0x06);
  EXPECT_EQ(LinkClose(0), 0);
}

TEST_F(PtyDir, OpensAndRefusals) {
  EXPECT_EQ(VelOpen(1, 1), VEL_PORT);   // DIR/COM2 does not exist
  EXPECT_EQ(VelOpen(16, 1), VEL_PORT);  // no COM17
  // Another process holding the device keeps it from us.
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = open((dir + "/COM1").c_str(), O_RDWR | O_NOCTTY);
    char c = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1 || read(release[0], &c, 1) != 1) _exit(1);
    _exit(0);
  }
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  EXPECT_EQ(held, 'y');
  EXPECT_EQ(VelOpen(0, 1), VEL_PORT);
  ASSERT_EQ(write(release[1], "x", 1), 1);
  int childStatus = 0;
  waitpid(child, &childStatus, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);

  int h0 = VelOpen(0, 1), h1 = VelOpen(0, 1);
  EXPECT_EQ(h0, 0);
  EXPECT_EQ(h1, 1);                    // the second handle shares the open port
  EXPECT_EQ(VelOpen(0, 0), VEL_PORT);  // but not with the other family
  EXPECT_EQ(PortEntry(0).refCount, 2);
  EXPECT_EQ(PortEntry(0).refCount, 2);
  // Handle checks and letters on a real port.
  uint8_t buf[2] = {};
  for (int h : {-1, 32, 7}) EXPECT_EQ(VelRdB(h, 'D', 0, 1, buf), VEL_BAD_HANDLE) << h;
  EXPECT_EQ(VelClose(-1), VEL_BAD_HANDLE);
  EXPECT_EQ(VelWrB(h0, 'E', 0, 1, buf), VEL_BAD_LETTER);
  EXPECT_EQ(VelRdB(h0, 'Q', 0, 1, buf), VEL_BAD_LETTER);
  // The table holds 32 handles; only the first open of a port costs time.
  std::vector<int> more;
  for (int i = 2; i < 32; i++) more.push_back(VelOpen(0, 1));
  EXPECT_EQ(more.back(), 31);
  EXPECT_EQ(VelOpen(0, 1), VEL_NO_HANDLE);
  for (int h : more) EXPECT_EQ(VelClose(h), 0);

  EXPECT_EQ(VelClose(h0), 0);
  EXPECT_TRUE(PortIsOpen(0));
  EXPECT_EQ(VelOpen(0, 1), 0);  // the lowest free handle again
  EXPECT_EQ(VelClose(0), 0);
  // While we hold it, nobody else may lock it.
  int other = open((dir + "/COM1").c_str(), O_RDWR | O_NOCTTY);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  EXPECT_EQ(VelClose(h1), 0);
  EXPECT_FALSE(PortIsOpen(0));
  EXPECT_EQ(VelOpen(0, 1), 0);  // free again
  EXPECT_EQ(VelClose(0), 0);

  // A plain file is no serial device.
  fs::remove(dir + "/COM1");
  {
    FILE *f = fopen((dir + "/COM1").c_str(), "w");
    fclose(f);
  }
  EXPECT_EQ(VelOpen(0, 1), VEL_PORT);
}

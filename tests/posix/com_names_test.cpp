// COM names to device paths: the name forms, the SENTROVA_COMDIR folder and the
// numbering of the devices present: Wine's series, then the boards' UARTs and rfcomm.
#include "win32/com_names.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "pty.h"
#include "terminal/terminal.h"

namespace {

TEST(ParseComName, TakesTheDosAndDeviceFormsInAnyCase) {
  struct Case {
    const wchar_t* name;
    int32_t number;
  } accepted[] = {
      {L"COM3:", 3},         {L"COM3", 3},        {L"com9:", 9},           {L"cOm1", 1},
      {L"\\\\.\\COM12", 12}, {L"\\\\.\\com3", 3}, {L"\\\\.\\COM255", 255}, {L"\\\\.\\Com256", 256},
  };
  for (const Case& c : accepted) {
    int32_t number = -1;
    EXPECT_TRUE(ParseComName(c.name, &number)) << c.name;
    EXPECT_EQ(number, c.number) << c.name;
  }
}

TEST(ParseComName, RefusesEverythingElse) {
  // COM10 without the device prefix is a file name on Windows, not a port.
  const wchar_t* refused[] = {
      L"",
      L"COM",
      L"COM0",
      L"COM03",
      L"COM10",
      L"COM10:",
      L"COM3::",
      L"COM3x",
      L" COM3",
      L"COM3 ",
      L"LPT1",
      L"/dev/ttyS0",
      L"\\\\.\\COM3:",
      L"\\\\?\\COM3",
      L"\\\\.\\COM257",
      L"\\\\.\\COM",
      L"\\\\.COM3",
      L"\\\\.\\COM99999999999",
  };
  for (const wchar_t* name : refused) {
    int32_t number = -1;
    EXPECT_FALSE(ParseComName(name, &number)) << name;
    EXPECT_EQ(number, -1) << name;
  }
  int32_t number = -1;
  EXPECT_FALSE(ParseComName(nullptr, &number));
}

// A fake machine under a temporary root: device nodes in dev/ (links to /dev/null,
// a character device, or "name=target" to another) and the 8250 slots' sysfs "type"
// files in sys/.
struct FakeRoot {
  std::string root;
};

// "ttyS0" links dev/ttyS0 to /dev/null; "serial/by-id/x=../../ttyACM0" makes the
// folders and links dev/serial/by-id/x to ../../ttyACM0.
bool FakeNode(const FakeRoot& fake, const std::string& node) {
  size_t equals = node.find('=');
  std::string path = fake.root + "/dev/" + node.substr(0, equals);
  for (size_t slash = path.find('/', fake.root.size() + 5); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  return symlink(equals == std::string::npos ? "/dev/null" : node.c_str() + equals + 1, path.c_str()) == 0;
}

bool MakeFakeRoot(FakeRoot* fake, std::initializer_list<const char*> nodes,
                  std::initializer_list<std::pair<const char*, int>> uartTypes) {
  char pattern[] = "/tmp/sentrova-root-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  fake->root = pattern;
  for (const char* folder : {"/dev", "/sys", "/sys/class", "/sys/class/tty"}) {
    if (mkdir((fake->root + folder).c_str(), 0755) != 0) return false;
  }
  for (const char* node : nodes) {
    std::string path = fake->root + "/dev/" + node;
    // "file:" makes a plain file: a name that is no device node.
    if (std::strncmp(node, "file:", 5) == 0) {
      path = fake->root + "/dev/" + (node + 5);
      FILE* file = std::fopen(path.c_str(), "w");
      if (file == nullptr) return false;
      std::fclose(file);
    } else if (!FakeNode(*fake, node)) {
      return false;
    }
  }
  for (const auto& [name, type] : uartTypes) {
    std::string folder = fake->root + "/sys/class/tty/" + name;
    if (mkdir(folder.c_str(), 0755) != 0) return false;
    FILE* file = std::fopen((folder + "/type").c_str(), "w");
    if (file == nullptr) return false;
    std::fprintf(file, "%d\n", type);
    std::fclose(file);
  }
  return true;
}

void RemoveFakeRoot(const FakeRoot& fake) {
  std::string command = "rm -rf '" + fake.root + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);  // NOLINT(concurrency-mt-unsafe)
}

// The device of port n under the fake root, without the root; "" for no port.
std::string WineDevice(const FakeRoot& fake, int32_t number) {
  char path[256] = "untouched";
  if (!PortDevice(fake.root.c_str(), number, path, sizeof path)) return "";
  std::string device = path;
  EXPECT_EQ(device.compare(0, fake.root.size(), fake.root), 0) << device;
  return device.substr(fake.root.size());
}

// A kernel with eight 8250 slots: UARTs on ttyS0 and ttyS1, none behind ttyS2 and
// ttyS3 (type 0), a PCI card on ttyS4. Every node is a port, as under Wine: the card
// is COM5, the empty slots COM3 and COM4. A missing node ends a series (ttyUSB1), a
// plain file is no node (ttyACM1), and a series without its zero has no port.
TEST(PortDevice, NumbersEveryNodeOfEachSeriesInTurn) {
  FakeRoot fake;
  ASSERT_TRUE(MakeFakeRoot(&fake,
                           {"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyS4", "ttyS5", "ttyS6", "ttyS7",
                            "ttyUSB0", "ttyUSB2", "ttyACM0", "file:ttyACM1", "ttyACM2"},
                           {{"ttyS0", 4}, {"ttyS1", 4}, {"ttyS2", 0}, {"ttyS3", 0}, {"ttyS4", 4},
                            {"ttyS5", 0}, {"ttyS6", 0}, {"ttyS7", 0}}));
  const char* expected[] = {"",           "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                            "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5", "/dev/ttyS6",
                            "/dev/ttyS7", "/dev/ttyUSB0", "/dev/ttyACM0", ""};
  for (int32_t n = 0; n < 12; ++n) EXPECT_EQ(WineDevice(fake, n), expected[n]) << "COM" << n;
  EXPECT_EQ(WineDevice(fake, 257), "");
  char tiny[8];
  EXPECT_FALSE(PortDevice(fake.root.c_str(), 1, tiny, sizeof tiny));  // never cut off
  RemoveFakeRoot(fake);

  ASSERT_TRUE(MakeFakeRoot(&fake, {"ttyS1", "ttyUSB1", "ttyACM0"}, {}));
  EXPECT_EQ(WineDevice(fake, 1), "/dev/ttyACM0");
  EXPECT_EQ(WineDevice(fake, 2), "");
  RemoveFakeRoot(fake);
}

// A scan holds the numbering it started with. Mid-scan the FTDI adapter on ttyUSB0
// (COM5) is unplugged and a second ACM device arrives: COM5 is absent, the ACM
// receiver keeps COM6, the newcomer waits, and the found line names COM6's device
// with its stable name. An adapter that comes back as ttyUSB0 is a new arrival too.
// The next scan numbers what is there, and takes a by-path name where there is no
// by-id one; a name with a control character in it is shown escaped.
TEST(HeldNumbering, DevicesComingAndGoingMidScan) {
  FakeRoot fake;
  ASSERT_TRUE(MakeFakeRoot(&fake,
                           {"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyUSB0=/dev/full", "ttyACM0=/dev/zero",
                            "serial/by-id/usb-Maker_Receiver_0001-if00=../../ttyACM0",
                            "serial/by-path/pci-0:1.0-usb-0:1:1.0=../../ttyACM0",
                            "serial/by-path/pci-0:1.0-usb-0:2:1.0\x1b[2J=../../ttyUSB0"},
                           {}));
  const std::string dev = fake.root + "/dev/";
  char path[256];
  struct stat device;
  HoldPortNumbering(fake.root.c_str());
  EXPECT_TRUE(PortNumberingHeld());
  ASSERT_TRUE(ComDevice(5, path, sizeof path, &device));
  EXPECT_EQ(path, dev + "ttyUSB0");

  ASSERT_EQ(unlink((dev + "ttyUSB0").c_str()), 0);
  ASSERT_TRUE(FakeNode(fake, "ttyACM1=/dev/urandom"));
  EXPECT_FALSE(ComDevice(5, path, sizeof path, &device));  // gone: "No such port"
  EXPECT_TRUE(ComDevicePath(5, path, sizeof path));
  EXPECT_EQ(path, dev + "ttyUSB0");
  ASSERT_TRUE(ComDevice(6, path, sizeof path, &device));
  EXPECT_EQ(path, dev + "ttyACM0");
  EXPECT_FALSE(ComDevicePath(7, path, sizeof path));
  std::vector<std::string> notes = ResultNotes("GPS device found at COM6: / 9600 bauds", {});
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], "COM6 is " + dev + "ttyACM0 -> /dev/zero (" + dev +
                          "serial/by-id/usb-Maker_Receiver_0001-if00)");
  ASSERT_TRUE(FakeNode(fake, "ttyUSB0=/dev/full"));
  EXPECT_FALSE(ComDevice(5, path, sizeof path, &device));
  ReleasePortNumbering();
  EXPECT_FALSE(PortNumberingHeld());

  HoldPortNumbering(fake.root.c_str());
  ASSERT_TRUE(ComDevice(5, path, sizeof path, &device));
  ASSERT_TRUE(ComDevice(7, path, sizeof path, &device));
  EXPECT_EQ(path, dev + "ttyACM1");
  notes = ResultNotes("GPS device found at COM5: / 4800 bauds", {});
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], "COM5 is " + dev + "ttyUSB0 -> /dev/full (" + dev +
                          "serial/by-path/pci-0:1.0-usb-0:2:1.0\\x1b[2J)");
  ReleasePortNumbering();
  RemoveFakeRoot(fake);
}

// A Raspberry Pi 5 with a USB adapter and a Bluetooth receiver bound: Wine's series
// first, unchanged; then the PL011s ttyAMA0, ttyAMA2 and ttyAMA10 (gaps between them;
// ttyAMA5 has no device behind it in sysfs), an SC16IS7xx on ttySC0, then rfcomm0. ttySC1
// reaches ttyS0's device under another name and /dev/serial0 is a link: neither is a
// port of its own. The found line names the Pi's alias as the stable name.
TEST(PortDevice, BoardUartsAndRfcommAfterWinesSeries) {
  FakeRoot fake;
  ASSERT_TRUE(MakeFakeRoot(&fake,
                           {"ttyS0", "ttyUSB0=/dev/full", "ttyAMA0=/dev/zero", "ttyAMA5=/dev/tty",
                            "ttyAMA10=/dev/random", "ttyAMA2=/dev/tty0", "ttySC0=/dev/urandom", "ttySC1=/dev/null",
                            "ttyAMA01=/dev/ptmx", "rfcomm0=/dev/kmsg", "file:rfcomm1", "serial0=ttyAMA0",
                            "serial1=ttyS0", "serial/by-id/usb-Maker_Adapter-if00=../../ttyUSB0",
                            "serial/by-id/amba-uart=../../ttyAMA0"},
                           {{"ttyS0", 4}}));
  // Made out of number order: the walk must sort them whatever order the folder lists.
  for (const char* name : {"ttyAMA10", "ttyAMA0", "ttyAMA5", "ttyAMA2", "ttySC0", "ttySC1", "ttyAMA01", "tty1"}) {
    std::string folder = fake.root + "/sys/class/tty/" + name;
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << name;
    if (std::strcmp(name, "ttyAMA5") != 0 && std::strcmp(name, "tty1") != 0) {
      ASSERT_EQ(symlink("../../../devices/platform/uart", (folder + "/device").c_str()), 0);
    }
  }
  const char* expected[] = {"",           "/dev/ttyS0",    "/dev/ttyUSB0", "/dev/ttyAMA0", "/dev/ttyAMA2",
                            "/dev/ttyAMA10", "/dev/ttySC0", "/dev/rfcomm0", ""};
  for (int32_t n = 0; n < 9; ++n) EXPECT_EQ(WineDevice(fake, n), expected[n]) << "COM" << n;

  const std::string dev = fake.root + "/dev/";
  HoldPortNumbering(fake.root.c_str());
  char path[256];
  struct stat device;
  ASSERT_TRUE(ComDevice(7, path, sizeof path, &device));
  EXPECT_EQ(path, dev + "rfcomm0");
  EXPECT_FALSE(ComDevice(8, path, sizeof path, &device));
  const char* found[][2] = {
      {"GPS device found at COM3: / 9600 bauds", "COM3 is @ttyAMA0 -> /dev/zero (@serial0)"},
      {"GPS device found at COM1: / 9600 bauds", "COM1 is @ttyS0 -> /dev/null (@serial1)"},
      {"GPS device found at COM2: / 4800 bauds",
       "COM2 is @ttyUSB0 -> /dev/full (@serial/by-id/usb-Maker_Adapter-if00)"},
      {"GPS device found at COM5: / 9600 bauds", "COM5 is @ttyAMA10 -> /dev/random"}};
  for (const auto& [result, line] : found) {
    std::string want = line;
    for (size_t at = want.find('@'); at != std::string::npos; at = want.find('@')) want.replace(at, 1, dev);
    std::vector<std::string> notes = ResultNotes(result, {});
    ASSERT_EQ(notes.size(), 1u) << result;
    EXPECT_EQ(notes[0], want);
  }
  ReleasePortNumbering();
  RemoveFakeRoot(fake);
}

// USB devices in sysfs after a scan that found nothing: a CH340 brltty took (bound to
// usbfs), a u-blox receiver no driver took; not adapters without a port: a CP2102 with
// its ttyUSB0, a CDC ACM modem with its tty folder, a mouse. modules.alias says which
// a serial driver would drive; brltty's udev rule is Ubuntu's.
TEST(PortlessAdapters, NamedWithWhatHoldsThem) {
  FakeRoot fake;
  ASSERT_TRUE(MakeFakeRoot(&fake, {}, {}));
  utsname system;
  ASSERT_EQ(uname(&system), 0);
  auto write = [&fake](const std::string& path, const char* text) {  // text nullptr: a folder
    std::string full = fake.root + "/" + path;
    for (size_t at = full.find('/', fake.root.size() + 1); at != std::string::npos; at = full.find('/', at + 1)) {
      mkdir(full.substr(0, at).c_str(), 0755);
    }
    FILE* file = text != nullptr ? std::fopen(full.c_str(), "w") : nullptr;
    return text == nullptr ? mkdir(full.c_str(), 0755) == 0 : file != nullptr && std::fputs(text, file) >= 0 && std::fclose(file) == 0;
  };
  const std::string usb = "sys/bus/usb/devices/";
  // Device, idVendor, idProduct, product, its interface 1.0's modalias.
  const char* devices[][5] = {
      {"1-1", "1a86", "7523", "USB Serial", "usb:v1A86p7523d0264dcFFdsc00dp00icFFisc01ip02in00"},
      {"1-2", "10c4", "ea60", "CP2102", "usb:v10C4pEA60d0100dc00dsc00dp00icFFisc00ip00in00"},
      {"1-3", "1546", "01a8", "u-blox GNSS receiver", "usb:v1546p01A8d0301dc02dsc00dp00ic02isc02ip01in00"},
      {"1-4", "1e0e", "9001", "", "usb:v1E0Ep9001d0318dcEFdsc02dp01ic02isc02ip01in00"},
      {"1-5", "046d", "c077", "USB Optical Mouse", "usb:v046DpC077d7200dc00dsc00dp00ic03isc01ip02in00"}};
  for (const auto& d : devices) {
    ASSERT_TRUE(write(usb + d[0] + "/idVendor", d[1]) && write(usb + d[0] + "/idProduct", d[2]) &&
                write(usb + d[0] + ":1.0/modalias", d[4]) && (d[3][0] == 0 || write(usb + d[0] + "/product", d[3])));
  }
  ASSERT_TRUE(write(usb + "1-3:1.1/modalias", "usb:v1546p01A8d0301dc02dsc00dp00ic0Aisc00ip00in01"));  // its data
  ASSERT_TRUE(write(usb + "1-2:1.0/ttyUSB0", nullptr) && write(usb + "1-4:1.0/tty", nullptr));
  ASSERT_EQ(symlink("../../../bus/usb/drivers/usbfs", (fake.root + "/" + usb + "1-1:1.0/driver").c_str()), 0);
  ASSERT_TRUE(write(std::string("lib/modules/") + system.release + "/modules.alias",
                    "alias usb:v1A86p7523d*dc*dsc*dp*ic*isc*ip*in* ch341\n"
                    "alias usb:v10C4pEA60d*dc*dsc*dp*ic*isc*ip*in* cp210x\n"
                    "alias usb:v*p*d*dc*dsc*dp*ic02isc02ip01in* cdc_acm\n"
                    "alias usb:v*p*d*dc*dsc*dp*ic03isc*ip*in* usbhid\n"));
  ASSERT_TRUE(write("usr/lib/udev/rules.d/85-brltty.rules", "# starts brltty\n"));

  HoldPortNumbering(fake.root.c_str());
  std::vector<std::string> notes = ResultNotes("No GPS devices found", TakeScanFindings(true));
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0], "USB adapter 1a86:7523 (USB Serial) has no port: usbfs holds it, not ch341");
  EXPECT_EQ(notes[1], "USB adapter 1546:01a8 (u-blox GNSS receiver) has no port: no driver holds it, "
                      "though cdc_acm would");
  EXPECT_EQ(notes[2], "brltty (braille displays) takes such adapters. Replug it after: sudo apt remove brltty, "
                      "or sudo ln -s /dev/null /etc/udev/rules.d/85-brltty.rules");
  EXPECT_TRUE(TakeScanFindings(false).adapters.empty());  // a receiver was found
  ReleasePortNumbering();
  RemoveFakeRoot(fake);
}

TEST(ComDevicePath, FolderNamesEveryPort) {
  setenv("SENTROVA_COMDIR", "/some/folder", 1);  // NOLINT(concurrency-mt-unsafe)
  char path[64];
  ASSERT_TRUE(ComDevicePath(7, path, sizeof path));
  EXPECT_STREQ(path, "/some/folder/com7");
  ASSERT_TRUE(ComDevicePath(255, path, sizeof path));
  EXPECT_STREQ(path, "/some/folder/com255");
  EXPECT_FALSE(ComDevicePath(0, path, sizeof path));
  EXPECT_FALSE(ComDevicePath(257, path, sizeof path));
  char tiny[8];
  EXPECT_FALSE(ComDevicePath(7, tiny, sizeof tiny));  // never a cut-off path
  unsetenv("SENTROVA_COMDIR");                        // NOLINT(concurrency-mt-unsafe)
}

// Through CreateFileW: only the ports the folder links exist, under every name form.
TEST(CreateFileW, OpensThePortsTheFolderLinks) {
  TestPty low, high;
  ASSERT_TRUE(OpenTestPty(&low));
  ASSERT_TRUE(OpenTestPty(&high));
  char folder[64];
  ASSERT_TRUE(MakeComFolder(folder, sizeof folder));
  ASSERT_TRUE(LinkComPort(folder, 3, low.path));
  ASSERT_TRUE(LinkComPort(folder, 12, high.path));

  const wchar_t* opened[] = {L"COM3:", L"com3", L"\\\\.\\COM3", L"\\\\.\\com12"};
  for (const wchar_t* name : opened) {
    HANDLE port =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << name;
    EXPECT_TRUE(CloseHandle(port)) << name;
  }
  const wchar_t* absent[] = {L"COM4:", L"COM12:", L"\\\\.\\COM13", L"COM1:", L"\\\\.\\COM3:"};
  for (const wchar_t* name : absent) {
    SetLastError(0);
    HANDLE port =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
  }
  RemoveComFolder(folder);
  CloseTestPty(&low);
  CloseTestPty(&high);
}

}  // namespace

// COM names to device paths: the name forms, the SENTROVA_COMDIR folder and
// Wine's numbering of the devices present.
#include "win32/com_names.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "pty.h"

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
// a character device) and the 8250 slots' sysfs "type" files in sys/.
struct FakeRoot {
  std::string root;
};

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
    } else if (symlink("/dev/null", path.c_str()) != 0) {
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
  if (!WinePortDevice(fake.root.c_str(), number, path, sizeof path)) return "";
  std::string device = path;
  EXPECT_EQ(device.compare(0, fake.root.size(), fake.root), 0) << device;
  return device.substr(fake.root.size());
}

// A kernel with eight 8250 slots: UARTs on ttyS0 and ttyS1, none behind ttyS2 and
// ttyS3 (type 0), a PCI card on ttyS4. Every node is a port, as under Wine: the card
// is COM5, the empty slots COM3 and COM4. A missing node ends a series (ttyUSB1), a
// plain file is no node (ttyACM1), and a series without its zero has no port.
TEST(WinePortDevice, NumbersEveryNodeOfEachSeriesInTurn) {
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
  EXPECT_FALSE(WinePortDevice(fake.root.c_str(), 1, tiny, sizeof tiny));  // never cut off
  RemoveFakeRoot(fake);

  ASSERT_TRUE(MakeFakeRoot(&fake, {"ttyS1", "ttyUSB1", "ttyACM0"}, {}));
  EXPECT_EQ(WineDevice(fake, 1), "/dev/ttyACM0");
  EXPECT_EQ(WineDevice(fake, 2), "");
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

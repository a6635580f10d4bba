// COM names to device paths: the name forms, the SENTROVA_COMDIR folder and
// Wine's numbering of the devices present.
#include "win32/com_names.h"

#include <gtest/gtest.h>
#include <windows.h>

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

std::string WineDevice(int32_t number, std::initializer_list<const char*> present) {
  char path[64] = "untouched";
  std::vector<const char*> list(present);
  if (!WinePortDevice(number, list.data(), list.size(), path, sizeof path)) return "";
  return path;
}

TEST(WinePortDevice, NumbersEachSeriesInTurnWhileConsecutive) {
  // Listed out of order; ttyS3 follows a gap and so gets no number.
  auto present = {"/dev/ttyACM1", "/dev/ttyS1", "/dev/ttyUSB0",
                  "/dev/ttyS3",   "/dev/ttyS0", "/dev/ttyACM0"};
  EXPECT_EQ(WineDevice(1, present), "/dev/ttyS0");
  EXPECT_EQ(WineDevice(2, present), "/dev/ttyS1");
  EXPECT_EQ(WineDevice(3, present), "/dev/ttyUSB0");
  EXPECT_EQ(WineDevice(4, present), "/dev/ttyACM0");
  EXPECT_EQ(WineDevice(5, present), "/dev/ttyACM1");
  EXPECT_EQ(WineDevice(6, present), "");
  EXPECT_EQ(WineDevice(0, present), "");
}

TEST(WinePortDevice, SeriesWithoutItsZeroIsSkipped) {
  EXPECT_EQ(WineDevice(1, {"/dev/ttyS1", "/dev/ttyUSB0"}), "/dev/ttyUSB0");
  EXPECT_EQ(WineDevice(1, {"/dev/ttyUSB1", "/dev/ttyACM0"}), "/dev/ttyACM0");
  EXPECT_EQ(WineDevice(1, {"/dev/ttyS10", "/dev/ttyS"}), "");
  EXPECT_EQ(WineDevice(1, {}), "");
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

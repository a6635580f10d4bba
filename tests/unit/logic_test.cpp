// The scan's pure arithmetic and naming: port names, wait periods, progress values.
#include "detect/scan_driver.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring NameOf(int32_t port) { return std::wstring(MakePortName(port).text); }

TEST(ScanLogic, PortNames) {
  EXPECT_EQ(NameOf(1), L"COM1:");
  EXPECT_EQ(NameOf(9), L"COM9:");
  // From 10 up only the device namespace knows the port.
  EXPECT_EQ(NameOf(10), L"\\\\.\\COM10");
  EXPECT_EQ(NameOf(99), L"\\\\.\\COM99");
  EXPECT_EQ(NameOf(255), L"\\\\.\\COM255");
  EXPECT_EQ(NameOf(255).size(), 10u);
  // The text is zero-terminated within the fixed buffer.
  PortName name = MakePortName(255);
  EXPECT_EQ(name.text[10], L'\0');
}

TEST(ScanLogic, WaitPeriods) {
  const uint32_t expected[kBaudRateCount] = {7, 3, 1, 1, 1, 1};
  for (int32_t i = 0; i < kBaudRateCount; ++i) {
    EXPECT_EQ(WaitPeriodSeconds(kBaudRates[i]), expected[i]) << kBaudRates[i];
  }
  EXPECT_EQ(kBaudRates[0], 4800u);
  EXPECT_EQ(kBaudRates[5], 115200u);
  for (int32_t i = 1; i < kBaudRateCount; ++i) EXPECT_LT(kBaudRates[i - 1], kBaudRates[i]);
}

TEST(ScanLogic, ProgressValues) {
  EXPECT_EQ(PortProgress(1), 0);
  EXPECT_EQ(PortProgress(2), 0);
  EXPECT_EQ(PortProgress(3), 1);
  EXPECT_EQ(PortProgress(100), 39);
  EXPECT_EQ(PortProgress(255), 99);
  for (int32_t port = kFirstPort + 1; port <= kLastPort; ++port) {
    EXPECT_GE(PortProgress(port), PortProgress(port - 1));
  }
}

}  // namespace

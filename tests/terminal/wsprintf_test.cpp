// wsprintfW against what Windows' user32 produces, character for character.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct Result {
  std::wstring text;
  int count;
};

template <typename... Args>
Result Format(const wchar_t* format, Args... args) {
  WCHAR buffer[1100];
  for (WCHAR& ch : buffer) ch = L'\x2603';  // to see what is written past the end
  int count = wsprintfW(buffer, format, args...);
  return Result{std::wstring(buffer), count};
}

TEST(Wsprintf, TheProgramsOwnMessages) {
  Result found = Format(L"GPS device found at COM%d: / %d bauds", 5, 9600);
  EXPECT_EQ(found.text, L"GPS device found at COM5: / 9600 bauds");
  EXPECT_EQ(found.count, 38);
  Result high = Format(L"GPS device found at COM%d: / %d bauds", 255, 115200);
  EXPECT_EQ(high.text, L"GPS device found at COM255: / 115200 bauds");
  Result none = Format(L"No GPS devices found");
  EXPECT_EQ(none.text, L"No GPS devices found");
  EXPECT_EQ(none.count, 20);
}

TEST(Wsprintf, Integers) {
  EXPECT_EQ(Format(L"%d|%i|%d", -42, 7, 0).text, L"-42|7|0");
  EXPECT_EQ(Format(L"%d", -2147483647 - 1).text, L"-2147483648");
  EXPECT_EQ(Format(L"%u", 4294967295u).text, L"4294967295");
  EXPECT_EQ(Format(L"%u", -1).text, L"4294967295");
  EXPECT_EQ(Format(L"%x %X", 0xBEEFu, 0xBEEFu).text, L"beef BEEF");
  EXPECT_EQ(Format(L"%#x %#X", 255u, 255u).text, L"0xff 0XFF");
  EXPECT_EQ(Format(L"%ld %lu %lx", -3, 3u, 31u).text, L"-3 3 1f");
}

TEST(Wsprintf, WidthFlagsAndPrecision) {
  EXPECT_EQ(Format(L"[%5d]", 42).text, L"[   42]");
  EXPECT_EQ(Format(L"[%-5d]", 42).text, L"[42   ]");
  EXPECT_EQ(Format(L"[%05d]", 42).text, L"[00042]");
  EXPECT_EQ(Format(L"[%05d]", -42).text, L"[-0042]");
  EXPECT_EQ(Format(L"[%-05d]", 42).text, L"[42   ]");  // '-' wins over '0'
  EXPECT_EQ(Format(L"[%08X]", 0xABCu).text, L"[00000ABC]");
  EXPECT_EQ(Format(L"[%#06x]", 0xABu).text, L"[0x00ab]");
  EXPECT_EQ(Format(L"[%.3d]", 5).text, L"[005]");
  EXPECT_EQ(Format(L"[%2d]", 12345).text, L"[12345]");  // a width never cuts
  EXPECT_EQ(Format(L"[%6s]", L"ab").text, L"[    ab]");
  EXPECT_EQ(Format(L"[%-6s]", L"ab").text, L"[ab    ]");
  EXPECT_EQ(Format(L"[%.2s]", L"abcdef").text, L"[ab]");
  EXPECT_EQ(Format(L"[%5.2s]", L"abcdef").text, L"[   ab]");
  EXPECT_EQ(Format(L"[%.0s]", L"abc").text, L"[]");
  EXPECT_EQ(Format(L"[%3c]", L'z').text, L"[  z]");
}

TEST(Wsprintf, CharactersAndStringsOfBothWidths) {
  EXPECT_EQ(Format(L"%s", L"wide \x00e9").text, L"wide \x00e9");
  EXPECT_EQ(Format(L"%ls", L"wide").text, L"wide");
  EXPECT_EQ(Format(L"%hs|%S", "narrow", "also").text, L"narrow|also");
  // Narrow strings are UTF-8 here; a bad byte becomes U+FFFD.
  EXPECT_EQ(Format(L"%hs", "caf\xc3\xa9").text, L"caf\x00e9");
  EXPECT_EQ(Format(L"%hs", "a\xff" "b").text, L"a\xfffd" L"b");
  EXPECT_EQ(Format(L"%.3hs", "caf\xc3\xa9s").text, L"caf");
  EXPECT_EQ(Format(L"%c%c", L'A', 0x263A).text, L"A\x263A");
  EXPECT_EQ(Format(L"%hc%C", 'x', 'y').text, L"xy");
  EXPECT_EQ(Format(L"%s|%hs", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)).text,
            L"(null)|(null)");
}

TEST(Wsprintf, PercentAndOddFormats) {
  EXPECT_EQ(Format(L"100%%").text, L"100%");
  EXPECT_EQ(Format(L"%%d").text, L"%d");
  EXPECT_EQ(Format(L"a%yb").text, L"ayb");  // an unknown type is copied without '%'
  Result trailing = Format(L"end%");
  EXPECT_EQ(trailing.text, L"end");
  EXPECT_EQ(trailing.count, 3);
  // No floating point in wsprintf: %f is an unknown type and takes no argument.
  EXPECT_EQ(Format(L"%f %d", 9).text, L"f 9");
}

TEST(Wsprintf, CutsAt1023CharactersAndCountsWhatItWrote) {
  std::wstring longText(2000, L'x');
  WCHAR buffer[1100];
  for (WCHAR& ch : buffer) ch = L'#';
  int count = wsprintfW(buffer, L"ab%s", longText.c_str());
  EXPECT_EQ(count, 1023);
  EXPECT_EQ(buffer[0], L'a');
  EXPECT_EQ(buffer[1022], L'x');
  EXPECT_EQ(buffer[1023], L'\0');
  EXPECT_EQ(buffer[1024], L'#');  // nothing past the limit is touched

  // Padding counts toward the limit too.
  for (WCHAR& ch : buffer) ch = L'#';
  count = wsprintfW(buffer, L"%5000d|", 1);
  EXPECT_EQ(count, 1023);
  EXPECT_EQ(buffer[1023], L'\0');
  EXPECT_EQ(buffer[1024], L'#');

  // Exactly 1023 fits whole.
  std::wstring fits(1023, L'y');
  Result whole = Format(L"%s", fits.c_str());
  EXPECT_EQ(whole.count, 1023);
  EXPECT_EQ(whole.text, fits);
}

}  // namespace

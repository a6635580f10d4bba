// The dialog's layout and the key decoder, without a terminal.
#include "terminal/terminal.h"

#include "resources/texts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

std::vector<std::string> Plain(const DialogView& view, int* focusRow) {
  int column = 0;
  std::vector<std::string> rows;
  for (const CellRow& row : ComposeDialog(view, focusRow, &column)) rows.push_back(PlainRow(row));
  return rows;
}

int Count(const std::string& text, char ch) {
  int count = 0;
  for (char c : text) count += c == ch;
  return count;
}

TEST(Layout, DialogHoldsEveryTextInAFrameOfFixedSize) {
  int focusRow = 0;
  std::vector<std::string> rows = Plain(DialogView{true, 0, false, "", ""}, &focusRow);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kDialogRows));
  std::string all;
  for (const std::string& row : rows) {
    all += row + "\n";
    // Every row is as wide as the dialog: the frame closes on the right.
    EXPECT_EQ(row.size(), static_cast<size_t>(kDialogWidth));
  }
  for (const char* text : {SENTROVA_TEXT_VERSION, SENTROVA_TEXT_RIGHTS, SENTROVA_TEXT_PUBLISHER,
                           SENTROVA_TEXT_WEB, "[ " SENTROVA_TEXT_DETECT " ]", "[ " SENTROVA_TEXT_QUIT " ]"}) {
    EXPECT_NE(all.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(rows.front()[0], '+');
  EXPECT_EQ(rows.back()[kDialogWidth - 1], '+');
  EXPECT_EQ(focusRow, kDialogRows - 1);  // a short terminal keeps the buttons

  // The order of the Windows template, top to bottom: texts, bar, buttons.
  EXPECT_LT(all.find(SENTROVA_TEXT_VERSION), all.find(SENTROVA_TEXT_RIGHTS));
  EXPECT_LT(all.find(SENTROVA_TEXT_WEB), all.find("[..."));
  EXPECT_LT(all.find("[..."), all.find("[ " SENTROVA_TEXT_DETECT));
}

TEST(Layout, BarFillsInProportionAndClamps) {
  int focusRow = 0;
  auto barRow = [&](int progress) {
    for (const std::string& row : Plain(DialogView{true, progress, false, "", ""}, &focusRow)) {
      if (row.find("[#") != std::string::npos || row.find("[.") != std::string::npos) return row;
    }
    return std::string();
  };
  std::string empty = barRow(0);
  std::string half = barRow(50);
  std::string full = barRow(100);
  int cells = Count(empty, '.');
  ASSERT_GT(cells, 20);
  EXPECT_EQ(Count(empty, '#'), 0);
  EXPECT_EQ(Count(full, '#'), cells);
  EXPECT_EQ(Count(half, '#'), cells / 2);
  EXPECT_NE(half.find(" 50%"), std::string::npos);
  EXPECT_NE(full.find("100%"), std::string::npos);
  EXPECT_EQ(barRow(250), full);
  EXPECT_EQ(barRow(-3), empty);
  EXPECT_EQ(barRow(99).find("100%"), std::string::npos);
}

TEST(Layout, MessageBoxOverTheDialog) {
  int focusRow = 0;
  std::vector<std::string> rows =
      Plain(DialogView{true, 0, true, "Completed", "GPS device found at COM255: / 115200 bauds"}, &focusRow);
  std::string all;
  for (const std::string& row : rows) all += row + "\n";
  EXPECT_NE(all.find("+- Completed -"), std::string::npos);
  EXPECT_NE(all.find("| GPS device found at COM255: / 115200 bauds |"), std::string::npos);
  EXPECT_NE(all.find("[ OK ]"), std::string::npos);
  // The box covers the credits, not the buttons; the focus moves to the box.
  EXPECT_EQ(all.find(SENTROVA_TEXT_RIGHTS), std::string::npos);
  EXPECT_NE(all.find("[ " SENTROVA_TEXT_DETECT " ]"), std::string::npos);
  EXPECT_LT(focusRow, kDialogRows - 2);
  EXPECT_NE(rows[focusRow].find("[ OK ]"), std::string::npos);

  // Text longer than a line wraps at a blank and never leaves the frame.
  std::string longText = "one two three four five six seven eight nine ten eleven twelve thirteen";
  rows = Plain(DialogView{true, 0, true, "Completed", longText}, &focusRow);
  all.clear();
  for (const std::string& row : rows) {
    EXPECT_EQ(row.size(), static_cast<size_t>(kDialogWidth));
    all += row + "\n";
  }
  EXPECT_NE(all.find("| one two three four five six seven eight"), std::string::npos);
  EXPECT_NE(all.find("| nine ten eleven twelve thirteen"), std::string::npos);

  // A message box on its own, with no dialog: no dialog frame around it.
  rows = Plain(DialogView{false, 0, true, "Caption", "x"}, &focusRow);
  EXPECT_EQ(rows.back(), std::string(kDialogWidth, ' '));
}

// The result with the lines the Linux build adds: each starts a row of its own, one
// wider than the box wrapped as any other; a box with more than its room first takes the blank row and the row above, then cuts
// with "..." and keeps its button.
TEST(Layout, ResultBoxWithNotes) {
  int focusRow = 0;
  std::string result = "GPS device found at COM5: / 4800 bauds";
  std::string text = result + "\nCOM5 is /dev/ttyACM0\nBusy: /dev/ttyUSB0 (gpsd, pid 812, reading a GPS receiver at 9600 bauds).";
  std::vector<std::string> rows = Plain(DialogView{true, 0, true, "Completed", text}, &focusRow);
  auto rowOf = [&](const std::string& part) {
    for (size_t n = 0; n < rows.size(); ++n) {
      if (rows[n].find(part) != std::string::npos) return static_cast<int>(n);
    }
    return -1;
  };
  int first = rowOf("| " + result + " ");
  ASSERT_EQ(first, 3);  // the box's border on row 2, as for a result alone
  EXPECT_EQ(rowOf("| COM5 is /dev/ttyACM0 "), first + 1);
  // Wider than the box: wrapped at a space, as any line of the box is.
  EXPECT_EQ(rowOf("| Busy: /dev/ttyUSB0 (gpsd, pid 812, reading | |"), first + 2);
  EXPECT_EQ(rowOf("| a GPS receiver at 9600 bauds).             | |"), first + 3);
  EXPECT_EQ(focusRow, first + 5);  // a blank row, then [ OK ]

  // Seven rows of text fit: the border moves up to row 1 and the blank row goes.
  std::string seven = result;
  for (int n = 2; n <= 7; ++n) seven += "\nline " + std::to_string(n);
  rows = Plain(DialogView{true, 0, true, "Completed", seven}, &focusRow);
  EXPECT_NE(rows[1].find("+- Completed -"), std::string::npos) << rows[1];
  EXPECT_EQ(rowOf("| line 7 "), 8);
  EXPECT_EQ(focusRow, 9);
  EXPECT_NE(rows[10].find("+----"), std::string::npos);
  EXPECT_NE(rows[11].find("+----"), std::string::npos);  // the dialog's frame stays

  // An eighth is cut, and the seventh says so.
  rows = Plain(DialogView{true, 0, true, "Completed", seven + "\nline 8"}, &focusRow);
  EXPECT_EQ(rowOf("line 8"), -1);
  EXPECT_EQ(rowOf("| line 7... "), 8);
  EXPECT_EQ(focusRow, 9);
  for (const std::string& row : rows) EXPECT_EQ(row.size(), static_cast<size_t>(kDialogWidth));
}

TEST(Layout, RenderMarksTheFocusAndCutsToWidth) {
  int focusRow = 0;
  int focusColumn = 0;
  std::vector<CellRow> grid = ComposeDialog(DialogView{true, 0, false, "", ""}, &focusRow, &focusColumn);
  EXPECT_EQ(focusColumn, 0);
  const CellRow& buttons = grid[kDialogRows - 2];
  std::string full = RenderRow(buttons, 0, kDialogWidth);
  EXPECT_NE(full.find("\033[7m[ " SENTROVA_TEXT_DETECT " ]\033[27m"), std::string::npos);
  EXPECT_EQ(RenderRow(buttons, 0, 4), "|  \033[7m[\033[27m");  // cut inside the button
  EXPECT_EQ(RenderRow(buttons, 5, 3), "\033[7mDet\033[27m");
  EXPECT_EQ(RenderRow(buttons, 0, 0), "");
  EXPECT_EQ(RenderRow(buttons, kDialogWidth - 1, 10), "|");

  // A box moves the view's left edge to its own.
  grid = ComposeDialog(DialogView{true, 0, true, "Completed", "No GPS devices found"}, &focusRow, &focusColumn);
  EXPECT_GT(focusColumn, 0);
  EXPECT_EQ(grid[focusRow - 2][focusColumn].ch, U'|');
  EXPECT_EQ(grid[focusRow - 3][focusColumn].ch, U'+');
}

// Keys come through a pipe here; the decoder reads the same way from a terminal.
struct Pipe {
  int read;
  int write;
};

Pipe MakePipe() {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  return Pipe{fds[0], fds[1]};
}

void Send(const Pipe& p, const std::string& bytes) {
  ASSERT_EQ(write(p.write, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(Keys, EnterCloseAndOtherKeys) {
  Pipe p = MakePipe();
  Send(p, "\r\nd");
  EXPECT_EQ(ReadKey(p.read), kKeyEnter);
  EXPECT_EQ(ReadKey(p.read), kKeyEnter);
  EXPECT_EQ(ReadKey(p.read), kKeyEnter);
  Send(p, "q\x04xD ");
  EXPECT_EQ(ReadKey(p.read), kKeyClose);
  EXPECT_EQ(ReadKey(p.read), kKeyEndOfInput);  // Ctrl-D
  EXPECT_EQ(ReadKey(p.read), kKeyOther);
  EXPECT_EQ(ReadKey(p.read), kKeyOther);  // 'D' is not 'd'
  EXPECT_EQ(ReadKey(p.read), kKeyOther);
  close(p.write);
  EXPECT_EQ(ReadKey(p.read), kKeyEndOfInput);
  EXPECT_EQ(ReadKey(p.read), kKeyEndOfInput);
  close(p.read);
}

TEST(Keys, LoneEscapeIsToldApartFromSequences) {
  Pipe p = MakePipe();
  // Arrow keys (CSI and SS3), a function key with parameters, Alt-q: none of them
  // is Escape, and none leaves a byte behind that reads as a key.
  Send(p, "\033[A\033OB\033[15;5~\033q");
  EXPECT_EQ(ReadKey(p.read), kKeyOther);
  EXPECT_EQ(ReadKey(p.read), kKeyOther);
  EXPECT_EQ(ReadKey(p.read), kKeyOther);
  EXPECT_EQ(ReadKey(p.read), kKeyOther);
  // Escape with nothing after it (the writer stays open: the decoder must not wait
  // for ever), then Enter typed later.
  Send(p, "\033");
  EXPECT_EQ(ReadKey(p.read), kKeyEscape);
  Send(p, "\n");
  EXPECT_EQ(ReadKey(p.read), kKeyEnter);
  // Escape as the last byte before the end of input.
  Send(p, "\033");
  close(p.write);
  EXPECT_EQ(ReadKey(p.read), kKeyEscape);
  EXPECT_EQ(ReadKey(p.read), kKeyEndOfInput);
  close(p.read);
}

TEST(Keys, ClosedDescriptorIsEndOfInput) {
  Pipe p = MakePipe();
  close(p.read);
  close(p.write);
  unsigned char byte = 0;
  EXPECT_EQ(ReadByte(p.read, 1000, &byte), -1);
}

TEST(Text, Utf8BothWays) {
  EXPECT_EQ(WideToUtf8(L"a\x00e9\x263A\x1F600"), "a\xc3\xa9\xe2\x98\xba\xf0\x9f\x98\x80");
  // A UTF-16 surrogate pair is joined; a lone half is replaced.
  const WCHAR pair[] = {0xD83D, 0xDE00, 0xD800, L'x', 0};
  EXPECT_EQ(WideToUtf8(pair), "\xf0\x9f\x98\x80\xef\xbf\xbdx");
  EXPECT_EQ(WideToUtf8(nullptr), "");
  const char* bad = "\xc3";  // cut short
  size_t at = 0;
  EXPECT_EQ(NextUtf8(bad, 1, &at), U'\xFFFD');
  EXPECT_EQ(at, 1u);
  const char* overlong = "\xc0\xaf";
  at = 0;
  EXPECT_EQ(NextUtf8(overlong, 2, &at), U'\xFFFD');
  // Escapes are unambiguous: a backslash followed by "x1b" is not ESC.
  EXPECT_EQ(VisibleText("a\\x1b"), "a\\\\x1b");
  EXPECT_EQ(VisibleText("a\x1b"), "a\\x1b");
  EXPECT_EQ(VisibleText("\xc2\x9b\x9b\xc3\xa9"), "\\xc2\\x9b\\x9b\xc3\xa9");
}

}  // namespace

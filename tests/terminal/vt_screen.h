// A small terminal emulator for the tests: enough of a VT100 (cursor moves, erase,
// scroll region, cursor save and restore, autowrap) to show what a person would see
// of the dialog, and to tell whether the program left a scroll region behind.
#pragma once

#include <string>
#include <vector>

struct VtScreen {
  int rows;
  int columns;
  std::vector<std::u32string> lines;
  int row;
  int column;
  bool wrapPending;
  int top;     // scroll region, 0-based and inclusive
  int bottom;
  int savedRow;
  int savedColumn;
  bool cursorVisible;
  std::string pending;  // an escape sequence or UTF-8 character not complete yet
};

void VtReset(VtScreen* screen, int rows, int columns);
// A resize keeps the text top-left and resets the region, as a simple terminal does.
void VtResize(VtScreen* screen, int rows, int columns);
void VtFeed(VtScreen* screen, const std::string& bytes);
std::string VtLine(const VtScreen& screen, int row);  // UTF-8, trailing blanks dropped
std::string VtText(const VtScreen& screen);           // all lines, each ended by '\n'

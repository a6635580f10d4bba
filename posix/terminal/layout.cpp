// The dialog as the terminal shows it: the Windows template's controls in the same
// order from top to bottom, in a frame of plain ASCII so that any terminal and any
// locale draws it:
//
//   +------------------------------------------------+
//   |                                                |
//   |                 Sentrova v1.04                 |
//   |                                                |
//   |        (rights, publisher, web address)        |
//   |                                                |
//   |  [###########..........................]  31%  |
//   |                                                |
//   |  [ Detect ]                          [ Quit ]  |
//   +------------------------------------------------+
//
// Every character takes one cell; the texts are the program's own and hold no wide
// (East Asian) characters.
#include "terminal/terminal.h"

#include "resources/texts.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kInner = kDialogWidth - 2;  // between the frame's sides
constexpr int kVersionRow = 2;
constexpr int kRightsRow = 4;
constexpr int kBarRow = 8;
constexpr int kButtonRow = 10;
constexpr int kBarLeft = 3;  // the bar's '['
constexpr int kBarCells = kDialogWidth - 13;  // leaves room for the percentage
constexpr int kBoxTop = 2;
constexpr int kBoxLastRow = kButtonRow;  // a box never covers the frame's bottom

std::u32string Decode(const std::string& text) {
  std::u32string out;
  for (size_t at = 0; at < text.size();) out.push_back(NextUtf8(text.data(), text.size(), &at));
  return out;
}

void PutText(CellRow& row, int column, const std::u32string& text, bool inverse, int limit) {
  for (size_t n = 0; n < text.size() && column + static_cast<int>(n) < limit; ++n) {
    if (column + static_cast<int>(n) < 0) continue;
    row[column + n] = Cell{text[n], inverse};
  }
}

void PutCentred(CellRow& row, const std::string& text) {
  std::u32string decoded = Decode(text);
  int length = std::min(static_cast<int>(decoded.size()), kInner);
  PutText(row, 1 + (kInner - length) / 2, decoded, false, 1 + kInner);
}

void PutBorder(CellRow& row, int left, int width, const std::u32string& title) {
  row[left] = Cell{'+', false};
  for (int n = 1; n < width - 1; ++n) row[left + n] = Cell{'-', false};
  row[left + width - 1] = Cell{'+', false};
  PutText(row, left + 2, title, false, left + width - 2);
}

void PutSides(CellRow& row, int left, int width) {
  for (int n = 1; n < width - 1; ++n) row[left + n] = Cell{' ', false};
  row[left] = Cell{'|', false};
  row[left + width - 1] = Cell{'|', false};
}

// Greedy word wrap; a word longer than a line is cut where the line ends.
std::vector<std::u32string> Wrap(const std::u32string& text, int width) {
  std::vector<std::u32string> lines;
  std::u32string line;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(U' ', at);
    if (end == std::u32string::npos) end = text.size();
    std::u32string word = text.substr(at, end - at);
    at = end + 1;
    while (static_cast<int>(word.size()) > width) {
      if (!line.empty()) lines.push_back(line), line.clear();
      lines.push_back(word.substr(0, width));
      word.erase(0, width);
    }
    if (!line.empty() && static_cast<int>(line.size() + 1 + word.size()) > width) {
      lines.push_back(line), line.clear();
    }
    if (!line.empty()) line.push_back(U' ');
    line += word;
  }
  if (!line.empty() || lines.empty()) lines.push_back(line);
  return lines;
}

// The box takes the width its text needs, up to the dialog's inner width, and grows
// downwards; each line of the text starts a new paragraph. A long text takes the
// blank row above the button, then the dialog's first inner row; what still cannot
// fit above the buttons' row is cut. Returns the row of its button, which a short
// terminal keeps in view with the text above it.
int PutBox(std::vector<CellRow>& grid, const DialogView& view, int* boxLeft) {
  std::u32string caption = Decode(view.boxCaption);
  std::u32string text = Decode(view.boxText);
  const std::u32string ok = U"[ OK ]";
  std::vector<std::u32string> paragraphs;
  for (size_t at = 0;;) {
    size_t end = text.find(U'\n', at);
    paragraphs.push_back(text.substr(at, end == std::u32string::npos ? end : end - at));
    if (end == std::u32string::npos) break;
    at = end + 1;
  }
  int longest = 0;
  for (const std::u32string& paragraph : paragraphs)
    longest = std::max(longest, static_cast<int>(paragraph.size()));
  int most = kDialogWidth - 4;
  int wanted = std::max({longest + 4, static_cast<int>(caption.size()) + 6,
                         static_cast<int>(ok.size()) + 4});
  int width = std::min(wanted, most);
  std::vector<std::u32string> lines;
  for (const std::u32string& paragraph : paragraphs) {
    std::vector<std::u32string> wrapped = Wrap(paragraph, width - 4);
    lines.insert(lines.end(), wrapped.begin(), wrapped.end());
  }
  int top = kBoxTop;
  bool blankRow = true;
  int mostLines = kBoxLastRow - top - 3;
  if (static_cast<int>(lines.size()) > mostLines) blankRow = false, ++mostLines;
  if (static_cast<int>(lines.size()) > mostLines) --top, ++mostLines;
  if (static_cast<int>(lines.size()) > mostLines) {
    // The end of a cut text shows that there was more (all of it is on stderr
    // without a terminal).
    lines.resize(mostLines);
    std::u32string& last = lines.back();
    last.resize(std::min(static_cast<int>(last.size()), width - 7));
    last += U"...";
  }

  int left = (kDialogWidth - width) / 2;
  *boxLeft = left;
  int row = top;
  PutBorder(grid[row++], left, width, U" " + caption + U" ");
  for (const std::u32string& line : lines) {
    PutSides(grid[row], left, width);
    PutText(grid[row++], left + 2, line, false, left + width - 2);
  }
  if (blankRow) PutSides(grid[row++], left, width);
  int okRow = row;
  PutSides(grid[row], left, width);
  PutText(grid[row++], left + (width - static_cast<int>(ok.size())) / 2, ok, true, left + width - 1);
  PutBorder(grid[row], left, width, U"");
  return okRow;
}

}  // namespace

std::vector<CellRow> ComposeDialog(const DialogView& view, int* focusRow, int* focusColumn) {
  std::vector<CellRow> grid(kDialogRows, CellRow(kDialogWidth, Cell{' ', false}));
  *focusRow = kDialogRows - 1;
  *focusColumn = 0;
  if (view.showDialog) {
    PutBorder(grid[0], 0, kDialogWidth, U"");
    for (int row = 1; row < kDialogRows - 1; ++row) PutSides(grid[row], 0, kDialogWidth);
    PutBorder(grid[kDialogRows - 1], 0, kDialogWidth, U"");

    PutCentred(grid[kVersionRow], SENTROVA_TEXT_VERSION);
    PutCentred(grid[kRightsRow], SENTROVA_TEXT_RIGHTS);
    PutCentred(grid[kRightsRow + 1], SENTROVA_TEXT_PUBLISHER);
    PutCentred(grid[kRightsRow + 2], SENTROVA_TEXT_WEB);

    // The bar's range is 0..100, as the control's default.
    int progress = std::clamp(view.progress, 0, 100);
    CellRow& bar = grid[kBarRow];
    int filled = progress * kBarCells / 100;
    bar[kBarLeft] = Cell{'[', false};
    for (int n = 0; n < kBarCells; ++n) bar[kBarLeft + 1 + n] = Cell{n < filled ? U'#' : U'.', false};
    bar[kBarLeft + 1 + kBarCells] = Cell{']', false};
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", progress);
    PutText(bar, kBarLeft + kBarCells + 3, Decode(percent), false, kDialogWidth - 1);

    // Detect is the default button and has the focus: it is drawn inverted.
    std::u32string detect = U"[ " + Decode(SENTROVA_TEXT_DETECT) + U" ]";
    std::u32string quit = U"[ " + Decode(SENTROVA_TEXT_QUIT) + U" ]";
    PutText(grid[kButtonRow], kBarLeft, detect, true, kDialogWidth - 1);
    PutText(grid[kButtonRow], kBarLeft + kBarCells + 7 - static_cast<int>(quit.size()), quit, false,
            kDialogWidth - 1);
  }
  if (view.showBox) *focusRow = PutBox(grid, view, focusColumn);
  return grid;
}

std::string RenderRow(const CellRow& row, int first, int width) {
  std::string out;
  bool inverse = false;
  for (int n = std::max(first, 0); n < first + width && n < static_cast<int>(row.size()); ++n) {
    if (row[n].inverse != inverse) {
      inverse = row[n].inverse;
      out += inverse ? "\033[7m" : "\033[27m";
    }
    AppendUtf8(out, row[n].ch);
  }
  if (inverse) out += "\033[27m";
  return out;
}

std::string PlainRow(const CellRow& row) {
  std::string out;
  for (const Cell& cell : row) AppendUtf8(out, cell.ch);
  return out;
}

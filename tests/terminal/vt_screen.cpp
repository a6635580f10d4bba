#include "vt_screen.h"

#include "terminal/terminal.h"

#include <algorithm>
#include <cstdlib>

namespace {

void ScrollUp(VtScreen* s) {
  s->lines.erase(s->lines.begin() + s->top);
  s->lines.insert(s->lines.begin() + s->bottom, std::u32string(s->columns, U' '));
}

void LineFeed(VtScreen* s) {
  if (s->row == s->bottom) {
    ScrollUp(s);
  } else if (s->row < s->rows - 1) {
    ++s->row;
  }
}

void Put(VtScreen* s, char32_t c) {
  if (s->wrapPending) {
    s->column = 0;
    LineFeed(s);
    s->wrapPending = false;
  }
  s->lines[s->row][s->column] = c;
  if (s->column == s->columns - 1) {
    s->wrapPending = true;
  } else {
    ++s->column;
  }
}

std::vector<int> Parameters(const std::string& body) {
  std::vector<int> values;
  std::string current;
  for (char c : body) {
    if (c == ';') {
      values.push_back(current.empty() ? 0 : std::atoi(current.c_str()));
      current.clear();
    } else if (c >= '0' && c <= '9') {
      current.push_back(c);
    }
  }
  values.push_back(current.empty() ? 0 : std::atoi(current.c_str()));
  return values;
}

void Erase(VtScreen* s, int row, int from, int to) {
  for (int c = from; c < to && c < s->columns; ++c) s->lines[row][c] = U' ';
}

void Csi(VtScreen* s, const std::string& body, char final) {
  bool privateMode = !body.empty() && body[0] == '?';
  std::vector<int> p = Parameters(privateMode ? body.substr(1) : body);
  int n = std::max(1, p[0]);
  s->wrapPending = false;
  switch (final) {
    case 'H':
    case 'f':
      s->row = std::clamp(std::max(1, p[0]) - 1, 0, s->rows - 1);
      s->column = std::clamp((p.size() > 1 ? std::max(1, p[1]) : 1) - 1, 0, s->columns - 1);
      break;
    case 'A': {
      int limit = s->row >= s->top ? s->top : 0;
      s->row = std::max(limit, s->row - n);
      break;
    }
    case 'B': {
      int limit = s->row <= s->bottom ? s->bottom : s->rows - 1;
      s->row = std::min(limit, s->row + n);
      break;
    }
    case 'C':
      s->column = std::min(s->columns - 1, s->column + n);
      break;
    case 'D':
      s->column = std::max(0, s->column - n);
      break;
    case 'J':
      if (p[0] == 0) {
        Erase(s, s->row, s->column, s->columns);
        for (int r = s->row + 1; r < s->rows; ++r) Erase(s, r, 0, s->columns);
      } else if (p[0] == 2) {
        for (int r = 0; r < s->rows; ++r) Erase(s, r, 0, s->columns);
      }
      break;
    case 'K':
      if (p[0] == 0) Erase(s, s->row, s->column, s->columns);
      if (p[0] == 1) Erase(s, s->row, 0, s->column + 1);
      if (p[0] == 2) Erase(s, s->row, 0, s->columns);
      break;
    case 'r': {
      int top = std::max(1, p[0]) - 1;
      int bottom = (p.size() > 1 && p[1] > 0 ? p[1] : s->rows) - 1;
      if (top < bottom && bottom < s->rows) {
        s->top = top;
        s->bottom = bottom;
      }
      s->row = 0;
      s->column = 0;
      break;
    }
    case 'h':
    case 'l':
      if (privateMode && p[0] == 25) s->cursorVisible = final == 'h';
      break;
    default:
      break;  // 'm' and the rest change nothing a test looks at
  }
}

}  // namespace

void VtReset(VtScreen* s, int rows, int columns) {
  s->rows = rows;
  s->columns = columns;
  s->lines.assign(rows, std::u32string(columns, U' '));
  s->row = s->column = 0;
  s->wrapPending = false;
  s->top = 0;
  s->bottom = rows - 1;
  s->savedRow = s->savedColumn = 0;
  s->cursorVisible = true;
  s->pending.clear();
}

void VtResize(VtScreen* s, int rows, int columns) {
  for (std::u32string& line : s->lines) line.resize(columns, U' ');
  s->lines.resize(rows, std::u32string(columns, U' '));
  s->rows = rows;
  s->columns = columns;
  s->row = std::min(s->row, rows - 1);
  s->column = std::min(s->column, columns - 1);
  s->top = 0;
  s->bottom = rows - 1;
  s->wrapPending = false;
}

void VtFeed(VtScreen* s, const std::string& bytes) {
  for (char byte : bytes) {
    unsigned char b = static_cast<unsigned char>(byte);
    if (!s->pending.empty()) {
      s->pending.push_back(byte);
      const std::string& q = s->pending;
      if (q[0] == '\033') {
        if (q.size() == 2 && q[1] != '[') {
          if (q[1] == '7') s->savedRow = s->row, s->savedColumn = s->column;
          if (q[1] == '8') s->row = s->savedRow, s->column = s->savedColumn, s->wrapPending = false;
          s->pending.clear();
        } else if (q.size() > 2 && b >= 0x40 && b <= 0x7E) {
          Csi(s, q.substr(2, q.size() - 3), byte);
          s->pending.clear();
        }
      } else {
        // UTF-8: the lead byte says how long the character is.
        unsigned char lead = static_cast<unsigned char>(q[0]);
        size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (q.size() == length) {
          char32_t c = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
          for (size_t n = 1; n < length; ++n) c = (c << 6) | (static_cast<unsigned char>(q[n]) & 0x3F);
          Put(s, c);
          s->pending.clear();
        }
      }
      continue;
    }
    if (b == '\033' || b >= 0xC0) {
      s->pending.push_back(byte);
    } else if (b == '\r') {
      s->column = 0;
      s->wrapPending = false;
    } else if (b == '\n') {
      LineFeed(s);
      s->wrapPending = false;
    } else if (b == '\b') {
      s->column = std::max(0, s->column - 1);
    } else if (b >= 0x20 && b != 0x7F) {
      Put(s, b);
    }
  }
}

std::string VtLine(const VtScreen& s, int row) {
  std::string out;
  for (char32_t c : s.lines[row]) AppendUtf8(out, c);
  out.erase(out.find_last_not_of(' ') + 1);
  return out;
}

std::string VtText(const VtScreen& s) {
  std::string out;
  for (int r = 0; r < s.rows; ++r) out += VtLine(s, r) + "\n";
  return out;
}

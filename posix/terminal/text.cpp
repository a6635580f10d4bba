// UTF-8 for the terminal: the dialog's wide strings go out as UTF-8, the texts and
// narrow strings come in as UTF-8.
#include "terminal/terminal.h"

#include <cstdio>

void AppendUtf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// WCHAR is 32 bits here, but text written for Windows may still hold UTF-16
// surrogate pairs; a pair is joined, a lone half becomes U+FFFD.
std::string WideToUtf8(LPCWSTR text) {
  std::string out;
  if (text == nullptr) return out;
  for (size_t n = 0; text[n] != 0; ++n) {
    char32_t c = static_cast<char32_t>(text[n]);
    if (c >= 0xD800 && c <= 0xDBFF && text[n + 1] >= 0xDC00 && text[n + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[n + 1]) - 0xDC00);
      ++n;
    }
    AppendUtf8(out, c);
  }
  return out;
}

char32_t NextUtf8(const char* text, size_t length, size_t* at) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  unsigned char lead = bytes[*at];
  int extra;
  char32_t c;
  char32_t least;
  if (lead < 0x80) {
    ++*at;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, c = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, c = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, c = lead & 0x07, least = 0x10000;
  } else {
    ++*at;
    return 0xFFFD;
  }
  if (*at + extra >= length) {
    ++*at;
    return 0xFFFD;
  }
  for (int n = 1; n <= extra; ++n) {
    unsigned char next = bytes[*at + n];
    if ((next & 0xC0) != 0x80) {
      ++*at;
      return 0xFFFD;
    }
    c = (c << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not characters.
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++*at;
    return 0xFFFD;
  }
  *at += extra + 1;
  return c;
}

std::string VisibleText(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    size_t from = at;
    char32_t c = NextUtf8(text.data(), text.size(), &at);
    // U+FFFD from the decoder is a byte that was no UTF-8, unless it was spelt out.
    bool invalid = c == 0xFFFD && at - from != 3;
    if (c == '\\') {
      // Escaped itself, so that a backslash followed by "x1b" and ESC never read the
      // same.
      out += "\\\\";
    } else if (invalid || c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      for (size_t n = from; n < at; ++n) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[n]));
        out += escape;
      }
    } else {
      out.append(text, from, at - from);
    }
  }
  return out;
}

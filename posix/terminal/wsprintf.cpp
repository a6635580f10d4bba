// wsprintfW as Windows' user32 formats: %[-][#][0][width][.precision]type with the
// types c C d i u x X s S and the size prefixes h and l, no floating point, and at
// most 1024 characters, the terminating null included.
#include "terminal/terminal.h"

#include <cstdarg>
#include <cstring>

namespace {

struct Output {
  LPWSTR buffer;
  int count;  // characters stored, the null not counted
};

// Everything past the limit is dropped: Windows cuts the result at 1023 characters
// and still ends it with a null.
void Put(Output* out, char32_t ch) {
  if (out->count < kWsprintfLimit - 1) out->buffer[out->count++] = static_cast<WCHAR>(ch);
}

void PutRepeated(Output* out, char32_t ch, int times) {
  for (int n = 0; n < times; ++n) Put(out, ch);
}

struct Field {
  bool left;      // '-'
  bool prefix;    // '#': 0x or 0X before a hexadecimal number
  bool zero;      // '0': pad numbers with zeros (ignored with '-')
  int width;
  int precision;  // -1 when none was given
};

// Pads a field of `length` characters to the width: blanks to the left, or to the
// right with '-'. Zero padding of numbers is done by the number itself.
void PadBefore(Output* out, const Field& field, int length) {
  if (!field.left && field.width > length) PutRepeated(out, ' ', field.width - length);
}
void PadAfter(Output* out, const Field& field, int length) {
  if (field.left && field.width > length) PutRepeated(out, ' ', field.width - length);
}

void PutNumber(Output* out, const Field& field, bool negative, uint32_t magnitude, unsigned base,
               bool upper) {
  char digits[16];
  int count = 0;
  const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[count++] = alphabet[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);

  // The precision is the least number of digits, as with printf.
  int precisionZeros = field.precision > count ? field.precision - count : 0;
  const char* prefix = negative ? "-" : (field.prefix && base == 16 ? (upper ? "0X" : "0x") : "");
  int prefixLength = static_cast<int>(std::strlen(prefix));
  int length = prefixLength + precisionZeros + count;
  int padZeros = 0;
  if (field.zero && !field.left && field.width > length) {
    padZeros = field.width - length;
    length = field.width;
  }
  PadBefore(out, field, length);
  for (int n = 0; n < prefixLength; ++n) Put(out, static_cast<unsigned char>(prefix[n]));
  PutRepeated(out, '0', padZeros + precisionZeros);
  while (count > 0) Put(out, static_cast<unsigned char>(digits[--count]));
  PadAfter(out, field, length);
}

// The precision, when given, is the most characters taken from the string. A null
// pointer prints as "(null)", as Windows does.
void PutWideString(Output* out, const Field& field, LPCWSTR text) {
  if (text == nullptr) text = L"(null)";
  int length = 0;
  while (text[length] != 0 && (field.precision < 0 || length < field.precision)) ++length;
  PadBefore(out, field, length);
  for (int n = 0; n < length; ++n) Put(out, static_cast<char32_t>(text[n]));
  PadAfter(out, field, length);
}

// A narrow string is taken as UTF-8, the narrow encoding of this host, as Windows
// takes it in the ANSI code page; the precision counts the characters it yields.
void PutNarrowString(Output* out, const Field& field, const char* text) {
  if (text == nullptr) text = "(null)";
  size_t bytes = std::strlen(text);
  std::u32string decoded;
  for (size_t at = 0; at < bytes && (field.precision < 0 || static_cast<int>(decoded.size()) < field.precision);) {
    decoded.push_back(NextUtf8(text, bytes, &at));
  }
  int length = static_cast<int>(decoded.size());
  PadBefore(out, field, length);
  for (char32_t ch : decoded) Put(out, ch);
  PadAfter(out, field, length);
}

void PutChar(Output* out, const Field& field, char32_t ch) {
  PadBefore(out, field, 1);
  Put(out, ch);
  PadAfter(out, field, 1);
}

// A narrow character above 0x7F is half of a UTF-8 sequence at best.
char32_t NarrowChar(int value) {
  unsigned char byte = static_cast<unsigned char>(value);
  return byte < 0x80 ? byte : 0xFFFD;
}

int FormatWide(LPWSTR buffer, LPCWSTR format, va_list args) {
  Output out = {buffer, 0};
  const WCHAR* at = format;
  while (*at != 0) {
    if (*at != L'%') {
      Put(&out, static_cast<char32_t>(*at++));
      continue;
    }
    ++at;
    Field field = {false, false, false, 0, -1};
    for (;; ++at) {
      if (*at == L'-') {
        field.left = true;
      } else if (*at == L'#') {
        field.prefix = true;
      } else if (*at == L'0') {
        field.zero = true;
      } else {
        break;
      }
    }
    // Fields wider than the whole result are as good as the whole result.
    while (*at >= L'0' && *at <= L'9') {
      if (field.width < kWsprintfLimit) field.width = field.width * 10 + (*at - L'0');
      ++at;
    }
    if (*at == L'.') {
      ++at;
      field.precision = 0;
      while (*at >= L'0' && *at <= L'9') {
        if (field.precision < kWsprintfLimit) field.precision = field.precision * 10 + (*at - L'0');
        ++at;
      }
    }
    // 'h' makes c and s narrow, 'l' wide; on numbers both are accepted and change
    // nothing, since a long is 32 bits on Windows, like an int.
    char size = 0;
    if (*at == L'h' || *at == L'l') size = static_cast<char>(*at++);

    WCHAR type = *at;
    if (type == 0) break;  // a '%' that ends the format prints nothing
    ++at;
    switch (type) {
      case L'%':
        Put(&out, '%');
        break;
      case L'd':
      case L'i': {
        int value = va_arg(args, int);
        uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
        PutNumber(&out, field, value < 0, magnitude, 10, false);
        break;
      }
      case L'u':
        PutNumber(&out, field, false, va_arg(args, unsigned int), 10, false);
        break;
      case L'x':
      case L'X':
        PutNumber(&out, field, false, va_arg(args, unsigned int), 16, type == L'X');
        break;
      case L'c': {
        int value = va_arg(args, int);
        PutChar(&out, field, size == 'h' ? NarrowChar(value) : static_cast<char32_t>(value));
        break;
      }
      case L'C': {
        int value = va_arg(args, int);
        PutChar(&out, field, size == 'l' ? static_cast<char32_t>(value) : NarrowChar(value));
        break;
      }
      case L's':
        if (size == 'h') {
          PutNarrowString(&out, field, va_arg(args, const char*));
        } else {
          PutWideString(&out, field, va_arg(args, LPCWSTR));
        }
        break;
      case L'S':
        if (size == 'l') {
          PutWideString(&out, field, va_arg(args, LPCWSTR));
        } else {
          PutNarrowString(&out, field, va_arg(args, const char*));
        }
        break;
      default:
        // An unknown type is copied as it stands, without its '%'.
        Put(&out, static_cast<char32_t>(type));
        break;
    }
  }
  buffer[out.count] = 0;
  return out.count;
}

}  // namespace

int wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  int count = FormatWide(buffer, format, args);
  va_end(args);
  return count;
}

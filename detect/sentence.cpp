#include "detect/sentence.h"

#include <cstring>
#include <new>

const char* const kSentencePrefixes[kSentencePrefixCount] = {
    "$GPAAM", "$GPALM", "$GPAPA", "$GPAPB", "$GPASD", "$GPBEC", "$GPBOD", "$GPBWC",
    "$GPBWR", "$GPBWW", "$GPDBT", "$GPDCN", "$GPDPT", "$GPFSI", "$GPGGA", "$GPGLC",
    "$GPGLL", "$GPGRS", "$GPGSA", "$GPGST", "$GPGSV", "$GPGXA", "$GPHDG", "$GPHDT",
    "$GPHSC", "$GPLCD", "$GPMSK", "$GPMSS", "$GPMTA", "$GPMTW", "$GPMWD", "$GPMWV",
    "$GPOLN", "$GPOSD", "$GPR00", "$GPRMA", "$GPRMB", "$GPRMC", "$GPROT", "$GPRPM",
    "$GPRSA", "$GPRSD", "$GPRTE", "$GPSFI", "$GPSTN", "$GPTRF", "$GPTTM", "$GPVBW",
    "$GPVDR", "$GPVHW", "$GPVLW", "$GPVPW", "$GPVTG", "$GPWCV", "$GPWNC", "$GPWPL",
    "$GPXDR", "$GPXTE", "$GPXTR", "$GPZDA", "$GPZFO", "$GPZTG",
};

int32_t FindSentenceMarker(const unsigned char* data, int32_t length) {
  if (data == nullptr) return kNoMarker;
  // The last start tried is length - 4: a marker in the very last three bytes is
  // not found, as a sentence cannot follow it anyway. Written as p + 3 < length so
  // that no length, however negative, overflows.
  for (int32_t p = 0; p + 3 < length; ++p) {
    if (data[p] == '$' && data[p + 1] == 'G' && data[p + 2] == 'P') return p;
  }
  return kNoMarker;
}

namespace {

// Offset from the "$" of the sentence's end within the window: the first carriage
// return decides, a line feed only when the window holds no carriage return.
int32_t FindSentenceEnd(const unsigned char* sentence, int32_t window) {
  const void* end = std::memchr(sentence, '\r', static_cast<size_t>(window));
  if (end == nullptr) end = std::memchr(sentence, '\n', static_cast<size_t>(window));
  if (end == nullptr) return -1;
  return static_cast<int32_t>(static_cast<const unsigned char*>(end) - sentence);
}

}  // namespace

bool RecogniseSentence(const unsigned char* data, int32_t length) {
  int32_t marker = FindSentenceMarker(data, length);
  if (marker == kNoMarker) return false;
  int32_t window = length - marker < kSentenceWindow ? length - marker : kSentenceWindow;
  int32_t size = FindSentenceEnd(data + marker, window);
  if (size < 0) return false;

  // A zero-terminated copy: a zero byte inside the sentence ends it there, and a
  // sentence shorter than a prefix matches nothing.
  char* sentence = new (std::nothrow) char[static_cast<size_t>(size) + 1];
  if (sentence == nullptr) return false;
  std::memcpy(sentence, data + marker, static_cast<size_t>(size));
  sentence[size] = '\0';
  bool recognised = false;
  for (const char* prefix : kSentencePrefixes) {
    if (std::strncmp(sentence, prefix, kSentencePrefixLength) == 0) {
      recognised = true;
      break;
    }
  }
  delete[] sentence;
  return recognised;
}

// libFuzzer target for FindSentenceMarker and RecogniseSentence.
//
// Besides crashes and sanitizer reports, every input is checked against a second,
// deliberately naive reading of the recognition rules below; a different answer
// aborts, so a wrong result is caught as surely as a crash.
//
// Input layout: byte 0 picks how the length argument is chosen, byte 1 is its
// parameter, the rest is the data. The data handed to the code under test is a
// fresh heap block of exactly `length` bytes, so that a read past the count is an
// AddressSanitizer report rather than a silent look at bytes that happen to follow.
//   byte0 % 4 == 0: length = all the data
//   byte0 % 4 == 1: length = data size - byte1 (shorter than the data, may go below 0)
//   byte0 % 4 == 2: length = kOddLengths[byte1 % count], capped at the data size
//   byte0 % 4 == 3: no data at all (nullptr), length = kOddLengths[byte1 % count]
// Seeds start with "0 " (whole data) and so stay readable text.
#include "detect/sentence.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The 62 known prefixes, written out again rather than taken from the program.
const char* const kReferencePrefixes[] = {
    "$GPAAM", "$GPALM", "$GPAPA", "$GPAPB", "$GPASD", "$GPBEC", "$GPBOD", "$GPBWC",
    "$GPBWR", "$GPBWW", "$GPDBT", "$GPDCN", "$GPDPT", "$GPFSI", "$GPGGA", "$GPGLC",
    "$GPGLL", "$GPGRS", "$GPGSA", "$GPGST", "$GPGSV", "$GPGXA", "$GPHDG", "$GPHDT",
    "$GPHSC", "$GPLCD", "$GPMSK", "$GPMSS", "$GPMTA", "$GPMTW", "$GPMWD", "$GPMWV",
    "$GPOLN", "$GPOSD", "$GPR00", "$GPRMA", "$GPRMB", "$GPRMC", "$GPROT", "$GPRPM",
    "$GPRSA", "$GPRSD", "$GPRTE", "$GPSFI", "$GPSTN", "$GPTRF", "$GPTTM", "$GPVBW",
    "$GPVDR", "$GPVHW", "$GPVLW", "$GPVPW", "$GPVTG", "$GPWCV", "$GPWNC", "$GPWPL",
    "$GPXDR", "$GPXTE", "$GPXTR", "$GPZDA", "$GPZFO", "$GPZTG",
};
constexpr int kReferencePrefixCount = sizeof kReferencePrefixes / sizeof kReferencePrefixes[0];
static_assert(kReferencePrefixCount == 62);

// Lengths around every boundary the rules have: none, the three-byte marker, the
// six-character prefix, the 100-byte window, the capture size, and the extremes of
// a signed 32-bit count.
constexpr int32_t kOddLengths[] = {
    INT32_MIN, INT32_MIN + 1, INT32_MIN + 3, -256, -100, -4, -3, -1, 0, 1, 2, 3, 4, 5,
    6, 7, 9, 10, 99, 100, 101, 102, 103, 104, 2046, 2047, 2048, INT32_MAX - 3, INT32_MAX,
};
constexpr int kOddLengthCount = sizeof kOddLengths / sizeof kOddLengths[0];

// The rules, read as plainly as possible, in 64-bit arithmetic so that no length
// can overflow here.
int64_t ReferenceMarker(const unsigned char* data, int32_t length) {
  if (data == nullptr) return -1;
  for (int64_t p = 0; p < int64_t{length} - 3; ++p) {
    if (data[p] == 0x24 && data[p + 1] == 0x47 && data[p + 2] == 0x50) return p;
  }
  return -1;
}

bool ReferenceRecognise(const unsigned char* data, int32_t length) {
  int64_t p = ReferenceMarker(data, length);
  if (p < 0) return false;
  int64_t window = int64_t{length} - p;
  if (window > 100) window = 100;
  int64_t end = -1;
  for (int64_t i = 0; i < window && end < 0; ++i) {
    if (data[p + i] == 0x0D) end = i;
  }
  for (int64_t i = 0; i < window && end < 0; ++i) {
    if (data[p + i] == 0x0A) end = i;
  }
  if (end < 0) return false;
  // The sentence is data[p .. p + end); as a C string it stops at its first zero.
  int64_t stringLength = 0;
  while (stringLength < end && data[p + stringLength] != 0) ++stringLength;
  if (stringLength < 6) return false;
  for (const char* prefix : kReferencePrefixes) {
    bool same = true;
    for (int i = 0; i < 6; ++i) {
      if (data[p + i] != static_cast<unsigned char>(prefix[i])) same = false;
    }
    if (same) return true;
  }
  return false;
}

void Mismatch(const char* what, int64_t expected, int64_t actual, int32_t length) {
  std::fprintf(stderr, "sentence_fuzz: %s: expected %lld, got %lld (length %d)\n", what,
               static_cast<long long>(expected), static_cast<long long>(actual),
               static_cast<int>(length));
  std::abort();
}

void Check(const unsigned char* data, int32_t length) {
  int64_t expectedMarker = ReferenceMarker(data, length);
  int32_t marker = FindSentenceMarker(data, length);
  if ((expectedMarker < 0 ? int64_t{kNoMarker} : expectedMarker) != marker) {
    Mismatch("FindSentenceMarker", expectedMarker, marker, length);
  }
  bool expected = ReferenceRecognise(data, length);
  bool recognised = RecogniseSentence(data, length);
  if (expected != recognised) Mismatch("RecogniseSentence", expected, recognised, length);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The program's table must be the 62 prefixes in their order; the differential
  // check below then only has to catch faults in the logic around it.
  for (int i = 0; i < kReferencePrefixCount; ++i) {
    if (std::strcmp(kSentencePrefixes[i], kReferencePrefixes[i]) != 0) {
      std::fprintf(stderr, "sentence_fuzz: prefix %d is \"%s\", expected \"%s\"\n", i,
                   kSentencePrefixes[i], kReferencePrefixes[i]);
      std::abort();
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 2) return 0;
  const unsigned char* payload = input + 2;
  size_t payloadSize = size - 2;
  if (payloadSize > static_cast<size_t>(INT32_MAX)) return 0;
  int32_t available = static_cast<int32_t>(payloadSize);

  int32_t length = available;
  bool noData = false;
  switch (input[0] % 4) {
    case 0:
      break;
    case 1:
      length = available - input[1];
      break;
    case 2:
      length = kOddLengths[input[1] % kOddLengthCount];
      if (length > available) length = available;
      break;
    default:
      length = kOddLengths[input[1] % kOddLengthCount];
      noData = true;
      break;
  }

  if (noData) {
    Check(nullptr, length);
    return 0;
  }
  // Exactly `length` bytes (none for a length of 0 or less): every byte past the
  // count lies outside the block.
  size_t blockSize = length > 0 ? static_cast<size_t>(length) : 0;
  unsigned char* block = static_cast<unsigned char*>(std::malloc(blockSize));
  if (block == nullptr) return 0;
  if (blockSize > 0) std::memcpy(block, payload, blockSize);
  Check(block, length);
  std::free(block);
  return 0;
}

// Recognition of GPS output in a capture: the first "$GP" must start a sentence
// whose first six characters are a known NMEA 0183 prefix of the GP talker.
#pragma once

#include <cstdint>

constexpr int32_t kSentenceWindow = 100;  // bytes from the "$" in which the sentence must end
constexpr int32_t kSentencePrefixCount = 62;
constexpr int32_t kSentencePrefixLength = 6;
constexpr int32_t kNoMarker = -1;

extern const char* const kSentencePrefixes[kSentencePrefixCount];

// Position of the first "$GP" that starts before the last three bytes, or kNoMarker.
int32_t FindSentenceMarker(const unsigned char* data, int32_t length);

// True when the first marker starts a sentence with a known prefix.
bool RecogniseSentence(const unsigned char* data, int32_t length);

// Recognition of GPS sentences in a capture, on made-up captures and on the starts of
// real receiver logs.
#include "detect/scan_context.h"
#include "detect/sentence.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool Recognise(const std::string& capture) {
  // A heap copy of exactly the capture's size, so that AddressSanitizer sees any read
  // past the count.
  std::vector<unsigned char> data(capture.begin(), capture.end());
  return RecogniseSentence(data.empty() ? nullptr : data.data(), static_cast<int32_t>(data.size()));
}

int32_t Find(const std::string& data) {
  return FindSentenceMarker(reinterpret_cast<const unsigned char*>(data.data()),
                            static_cast<int32_t>(data.size()));
}

TEST(Recognition, FirstMarkerDecides) {
  EXPECT_TRUE(Recognise("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"));
  EXPECT_TRUE(Recognise("junk\x01\xff$GPRMC,1\r"));
  // An unknown type first: a later RMC is never looked at.
  EXPECT_FALSE(Recognise("$GPTXT,01,01,02,u-blox*4E\r\n$GPRMC,081836,A,3751.65,S*62\r\n"));
  EXPECT_FALSE(Recognise("$GPGBS,1\r\n$GPGGA,1\r\n"));
  // Other talkers never match, whatever the type; their marker is not "$GP".
  EXPECT_FALSE(Recognise("$GNGGA,1\r\n$GLGSV,1\r\n$BDGSA,1\r\n$INRMC,1\r\n$PGRME,1\r\n"));
  EXPECT_FALSE(Recognise("!AIVDM,1,1,,A,13aEOK?P00PD2wVMdLDRhgvL289?,0*26\r\n"));
  // Lower case is another talker.
  EXPECT_FALSE(Recognise("$gpgga,1\r\n"));
  EXPECT_FALSE(Recognise(""));
  EXPECT_FALSE(RecogniseSentence(nullptr, 0));
}

TEST(Recognition, SentenceEnd) {
  std::string rmc = "$GPRMC";
  // No line end within the 100 bytes from "$": not recognised, and the later
  // marker is not tried.
  std::string longLine = rmc + std::string(94, 'x');
  EXPECT_FALSE(Recognise(longLine + "\r\n$GPGGA,1\r\n"));
  // A carriage return as the 100th byte of the window still ends it.
  EXPECT_TRUE(Recognise(rmc + std::string(93, 'x') + "\r"));
  EXPECT_FALSE(Recognise(rmc + std::string(94, 'x') + "\r"));
  // Line feed only ends the sentence too.
  EXPECT_TRUE(Recognise("$GPGLL,1\n"));
  // Marker, two letters and a carriage return: shorter than any prefix.
  EXPECT_FALSE(Recognise("$GPGG\r\n"));
  EXPECT_FALSE(Recognise("$GPRM\r\n$GPRMC,1\r\n"));
  // Exactly the six characters is enough.
  EXPECT_TRUE(Recognise("$GPZDA\r"));

  // LF 20 bytes on and CR 60 bytes on: the sentence runs to the CR, and its first
  // six characters decide as always.
  std::string lfThenCr = "$GPVTG" + std::string(14, ',') + "\n" + std::string(39, '1') + "\r";
  ASSERT_EQ(lfThenCr.find('\n'), 20u);
  ASSERT_EQ(lfThenCr.find('\r'), 60u);
  EXPECT_TRUE(Recognise(lfThenCr));
  EXPECT_FALSE(Recognise("$GPXXX" + lfThenCr.substr(6)));
  // A LF in the window and the CR beyond it: the LF ends the sentence.
  EXPECT_TRUE(Recognise("$GPVTG" + std::string(14, ',') + "\n" + std::string(99, '1') + "\r"));
  // A LF inside the first six characters: whichever ends it, no prefix matches.
  EXPECT_FALSE(Recognise("$GPG\n" + std::string(40, 'x')));
  EXPECT_FALSE(Recognise("$GPG\nA" + std::string(10, 'x') + "\r"));
}

TEST(Recognition, ZeroByteEndsTheSentence) {
  EXPECT_FALSE(Recognise(std::string("$GPG\0GA,1\r\n", 11)));
  EXPECT_TRUE(Recognise(std::string("$GPGGA\0,1\r\n", 11)));
  // A zero byte before the marker does not stop the search.
  EXPECT_TRUE(Recognise(std::string("\0\0$GPGSV,1\r\n", 12)));
}

TEST(Recognition, MarkerNearTheEnd) {
  // "$GP" in the last three bytes is not found; one byte earlier it is.
  EXPECT_EQ(Find("abc$GP"), kNoMarker);
  EXPECT_EQ(Find("ab$GPx"), 2);
  EXPECT_EQ(Find("$GP"), kNoMarker);
  EXPECT_EQ(Find("$GPx"), 0);
  EXPECT_EQ(Find(""), kNoMarker);
  EXPECT_EQ(FindSentenceMarker(nullptr, 10), kNoMarker);
  EXPECT_EQ(Find("$G$GP$GP,"), 2);
}

TEST(Recognition, BytesPastTheCountAreNeverLooked) {
  // A full capture buffer whose count stops short of a complete sentence.
  std::vector<unsigned char> buffer(kCaptureBufferSize, 'x');
  const char sentence[] = "$GPRMC,1\r\n";
  std::memcpy(buffer.data() + 1000, sentence, sizeof sentence - 1);
  EXPECT_TRUE(RecogniseSentence(buffer.data(), 1010));
  EXPECT_FALSE(RecogniseSentence(buffer.data(), 1000));
  // The marker inside the count, its line end past it.
  EXPECT_FALSE(RecogniseSentence(buffer.data(), 1008));
  EXPECT_TRUE(RecogniseSentence(buffer.data(), 1009));
  // A marker in the last three counted bytes is not found even though a whole
  // sentence follows past the count.
  EXPECT_FALSE(RecogniseSentence(buffer.data(), 1003));
  EXPECT_FALSE(RecogniseSentence(buffer.data(), 1004));  // "$GPR" and no line end
}

TEST(Recognition, PrefixTable) {
  ASSERT_EQ(kSentencePrefixCount, 62);
  EXPECT_EQ(sizeof kSentencePrefixes / sizeof kSentencePrefixes[0], 62u);
  for (int32_t i = 0; i < kSentencePrefixCount; ++i) {
    SCOPED_TRACE(kSentencePrefixes[i]);
    EXPECT_EQ(std::strlen(kSentencePrefixes[i]), 6u);
    EXPECT_EQ(std::strncmp(kSentencePrefixes[i], "$GP", 3), 0);
    if (i > 0) {
      EXPECT_LT(std::strcmp(kSentencePrefixes[i - 1], kSentencePrefixes[i]), 0);
    }
    // Every entry is recognised in a capture of its own.
    EXPECT_TRUE(Recognise(std::string(kSentencePrefixes[i]) + ",\r\n"));
  }
  EXPECT_STREQ(kSentencePrefixes[0], "$GPAAM");
  EXPECT_STREQ(kSentencePrefixes[34], "$GPR00");
  EXPECT_STREQ(kSentencePrefixes[61], "$GPZTG");
  EXPECT_TRUE(Recognise("$GPR00,A,B,C*29\r\n"));
  EXPECT_FALSE(Recognise("$GPROO,A,B,C*29\r\n"));  // letters O, not zeros
  // Types that receivers send but the table lacks.
  for (const char* type : {"TXT", "GNS", "GBS", "GRM", "DTM", "THS"}) {
    EXPECT_FALSE(Recognise(std::string("$GP") + type + ",1\r\n")) << type;
  }
}

// Columns of MANIFEST.tsv: file, source path, bytes, first talker, expected
// (yes/no), reason.
struct ManifestEntry {
  std::string file;
  bool expected;
};

std::vector<ManifestEntry> ReadManifest() {
  std::vector<ManifestEntry> entries;
  std::ifstream manifest(std::string(SENTROVA_NMEA_DIR) + "/MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);  // the header
  while (std::getline(manifest, line)) {
    std::vector<std::string> fields;
    std::stringstream row(line);
    std::string field;
    while (std::getline(row, field, '\t')) fields.push_back(field);
    if (fields.size() < 5) continue;
    entries.push_back({fields[0], fields[4] == "yes"});
  }
  return entries;
}

TEST(Recognition, RealReceiverLogs) {
  std::vector<ManifestEntry> entries = ReadManifest();
  ASSERT_EQ(entries.size(), 45u);
  int32_t yes = 0;
  for (const ManifestEntry& entry : entries) {
    SCOPED_TRACE(entry.file);
    std::ifstream log(std::string(SENTROVA_NMEA_DIR) + "/" + entry.file, std::ios::binary);
    ASSERT_TRUE(log.good());
    // A capture as the reader leaves it: at most 2047 bytes in a zero-filled buffer.
    std::vector<unsigned char> buffer(kCaptureBufferSize, 0);
    log.read(reinterpret_cast<char*>(buffer.data()), kCaptureLimit);
    int32_t count = static_cast<int32_t>(log.gcount());
    ASSERT_GT(count, 0);
    EXPECT_EQ(RecogniseSentence(buffer.data(), count), entry.expected);
    yes += entry.expected ? 1 : 0;
  }
  EXPECT_EQ(yes, 34);
}

}  // namespace

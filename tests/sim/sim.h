// sentrova-sim: GPS receivers (and things that are not) on the far side of
// pseudo-terminals, for the tests and benchmarks of the Linux build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a device puts on the line at one configured speed.
enum class LineOutput { kNothing, kText, kGarbage };

// One simulated device, as given by one --port argument.
struct DeviceBehaviour {
  int32_t port = 0;                    // COM number, 1 to 255
  uint32_t ownRate = 0;                // the rate it talks at; 0 when it has none
  LineOutput atOwnRate = LineOutput::kNothing;
  LineOutput atOtherRates = LineOutput::kNothing;
  uint32_t bytesPerOpen = 0;           // 0: no limit
  uint32_t vanishAfter = 0;            // unplugged after this many bytes of one open; 0: never
  std::vector<unsigned char> text;     // sent in a loop at the own rate
  // A device with a rate talks in bursts (burst.h): updateHz times a second the bytes
  // of one fix, burstSizes[k] for the k-th from the text's start (empty: its fixes, as
  // SplitIntoBursts finds them), one beginning phaseMs after its first open. updateHz
  // 0: it streams without a pause.
  uint32_t updateHz = 1;
  uint32_t phaseMs = 0;
  std::vector<uint32_t> burstSizes;
};

// Parses "N[-M]:MODE[:RATE[:ARG...]]" into one behaviour per port of the range.
// On failure writes the reason into *error.
bool ParsePortArgument(const char* argument, std::vector<DeviceBehaviour>* devices, std::string* error);

// The built-in sentences: five epochs of GPGGA/GPGSA/GPGSV/GPRMC/GPVTG, about 450
// bytes each, or the same epochs with the GN talker only.
std::vector<unsigned char> BuiltInText(bool gnTalker);

// The same epochs from receivers in binary mode: u-blox UBX (NAV-PVT, NAV-SOL) and
// SiRF binary (MID 41, 2 and 4).
std::vector<unsigned char> BuiltInUbx();
std::vector<unsigned char> BuiltInSirf();

// "$" + body + "*" + two-digit checksum + CR LF.
std::string MakeSentence(const std::string& body);

// The XOR of the bytes between "$" and "*".
uint8_t NmeaChecksum(const char* body, size_t length);

// Reads a log for replay, cut after its last line feed so that the loop joins whole
// sentences. Fails on an unreadable or empty file.
bool LoadReplayText(const char* path, std::vector<unsigned char>* text, std::string* error);

// Bytes per second a device sends when the port is configured to `configured`.
uint32_t PacedBytesPerSecond(const DeviceBehaviour& device, uint32_t configured);

// What the device sends at the configured rate.
LineOutput OutputAt(const DeviceBehaviour& device, uint32_t configured);

// Junk such as a UART at the wrong speed delivers: mostly high-bit bytes, never a "$",
// so it can never hold a sentence marker. `state` is the generator's state.
void FillGarbage(unsigned char* out, size_t length, uint64_t* state);

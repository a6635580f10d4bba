// A receiver's timing: once every update period it sends the bytes of one fix, one
// burst, and the line is idle until the next. What the bytes are is left to the
// payload, so any payload (NMEA text, a binary protocol) goes out in bursts alike.
#pragma once

#include "sim.h"

#include <cstdint>
#include <string>
#include <vector>

// Pieces of the looped text in bytes, one fix each, the first at *first. The text is
// cut where each epoch begins: before every sentence with the address of its first
// RMC or GGA (of any talker; else its first GLL, GNS or ZDA), or, in UBX or SiRF
// binary, before every frame of its first frame's message type; else before every
// sentence like its first. So a fix stays whole. The first piece begins at the first
// such mark, and the last runs round the loop to it: what a cut log ends and begins
// with (part of a fix, a start-up banner) goes out as one burst. Bytes with none of
// these go in kDefaultBurstBytes pieces from the start.
constexpr uint32_t kDefaultBurstBytes = 450;
std::vector<uint32_t> SplitIntoBursts(const std::vector<unsigned char>& text, size_t* first);

// The RATE field of --port: BITS[/HZ|/stream][+MS]. HZ, 1 to 20, is the update rate (1
// by default); /stream sends without a pause. MS, below the update period, is where the
// port's first open falls in the receiver's period: a burst begins MS ms after it (the
// one before may still be under way).
bool ParseRateField(const std::string& field, DeviceBehaviour* device);

// When each burst goes, over one pass through the text: burst k starts k update periods
// after the first, or as soon as the one before has ended when that one outlasts its
// period (a receiver whose fix does not fit its period sends without a pause).
struct BurstSchedule {
  std::vector<int64_t> startNs;
  std::vector<int64_t> lengthNs;  // its bytes at the own rate, ten bits each
  std::vector<size_t> offset;     // where it starts in the text, which it may run past
  std::vector<uint32_t> size;
  int64_t cycleNs = 0;  // one pass through the text
};

// Empty (no cycle) for a device that streams, has no rate or no text.
BurstSchedule MakeBurstSchedule(const DeviceBehaviour& device);

struct BurstSlot {
  int64_t index = 0;  // bursts since the first
  int64_t startNs = 0;
  int64_t lengthNs = 0;
  int64_t nextStartNs = 0;
  size_t offset = 0;
  uint32_t size = 0;
};

// The burst begun last at sinceNs, counted from the start of burst 0 (the text's first)
// on, or back: the receiver talked before anyone listened. False without a schedule.
bool BurstAt(const BurstSchedule& schedule, int64_t sinceNs, BurstSlot* slot);

// Bytes a second the line delivers while a burst lasts at the configured rate: the own
// rate's text at a tenth of it; elsewhere junk. A slower UART frames one byte per
// character time of its own while the line is busy: over the burst's length a few
// bytes a burst, about 19 at 4800 for a receiver at 115200. A faster one frames one
// at each falling edge of the slow signal, about three per character sent.
uint32_t BurstBytesPerSecond(const DeviceBehaviour& device, uint32_t configured);

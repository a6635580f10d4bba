// Pseudo-terminals standing in for serial ports, pinned as COM ports through a
// SENTROVA_COMDIR folder of links.
#pragma once

#include <cstddef>

constexpr unsigned kHangGuardSeconds = 120;  // only against a hang, never a timing

struct TestPty {
  int master;
  int slave;  // held by the test to look at the termios the port was given
  char path[64];
};

bool OpenTestPty(TestPty* pty);
void CloseTestPty(TestPty* pty);
bool WriteMaster(const TestPty* pty, const char* bytes, size_t size);

// A fresh folder set as SENTROVA_COMDIR; LinkComPort makes comN point at a path.
bool MakeComFolder(char* folder, size_t size);
bool LinkComPort(const char* folder, int number, const char* target);
void RemoveComFolder(const char* folder);

// A pty pinned as COMn of a fresh SENTROVA_COMDIR folder: the three steps above.
bool PinTestPty(TestPty* pty, int number, char* folder, size_t size);

int CountOpenDescriptors();

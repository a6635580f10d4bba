// What the Linux build holds for the length of one scan, on the dialog's thread (or
// the command line's scan): the port numbering, and what is known of the ports'
// other users. The dialog's Detect and `sentrova --scan` both run a scan inside one.
#pragma once

// Takes the numbering of the ports present now and forgets the notes of earlier scans.
// Sessions nest: one begun inside another (a scan inside the scan for scripts' own,
// taken to look its --device paths up) holds nothing of its own.
void BeginScanSession();
// Releases what the outermost BeginScanSession took. The notes stay until taken.
void EndScanSession();

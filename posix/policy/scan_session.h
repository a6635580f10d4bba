// What the Linux build holds for the length of one scan, on the dialog's thread (or
// the command line's scan): the port numbering, and what is known of the ports'
// other users. The dialog's Detect and `sentrova --scan` both run a scan inside one.
#pragma once

// Takes the numbering of the ports present now and forgets the notes of earlier scans.
void BeginScanSession();
// Releases what BeginScanSession took. The notes stay until they are taken.
void EndScanSession();

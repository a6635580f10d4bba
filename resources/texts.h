// Texts of the main dialog, shared by the resource script (windres) and by the
// terminal dialog of the Linux build. Plain narrow literals: windres reads them in
// the dialog template, and C++ code widens them where it needs UTF-16. The credit
// lines are kept short: their statics are 81, 46 and 78 dialog units wide, about
// four units to an average character of the dialog font.
#ifndef SENTROVA_RESOURCES_TEXTS_H
#define SENTROVA_RESOURCES_TEXTS_H

// The program's version, as the dialog, --version and the release files show it. The
// build reads it from here too (the project and package version). windres joins
// adjacent literals as C++ does, so the dialog's line is made from it.
#define SENTROVA_VERSION "1.04"
// The same version as the four numbers of the file's version resource: "1.04" is
// 1.4.0.0. A test checks that the two agree.
#define SENTROVA_VERSION_NUMBERS 1, 4, 0, 0
#define SENTROVA_TEXT_VERSION "Sentrova v" SENTROVA_VERSION
// Name and description of the program in the file's version resource.
#define SENTROVA_TEXT_PRODUCT "Sentrova"
#define SENTROVA_TEXT_DESCRIPTION "Sentrova GPS receiver finder"
#define SENTROVA_TEXT_RIGHTS "(C) Sentrova authors"
#define SENTROVA_TEXT_PUBLISHER "Sentrova Lab"
#define SENTROVA_TEXT_WEB "sentrova.example.org"
#define SENTROVA_TEXT_DETECT "Detect"
#define SENTROVA_TEXT_QUIT "Quit"
// The result of a scan: the dialog's box and the Linux build's `--scan` say the same.
#define SENTROVA_TEXT_COMPLETED "Completed"
#define SENTROVA_TEXT_FOUND "GPS device found at COM%d: / %d bauds"
#define SENTROVA_TEXT_NOT_FOUND "No GPS devices found"
#define SENTROVA_TEXT_NO_MEMORY "Not enough memory to scan for GPS devices"

#endif

// Texts of the main dialog, shared by the resource script (windres) and by the
// terminal dialog of the Linux build. Plain narrow literals: windres reads them in
// the dialog template, and C++ code widens them where it needs UTF-16. The credit
// lines are kept short: their statics are 81, 46 and 78 dialog units wide, about
// four units to an average character of the dialog font.
#ifndef SENTROVA_RESOURCES_TEXTS_H
#define SENTROVA_RESOURCES_TEXTS_H

// The program's version, as the dialog, --version and the release files show it.
#define SENTROVA_VERSION "1.04"
#define SENTROVA_TEXT_VERSION "Sentrova v1.04"
#define SENTROVA_TEXT_RIGHTS "(C) Sentrova authors"
#define SENTROVA_TEXT_PUBLISHER "Sentrova Lab"
#define SENTROVA_TEXT_WEB "sentrova.example.org"
#define SENTROVA_TEXT_DETECT "Detect"
#define SENTROVA_TEXT_QUIT "Quit"

#endif

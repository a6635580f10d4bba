// Resource identifiers of the program, shared by the resource script and the code.
// Plain defines only: windres reads this file too.
#ifndef SENTROVA_RESOURCES_RESOURCE_H
#define SENTROVA_RESOURCES_RESOURCE_H

#define IDI_SENTROVA 107        // application icon group (the first one is the file's icon)
#define IDI_SENTROVA_SMALL 108  // second icon group, same images
#define IDD_MAIN 129            // the main dialog
#define IDC_PROGRESS 1000       // its progress bar

#endif

// Where the updater lets the system look for the libraries it loads while it
// runs.
#pragma once

// Called first thing in the process: from then on, libraries loaded at run
// time come from the system's own folder, never from the folder the updater
// was started from or the current folder.
void restrict_library_search();

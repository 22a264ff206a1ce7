// Keeping a click into the console window from stopping the updater.
#pragma once

// When standard input is a console whose QuickEdit mode lets a click start a
// selection, which makes the console hold the updater's next write until a
// key is pressed, turns QuickEdit off for the run, and puts the console's
// mode back as it was when the process ends, whatever its exit status.
// Elsewhere, and when standard input is no console, does nothing.
void turn_quick_edit_off();

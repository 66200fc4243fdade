#pragma once
// Start-up, the main loop, the quit rule, the About box and the orderly end.

// The program. Returns 0 after an orderly end, -1 when the toolkit or the panel cannot
// be started (nothing is shown then). Main thread.
int App_Main(int argc, char **argv);

// Panel callback: the window's close request quits under the quit rule.
int Main_Panel(int panel, int event, void *callbackData, int eventData1, int eventData2);
// Menu callback of ABOUT and QUIT.
void Menu_Select(int menuBar, int menuItem, void *callbackData, int panel);

// The About box's text.
extern const char kAboutText[];

// Fills buffer with what the user must know before trusting a hearing test: that the
// audio output did not start, or which tone files could not be opened. Empty when all
// is well. Reads the bank's states, so call it once Samples_Checked says 1.
void Describe_Silent_Tones(int audioStarted, char *buffer, int bufferSize);

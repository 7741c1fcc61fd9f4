// Tray program entry. Until the start-up sequence exists the program starts and exits cleanly.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }

// For scripts/screenshot: with DRAVLIN_SCREENSHOT=path the console saves a PNG of its main
// window once the window is on screen and then closes it. DRAVLIN_SCREENSHOT_TAB selects a
// tab first; DRAVLIN_SCREENSHOT_DELAY_MS lets a workflow run before the picture is taken.
#pragma once

class CDravlins;

void ScheduleScreenshotFromEnvironment(CDravlins& window);
// With DRAVLIN_SCREENSHOT_SIZE=WxH (screen pixels) the main window is given that size once it
// is on screen, before any picture: the window of a laptop with that screen, maximised.
void ScheduleScreenshotSizeFromEnvironment(CDravlins& window);
// 0 when no screenshot was asked for or it was saved, 1 when saving failed.
int ScreenshotStatus();

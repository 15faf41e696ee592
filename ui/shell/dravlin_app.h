// The application object: prepares the process and runs the main window modally.
#pragma once

class CDravlins;

class CDravlinApp {
 public:
  // Runs the main window; returns false so that the program ends when it closes.
  bool InitInstance();

  CDravlins* m_pMainWnd = nullptr;
  // --all-pages: the channel and firmware pages as tabs too.
  bool m_allPages = false;
};

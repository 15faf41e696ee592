#include "ui/shell/dravlin_app.h"

#include "ui/shell/dravlins.h"
#include "ui/shell/screenshot.h"
#include "ui/shell/screenshot_workflow.h"

bool CDravlinApp::InitInstance() {
  // Common controls and the embedded-control hosting of the dialog platform need no start-up
  // on Qt.
  //
  // The socket layer: POSIX sockets need no start-up and have no version to check. Where a
  // socket layer has to be started (Winsock 1.1), its failure shows string
  // IDP_SOCKETS_INIT_FAILED ("Windows 套接字初始化失败。") and returns false here, before any
  // window exists.
  CDravlins dlg(nullptr, m_allPages);
  m_pMainWnd = &dlg;
  ScheduleScreenshotSizeFromEnvironment(dlg);
  ScheduleScreenshotFromEnvironment(dlg);
  ScheduleWorkflowFromEnvironment(dlg);
  dlg.DoModal();
  m_pMainWnd = nullptr;
  return false;
}

// For scripts/screenshot --workflow: with DRAVLIN_SCREENSHOT_WORKFLOW=PREFIX the console plays
// the operator's workflow on the boot-picture page by itself — search, "全选", a boot and a
// channel picture it draws, the factory shutdown picture, "刷新图片并重启" — and saves PREFIX-progress.png while rows
// upload and PREFIX-done.png once every row has finished, then closes.
// DRAVLIN_SCREENSHOT_WORKFLOW_ROWS=N waits for N listed recorders (otherwise for the list to
// stop growing). Meant for a private network namespace with simulated recorders only.
#pragma once

class CDravlins;

void ScheduleWorkflowFromEnvironment(CDravlins& window);

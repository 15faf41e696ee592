// For scripts/screenshot --workflow: with DRAVLIN_SCREENSHOT_WORKFLOW=PREFIX the console plays
// the operator's workflow on the boot-picture page by itself — search, "全选", a boot and a
// channel picture it draws, the factory shutdown picture, "刷新图片并重启" — and saves PREFIX-progress.png while rows
// upload and PREFIX-done.png once every row has finished, then closes.
// DRAVLIN_SCREENSHOT_WORKFLOW_ROWS=N waits for N listed recorders (otherwise for the list to
// stop growing). Meant for a private network namespace with simulated recorders only.
//
// With DRAVLIN_SCREENSHOT_PAGE=NAME and DRAVLIN_SCREENSHOT_PAGE_OUT=PNG (the console started with
// --all-pages) it shows page NAME at work instead and saves PNG mid-way: "boot" plays the
// workflow above on its own tab; "upgrade" searches on the firmware page, ticks every row,
// chooses an image it writes and presses "升级"; "channels" logs in to an NVR and fills its
// channels. Each page is one scene in screenshot_workflow.cpp.
#pragma once

class CDravlins;

void ScheduleWorkflowFromEnvironment(CDravlins& window);

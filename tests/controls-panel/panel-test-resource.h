// Resource ids of the controls panel tests' own resources.
#pragma once

// The owner of the panel under test, in place of the main dialog.
#define IDD_PANEL_OWNER 900

// Resource ids shared by the resource scripts and the code.
#pragma once

// The plug-in property list through which the host finds the filter.
#define IDR_PLUGIN_PROPERTIES 16000

// Failure texts shown to the user, and the caption of every error box.
#define IDS_NOT_ENOUGH_MEMORY 104
#define IDS_UNKNOWN_ERROR 105
#define IDS_FAILURE_CAPTION 106
#define IDS_COMPONENT_ERROR_CODE 108
#define IDS_COMPONENT_NOT_REGISTERED 112
#define IDS_WRONG_COMPONENT 130
#define IDS_COMPONENT_NOT_FOUND 131
#define IDS_REINSTALL_HINT 133

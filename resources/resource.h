// Resource ids shared by the resource scripts and the code.
#pragma once

// The plug-in property list through which the host finds the filter.
#define IDR_PLUGIN_PROPERTIES 16000

// Resource ids of the pipeline tests' own resources.
#pragma once

// A 4 x 2 RGB picture: the top row (200, 100, 50), the bottom row (10, 220, 130).
#define IDP_TWO_ROWS 1

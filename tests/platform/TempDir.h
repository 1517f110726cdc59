#pragma once
// The shared helpers under the name some test areas include.
#include "support/TempDir.h"

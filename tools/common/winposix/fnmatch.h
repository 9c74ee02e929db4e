// On Windows the calls of <fnmatch.h> come from tools/common/winposix.h, included before every source.
#pragma once
#include "tools/common/winposix.h"

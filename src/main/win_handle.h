// Kept only until every user includes the runtime's owners directly.
#pragma once

#include "runtime/win_handle.h"

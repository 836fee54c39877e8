// The display query: the desktop rectangle of output 0 of adapter 0 (or, failing that, adapter 1).
#pragma once

#include <dxgi.h>
#include <dxgi1_2.h>

#include "main/com_ref.h"
#include "main/placement.h"
#include "runtime/error.h"

namespace quorvel {

struct PrimaryOutput {
  DesktopRect rect;
  // Held until teardown; declared so that the output is released before the adapter.
  ComRef<IDXGIAdapter1> adapter;
  ComRef<IDXGIOutput1> output;
};

// Creates a DXGI factory and looks for the output. Errors: the system's error when dxgi.dll
// cannot be loaded, the kind mapped from the factory's result code (dxgi_result.h), or "entity not
// found" when no usable output exists.
Result<PrimaryOutput> find_primary_output();

// The search itself, on a given factory (tests pass their own).
Result<PrimaryOutput> find_output_on(IDXGIFactory1* factory);

}  // namespace quorvel

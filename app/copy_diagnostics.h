// "Copy diagnostics": the whole pane to the clipboard as Unicode text.
#pragma once

#include "setup_window_state.h"

// Says so in the status line for a few seconds; a failure adds its line to the pane.
void copy_diagnostics(setup_window_state& state);

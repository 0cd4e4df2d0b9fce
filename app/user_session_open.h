// Opening an address as the signed-in user rather than as this elevated program: the desktop's
// own shell (the Explorer process that owns the desktop) is asked to open it, so the handler
// that the user's settings choose runs with the user's rights, never with this program's.
#pragma once

// True when the desktop's shell took the request. False when it is not there or refused; then
// nothing was started, and nothing is started elevated in its place.
bool open_in_user_session(const wchar_t* address);

#pragma once
// The control's side of the hand-off to the shell (tsmb::HandOffKey): the reader of a successful
// request, written into the user's volatile key, and emptied again when its card left while it
// was written. Best effort: both trace their failures and never throw; a failed write is also
// the administrator's business (Event Log), since the card's removal will not disconnect.
#include <string>

void WriteAuthenticationReader(const std::wstring& reader);
// Only if the value still names reader: another tab's request may have written since.
void EmptyAuthenticationReader(const std::wstring& reader);

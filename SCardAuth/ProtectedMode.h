#pragma once
// Whether this process runs below medium integrity, as Internet Explorer runs the pages of a
// zone with Protected Mode on: there the control cannot write under HKCU\SOFTWARE, so the shell
// never learns the reader and pulling the card disconnects nothing.
bool IsBelowMediumIntegrity();

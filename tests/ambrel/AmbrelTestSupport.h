#pragma once
// What the shell's tests share: the session-control SDK stand-in's call log and the hand-off
// value of the control.
#include <windows.h>

#include <string>

#include "LogFile.h"
#include "Process.h"

namespace ambreltest {

const wchar_t kConfigKey[] = L"SOFTWARE\\Tessam\\Orvane";
const wchar_t kHandOffKey[] = L"SOFTWARE\\Tessam\\Orvane\\SCardAuth";

using testsupport::LogFile;

}  // namespace ambreltest

#pragma once
// The URL of the page that holds the control: the container's moniker (Internet Explorer names
// the page there), or else the location of the browser the site belongs to. Empty when neither
// gives one.
#include <windows.h>
#include <ole2.h>

#include <string>

std::wstring PageUrl(IOleClientSite* site);

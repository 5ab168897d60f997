#pragma once
// Resource identifiers of Keyvora.dll.
#define IDR_KEYVORA 101
#define IDR_KEYVORACTL 106

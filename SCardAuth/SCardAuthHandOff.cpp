#include "SCardAuthHandOff.h"

#include "EventLog.h"
#include "HandOff.h"
#include "RegistryKey.h"
#include "SecurityAttributes.h"
#include "Trace.h"
#include "Win32Error.h"

void WriteAuthenticationReader(const std::wstring& reader)
{
    static const char kName[] = "CKeyvoraCtl::SetAuthenticationReaderInVolatileRegistry";
    Trace("SCardAuth:%s: executing...", kName);
    try {
        const REGSAM view = tsmb::GetRegistryViewFlag();
        RefPtr<tsmb::RegistryKey> parent(new tsmb::RegistryKey(HKEY_CURRENT_USER, tsmb::HandOffKey::kParentKey,
                                                                KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | view));
        Trace("SCardAuth:%s: opened HKCU\\SOFTWARE\\Tessam\\Orvane key", kName);
        std::vector<std::wstring> names;
        parent->EnumerateSubkeyNames(names);
        bool found = false;
        for (const std::wstring& name : names) {
            if (name == tsmb::HandOffKey::kSubkey) {
                found = true;
                break;
            }
        }
        RefPtr<tsmb::RegistryKey> key;
        if (found) {
            Trace("SCardAuth:%s: HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key already present => open key", kName);
            key = new tsmb::RegistryKey(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey, KEY_SET_VALUE | view);
            Trace("SCardAuth:%s: opened HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key", kName);
        } else {
            Trace("SCardAuth:%s: HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key absent => create key", kName);
            RefPtr<tsmb::SecurityAttributes> attributes(new tsmb::SecurityAttributes(false));
            DWORD disposition = 0;
            key = parent->CreateSubkey(tsmb::HandOffKey::kSubkey, REG_OPTION_VOLATILE, KEY_SET_VALUE | view, attributes,
                                       disposition);
            Trace("SCardAuth:%s: created HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key", kName);
        }
        key->SetStringValue(tsmb::HandOffKey::kValue, reader);
        Trace("SCardAuth:%s: added AuthenticationReader value: \"%S\" to HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth "
              "subkey",
              kName, reader.c_str());
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: setting authentication reader name in volatile HKCU registry failed with exception: %s => "
              "ignore (best effort)",
              kName, e.what());
        // The request still succeeds, but the next removal of this card will not disconnect:
        // that is the administrator's business.
        const tsmb::Win32Error* platform = dynamic_cast<const tsmb::Win32Error*>(&e);
        tsmb::ReportOutcome(ORVANE_EVENT_HANDOFF_FAILED,
                            {reader, std::to_wstring(platform ? platform->GetErrorCode() : ERROR_INTERNAL_ERROR)});
    }
}

void EmptyAuthenticationReader(const std::wstring& reader)
{
    static const char kName[] = "CKeyvoraCtl::ClearAuthenticationReaderInVolatileRegistry";
    Trace("SCardAuth:%s: executing...", kName);
    try {
        // Only this request's own record goes: another tab's request may have written since.
        tsmb::HandOffKey key(KEY_QUERY_VALUE | KEY_SET_VALUE);
        if (key.EmptyIfItNames(reader))
            Trace("SCardAuth:%s: cleared AuthenticationReader value (it named \"%S\")", kName, reader.c_str());
        else
            Trace("SCardAuth:%s: AuthenticationReader does not name \"%S\" any more => left as it is", kName,
                  reader.c_str());
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed with exception: %s => ignore (best effort)", kName, e.what());
    }
}

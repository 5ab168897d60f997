#pragma once
// IOleControl: no mnemonics and no ambient properties of interest; event freezing is counted.
#include "ControlBase.h"

namespace ctlfw {

class OleControlImpl : public IOleControl, public virtual ControlBase {
public:
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override
    {
        if (!info)
            return E_POINTER;
        return E_NOTIMPL;
    }
    STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
    STDMETHODIMP FreezeEvents(BOOL freeze) override
    {
        m_freezeEvents += freeze ? 1 : (m_freezeEvents > 0 ? -1 : 0);
        return S_OK;
    }
};

}  // namespace ctlfw

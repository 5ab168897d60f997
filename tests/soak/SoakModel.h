#pragma once
// What the soak run expects, computed from the sequence of actions alone and from the promise:
// what a card authenticated (the desktop sessions, the browser's TLS session, the PIN) ends
// when the card leaves, or when whoever holds it could not keep the card in sight. Nothing
// shows that a card seen before a gap is the one seen after it (a restarted service, or a
// reader attached again, numbers its cards afresh), so a gap counts as the card leaving.
// No Windows here: the driver (soak.cpp) acts and tells the model what it did.
#include <map>
#include <set>
#include <string>

namespace soak {

constexpr int kControls = 2;  // two tabs of one browser process
constexpr int kNoCard = 0;

// Whose card it is: the page types that holder's PIN.
enum Holder { kAlice, kBob };
inline const wchar_t* PinOf(Holder holder) { return holder == kAlice ? L"1234" : L"5678"; }

// A card as a control's monitor sees it: which card, seen in which unbroken watch.
struct ActiveCard {
    int card = kNoCard;
    int watch = 0;
    std::wstring reader;
    bool operator==(const ActiveCard& other) const { return card == other.card && watch == other.watch; }
    bool operator!=(const ActiveCard& other) const { return !(*this == other); }
};

struct ControlModel {
    bool open = false;
    bool blind = false;     // its monitor cannot watch (a failure aimed at it)
    int watch = 0;          // a new one for a new control and at every loss of sight
    int pinCard = kNoCard;  // the card the page typed the PIN for, while that PIN must stay
    // What the page must have heard since the step began (0 or 10 at a loss of sight).
    std::set<long> mustHear;
};

class Model {
public:
    // ---- what the system is given
    std::map<std::wstring, int> readers;  // attached reader -> its card (kNoCard: empty)
    bool serviceUp = true;
    bool shellBlind = false;  // the shell's monitor cannot watch (a failure aimed at it)
    ControlModel controls[kControls];

    // ---- what must follow
    std::wstring recorded;  // the hand-off value: the reader of the last answered request
    int disconnects = 0;
    int sessionCard = kNoCard;  // the card whose certificate WinINet was given last
    bool sessionOwed = false;   // its authority ended since: the session must have ended

    int Cards() const
    {
        int cards = 0;
        for (const auto& r : readers)
            cards += r.second != kNoCard ? 1 : 0;
        return cards;
    }
    Holder HolderOf(int card) const { return m_holders.at(card); }
    bool Watches(int k) const { return controls[k].open && serviceUp && !controls[k].blind; }
    bool ShellWatches() const { return serviceUp && !shellBlind; }
    int OpenControls() const
    {
        int open = 0;
        for (const ControlModel& c : controls)
            open += c.open ? 1 : 0;
        return open;
    }

    // The card control k may use: the one card present, seen by its unbroken watch.
    ActiveCard Active(int k) const
    {
        ActiveCard active;
        if (!Watches(k) || Cards() != 1)
            return active;
        for (const auto& r : readers)
            if (r.second != kNoCard) {
                active.card = r.second;
                active.reader = r.first;
            }
        active.watch = controls[k].watch;
        return active;
    }
    // The state the page of control k hears last: 10 without the service, 9 without a reader,
    // else by the number of cards 0, 1 or 4.
    long ExpectedEvent() const
    {
        if (!serviceUp)
            return 10;
        if (readers.empty())
            return 9;
        const int cards = Cards();
        return cards == 0 ? 0 : cards == 1 ? 1 : 4;
    }
    std::wstring ExpectedPin(int k) const
    {
        return controls[k].pinCard == kNoCard ? L"" : PinOf(HolderOf(controls[k].pinCard));
    }

    // ---- what happens to cards and readers
    void Attach(const std::wstring& reader) { readers[reader] = kNoCard; }
    int Insert(const std::wstring& reader, Holder holder)
    {
        const int card = m_nextCard++;
        m_holders[card] = holder;
        readers[reader] = card;
        return card;
    }
    void Remove(const std::wstring& reader)
    {
        CardLeaves(readers.at(reader), reader);
        readers[reader] = kNoCard;
    }
    // Unplugged with its card, or empty.
    void Detach(const std::wstring& reader)
    {
        if (readers.at(reader) != kNoCard)
            CardLeaves(readers.at(reader), reader);
        readers.erase(reader);
    }

    // ---- what happens to the watchers
    void StopService()
    {
        serviceUp = false;
        ShellLosesSight();
        for (int k = 0; k < kControls; ++k)
            if (controls[k].open)
                ControlLosesSight(k, 10);
    }
    void StartService()
    {
        serviceUp = true;
        ShellSeesAgain();
    }
    // The shell's gap begins: a recorded card counts as gone at once.
    void ShellLosesSight()
    {
        if (shellBlind)
            return;
        Disconnect();
    }
    // The shell's gap ends: a value written meanwhile names a card the shell never saw stay.
    void ShellSeesAgain()
    {
        shellBlind = false;
        Disconnect();
    }
    void BlindShell()
    {
        ShellLosesSight();
        shellBlind = true;
    }
    // heard: what the page must hear (10 when the service went, 0 when a card was in).
    void ControlLosesSight(int k, long heard)
    {
        ControlModel& c = controls[k];
        ++c.watch;
        c.pinCard = kNoCard;
        if (heard >= 0)
            c.mustHear.insert(heard);
        if (sessionCard != kNoCard)
            sessionOwed = true;
    }
    void BlindControl(int k)
    {
        ControlLosesSight(k, Cards() > 0 ? 0 : -1);
        controls[k].blind = true;
    }
    void ControlSeesAgain(int k) { controls[k].blind = false; }

    // ---- the pages
    void OpenControl(int k)
    {
        ControlModel& c = controls[k];
        c = ControlModel();
        c.open = true;
        c.watch = ++m_lastWatch;
    }
    // Once no monitor of the process runs, nothing watches the session's card.
    void CloseControl(int k)
    {
        controls[k].open = false;
        if (OpenControls() == 0 && sessionCard != kNoCard)
            sessionOwed = true;
    }
    void TypePin(int k) { controls[k].pinCard = Active(k).card; }
    // WinINet was given the certificate of that card.
    void CertificateGiven(int card)
    {
        sessionCard = card;
        sessionOwed = false;
    }
    // A request answered and its card still the active one: the control records its reader.
    void Answered(const std::wstring& reader) { recorded = reader; }

    void StepBegins()
    {
        for (ControlModel& c : controls)
            c.mustHear.clear();
    }

private:
    void CardLeaves(int card, const std::wstring& reader)
    {
        if (ShellWatches() && reader == recorded)
            Disconnect();
        for (ControlModel& c : controls)
            if (c.pinCard == card)
                c.pinCard = kNoCard;
        if (card == sessionCard)
            sessionOwed = true;
    }
    void Disconnect()
    {
        if (recorded.empty())
            return;
        ++disconnects;
        recorded.clear();
    }

    std::map<int, Holder> m_holders;
    int m_nextCard = 1;
    int m_lastWatch = 0;
};

}  // namespace soak

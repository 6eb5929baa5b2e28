#include <veltor/CChannel.h>
#include <veltor/CCommand.h>
#include <veltor/CLogic.h>
#include <veltor/CVeltor.h>
#include <veltor/SGeneral.h>
#include <veltor/SimpleModes.h>

#include <chrono>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "device/BurstGenerator.h"
#include "device/CVeltorImpl.h"
#include "device/ClockSnapshot.h"
#include "device/ClockSources.h"
#include "device/DefaultMode.h"
#include "device/Reconnector.h"
#include "device/ReportDispatch.h"
#include "device/ReportGatherer.h"
#include "device/Request.h"

namespace {

const int kChannels = 8;
const int kBurstFailed = -7;

}  // namespace

namespace veltor {

ChannelHost* HostOf(CVeltor* device) {
    return device != nullptr ? &CVeltor::Impl::Of(*device) : nullptr;
}

}  // namespace veltor

CVeltor::CVeltor() : m_pImpl(new Impl(*this)) {
    Impl& d = *m_pImpl;
    d.m_pClocks = new veltor::ClockSnapshot;
    d.m_pGatherer = new veltor::ReportGatherer;
    d.m_pReconnect = new veltor::Reconnector(*this);
    // The logic holder comes first: every channel's logic compiler is given
    // its global symbol table.
    d.m_pLogic = new CLogic;
    d.m_pChannels = new CChannel*[kChannels];
    for (int i = 0; i < kChannels; ++i) {
        d.m_pChannels[i] = new CChannel(this, static_cast<char>('A' + i));
    }
    veltor::AdoptDeviceDefault();
    d.m_pGeneral = new SGeneral;
}

CVeltor::~CVeltor() {
    // The watcher may run HandleUnsolicited, which reaches the channels and
    // the general properties, until the connection is closed.
    CloseConnection();
    Impl& d = *m_pImpl;
    // Closed, the line is opened no more; the reconnecting thread's call in
    // progress ends, unless this runs on that thread.
    d.m_pReconnect->Stop();
    // No report comes after the connection is closed; the listener's last
    // call may still need the channels and the general properties, and may
    // close the connection, which reaches the stopped reconnector: it goes
    // only once that call has returned.
    delete d.m_pDispatch.exchange(nullptr);
    delete d.m_pReconnect;
    d.m_pReconnect = nullptr;
    if (d.m_pChannels != nullptr) {
        for (int i = 0; i < kChannels; ++i) {
            delete d.m_pChannels[i];
        }
        delete[] d.m_pChannels;
        d.m_pChannels = nullptr;
    }
    delete d.m_pGeneral;
    d.m_pGeneral = nullptr;
    delete d.m_pLogic;
    d.m_pLogic = nullptr;
    delete d.m_pGatherer;
    d.m_pGatherer = nullptr;
    delete d.m_pClocks;
    d.m_pClocks = nullptr;
    veltor::ReleaseDeviceDefault();
    // The base's destructor reaches no member of this class.
    delete m_pImpl;
    m_pImpl = nullptr;
}

int CVeltor::InitConnection(int port, int baudIndex) {
    return m_pImpl->OpenAndSendBurst(nullptr, port, baudIndex);
}

int CVeltor::InitConnection(const char* device, int baudIndex) {
    return m_pImpl->OpenAndSendBurst(device, 0, baudIndex);
}

int CVeltor::Impl::OpenAndSendBurst(const char* device, int port, int baudIndex) {
    m_Self.CloseConnection();
    // No other thread's command between opening and the burst.
    CommandScope scope(m_Self);
    // An update sent on an earlier connection is not this one's to resend.
    if (!m_bReopening) {
        m_bUpdated = false;
    }
    const int opened = device != nullptr || port == 0
                           ? m_Self.CSerDev::InitConnection(device, baudIndex)
                           : m_Self.CSerDev::InitConnection(port, baudIndex);
    if (opened != 0) {
        return opened;
    }
    // The port a lost line is opened again by: the one the host named.
    if (!m_bReopening) {
        m_pReconnect->Arm(device != nullptr ? device : "", port, baudIndex);
    }
    if (!SendBurst()) {
        // The burst readies the instrument to take requests: a line that
        // cannot carry it is no working connection.
        m_Self.PrefixLastError(
            (device != nullptr ? std::string(device) : "port " + std::to_string(port)) + ": ");
        m_Self.CloseConnection();
        return kBurstFailed;
    }
    return 0;
}

int CVeltor::CloseConnection() {
    // The reconnecting thread closes what is left of the lost line before
    // it opens it again; any other close ends the tries first.
    const bool reopening = HoldsLock() && m_pImpl->m_bReopening;
    if (!reopening && m_pImpl->m_pReconnect != nullptr) {
        m_pImpl->m_pReconnect->Disarm();
    }
    return CSerDev::CloseConnection();
}

void CVeltor::HandleLineLost() {
    // Gone once the device is being destroyed: nothing is opened again then.
    if (m_pImpl->m_pReconnect != nullptr) {
        m_pImpl->m_pReconnect->Wake();
    }
}

void CVeltor::SetReconnect(const ReconnectPolicy& policy) {
    m_pImpl->m_pReconnect->SetPolicy(policy);
}

void CVeltor::SetReconnectListener(ReconnectListener listener) {
    m_pImpl->m_pReconnect->SetListener(std::move(listener), !HoldsLock());
}

CVeltor::Impl::Reopened CVeltor::Impl::Reopen() {
    // Like a command: never while a host's command or hold runs.
    CommandScope scope(m_Self);
    std::string name;
    int port = 0;
    int baudIndex = 0;
    if (!m_pReconnect->Armed(name, port, baudIndex) || m_Self.IsConnected()) {
        return kNotWanted;
    }
    m_bReopening = true;
    const int opened = OpenAndSendBurst(name.empty() ? nullptr : name.c_str(), port, baudIndex);
    m_bReopening = false;
    if (opened != 0) {
        // Commands go on failing as on a lost line until the next try.
        m_Self.StayLost();
        return kStillAway;
    }
    if (!m_bUpdated || !m_pReconnect->Policy().resendUpdate) {
        return kBack;
    }
    // The update runs the host's timing-mode code on the library's thread:
    // what it throws is this update's failure, and the policy goes on.
    try {
        return UpdateAll() ? kBackResent : kBackResendFailed;
    } catch (const std::exception& error) {
        m_Self.SetLastError(std::string("sending the last update again: ") + error.what());
    } catch (...) {
        m_Self.SetLastError("sending the last update again: the host's code threw an exception");
    }
    return kBackResendFailed;
}

bool CVeltor::Impl::SendBurst() {
    unsigned char burst[veltor::kBurstSize];
    veltor::MakeBurst(burst);
    return m_Self.WriteNamed(burst, veltor::kBurstSize,
                             "the " + std::to_string(veltor::kBurstSize) + "-byte filler burst");
}

bool CVeltor::Impl::RunCommandBody(bool (*body)(void* context), void* context) {
    CommandScope scope(m_Self);
    return body(context);
}

bool CVeltor::DoCommand(CCommand* command) {
    return Carry(command, nullptr);
}

bool CVeltor::DoCommandOnce(CCommand* command, const char* what) {
    return Carry(command, what != nullptr ? what : "the command");
}

bool CVeltor::Carry(CCommand* command, const char* once) {
    CommandScope scope(*this);
    if (command == nullptr) {
        SetLastError("no command");
        return false;
    }
    // Readers on other threads convert at the clocks as a command saw them.
    double hz[veltor::ClockSnapshot::kPairs];
    SnapshotClocks(hz);
    return RunCommand(command, once);
}

namespace {

// The clock of a pair whose clock-source code is `code`.
double PairClockHz(int code, double refClockHz) {
    switch (code) {
        case 1:
            return 3125000.0;
        case 2:
            return 2.0 * refClockHz;
        case 3:
            return 2.0 * refClockHz * 0.015625;
        default:
            return 200000000.0;
    }
}

}  // namespace

double CVeltor::GetClockFrequencyHz(char channel) const {
    int index = static_cast<unsigned char>(channel);
    if (channel >= 'A' && channel <= 'H') {
        index = channel - 'A';
    } else if (channel >= 'a' && channel <= 'h') {
        index = channel - 'a';
    }
    const SGeneral* general = m_pImpl->m_pGeneral;
    if (index > 7 || general == nullptr) {
        return 0.0;
    }
    const int codes[4] = {general->nClockAB, general->nClockCD, general->nClockEF,
                          general->nClockGH};
    return PairClockHz(codes[index / 2], general->dRefClockHz);
}

SGeneral* CVeltor::GetPropA() {
    return m_pImpl->m_pGeneral;
}

CChannel* CVeltor::GetChannel(char letter) const {
    CChannel* const* channels = m_pImpl->m_pChannels;
    if (channels == nullptr) {
        return nullptr;
    }
    if (letter >= 'A' && letter <= 'H') {
        return channels[letter - 'A'];
    }
    if (letter >= 'a' && letter <= 'h') {
        return channels[letter - 'a'];
    }
    return nullptr;
}

void CVeltor::HandleUnsolicited(unsigned char* bytes, unsigned long count) {
    veltor::ReportGatherer* gatherer = m_pImpl->m_pGatherer;
    if (HandsOverLineBytes() || bytes == nullptr || count == 0 || gatherer == nullptr) {
        return;
    }
    std::vector<veltor::DelayReport> found;
    gatherer->Feed(bytes, count, found);
    // Outside the gatherer's lock: a host's HandleDelayReport may hand it
    // bytes again.
    for (const veltor::DelayReport& report : found) {
        HandleDelayReport(report.channel, report.counts);
    }
}

void CVeltor::HandleDelayReport(unsigned char channel, unsigned int counts) {
    const char letter = static_cast<char>('A' + channel);
    CChannel* target = GetChannel(letter);
    if (target == nullptr) {
        return;
    }
    target->SetLastDelay(counts);
    target->CountReport();
    veltor::ReportDispatch* dispatch = m_pImpl->m_pDispatch.load(std::memory_order_acquire);
    if (dispatch != nullptr) {
        const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
        dispatch->Push(letter, counts, now);
    }
}

unsigned long long CVeltor::GetDroppedReportCount() const {
    const veltor::ReportDispatch* dispatch = m_pImpl->m_pDispatch.load(std::memory_order_acquire);
    return dispatch != nullptr ? dispatch->Dropped() : 0;
}

void CVeltor::SetReportListener(ReportListener listener) {
    // Made once, under its own lock so that two threads do not both make
    // it; a delivery may be reading the pointer meanwhile.
    std::atomic<veltor::ReportDispatch*>& made = m_pImpl->m_pDispatch;
    veltor::ReportDispatch* dispatch = nullptr;
    {
        std::lock_guard<std::mutex> making(m_pImpl->m_DispatchMaking);
        if (made.load() == nullptr && listener) {
            made.store(new veltor::ReportDispatch(kReportQueueLimit));
        }
        dispatch = made;
    }
    if (dispatch == nullptr) {
        return;
    }
    // The general properties are read under the device's lock; a thread
    // that cannot take it at once (the listener, while a command runs)
    // takes the clocks as the last holder saw them.
    if (TryLock()) {
        m_pImpl->NoteClocks();
        Unlock();
    } else {
        double hz[veltor::ReportDispatch::kPairs];
        for (int pair = 0; pair < veltor::ReportDispatch::kPairs; ++pair) {
            hz[pair] = m_pImpl->m_pClocks->Hz(2 * pair);
        }
        dispatch->SetClocks(hz);
    }
    // A caller that holds the device's lock must not wait for a call of the
    // listener: that call may be waiting for the same lock to run a command.
    dispatch->SetListener(std::move(listener), !HoldsLock());
}

void CVeltor::SnapshotClocks(double hz[4]) {
    // As GetClockFrequencyHz gives them, read once for the four pairs: this
    // runs before every command.
    Impl& d = *m_pImpl;
    const SGeneral* general = d.m_pGeneral;
    if (general == nullptr) {
        for (int pair = 0; pair < veltor::ClockSnapshot::kPairs; ++pair) {
            hz[pair] = 0.0;
        }
        d.m_bClocksTaken = false;
    } else {
        const int codes[4] = {general->nClockAB, general->nClockCD, general->nClockEF,
                              general->nClockGH};
        const double ref = general->dRefClockHz;
        // Unchanged since the last snapshot, which every store comes from:
        // the snapshot holds these already.
        if (d.m_bClocksTaken && ref == d.m_ClockRefHz && codes[0] == d.m_ClockCodes[0] &&
            codes[1] == d.m_ClockCodes[1] && codes[2] == d.m_ClockCodes[2] &&
            codes[3] == d.m_ClockCodes[3]) {
            for (int pair = 0; pair < veltor::ClockSnapshot::kPairs; ++pair) {
                hz[pair] = d.m_ClockHz[pair];
            }
            return;
        }
        for (int pair = 0; pair < veltor::ClockSnapshot::kPairs; ++pair) {
            hz[pair] = PairClockHz(codes[pair], ref);
            d.m_ClockCodes[pair] = codes[pair];
            d.m_ClockHz[pair] = hz[pair];
        }
        d.m_ClockRefHz = ref;
        d.m_bClocksTaken = true;
    }
    d.m_pClocks->Store(hz);
}

double CVeltor::Impl::ClockForReading(int channel) {
    if (!m_Self.TryLock()) {
        return m_pClocks->Hz(channel);
    }
    double hz[veltor::ClockSnapshot::kPairs];
    m_Self.SnapshotClocks(hz);
    m_Self.Unlock();
    return m_pClocks->Hz(channel);
}

void CVeltor::Impl::NoteClocks() {
    // The listener's thread converts reports without the device's lock,
    // which a host may hold for as long as it likes: it takes the clocks
    // from here, read by a holder of the device's lock.
    veltor::ReportDispatch* dispatch = m_pDispatch.load(std::memory_order_acquire);
    double hz[veltor::ReportDispatch::kPairs];
    m_Self.SnapshotClocks(hz);
    if (dispatch != nullptr) {
        dispatch->SetClocks(hz);
    }
}

// ---- Device-wide commands ------------------------------------------------------

bool CVeltor::Impl::SendDeviceRequest(unsigned char operation, const char* status) {
    // The command scope is DoCommand's.
    return veltor::SendRequest(*this, &operation, 1, status);
}

bool CVeltor::CmdEnableOutputs() {
    return m_pImpl->SendDeviceRequest(0x80, "Enabling outputs...");
}

bool CVeltor::CmdDisableOutputs() {
    return m_pImpl->SendDeviceRequest(0x90, "Disabling outputs...");
}

bool CVeltor::CmdLockFP() {
    return m_pImpl->SendDeviceRequest(0x50, "Locking the front panel...");
}

bool CVeltor::CmdUnlockFP() {
    return m_pImpl->SendDeviceRequest(0x58, "Unlocking the front panel...");
}

bool CVeltor::CmdResetAll() {
    return m_pImpl->SendDeviceRequest(0x70, "Reseting all channels...");
}

bool CVeltor::CmdSetClock() {
    CommandScope scope(*this);
    const SGeneral& general = *m_pImpl->m_pGeneral;
    // The instrument would take the low two bits of any other code and run
    // the pair on a clock the host does not convert times for.
    const std::vector<std::string> problems = veltor::ClockSourceProblems(general);
    if (!problems.empty()) {
        SetLastError("clock options: " + problems.front());
        return false;
    }
    // Reports are converted at the clocks as sent from now on.
    m_pImpl->NoteClocks();
    unsigned char payload[9] = {0x10, 0, 0, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67};
    payload[1] = static_cast<unsigned char>((general.bLockFP ? 0x20 : 0) |
                                            (general.bDisableOutputs ? 0x08 : 0));
    payload[2] =
        static_cast<unsigned char>((general.nClockAB & 3) | (general.nClockCD & 3) << 2 |
                                   (general.nClockEF & 3) << 4 | (general.nClockGH & 3) << 6);
    return veltor::SendRequest(*m_pImpl, payload, sizeof(payload), "Setting the clock options...",
                               1000);
}

// ---- Logic ----------------------------------------------------------------------

bool CVeltor::SetGlobalLogic(const char* text) {
    Hold hold(*this);
    return m_pImpl->m_pLogic->SetGlobalLogic(text);
}

std::string CVeltor::GetGlobalLogic() const {
    // The lock is taken for the copy only; it changes no state of the device.
    CVeltor& self = const_cast<CVeltor&>(*this);
    Hold hold(self);
    return m_pImpl->m_pLogic->GetGlobalText();
}

std::string CVeltor::GetGlobalLogicError(int* line) const {
    CVeltor& self = const_cast<CVeltor&>(*this);
    Hold hold(self);
    if (line != nullptr) {
        *line = m_pImpl->m_pLogic->GetErrorLine();
    }
    return m_pImpl->m_pLogic->GetLastError();
}

CSymbl** CVeltor::GetGlobalSymbols() {
    return m_pImpl->m_pLogic->GetGlobalSymbols();
}

bool CVeltor::CmdTransferAllLogic() {
    CommandScope scope(*this);
    return m_pImpl->ForEachChannel(&CChannel::CmdTransferLogic);
}

bool CVeltor::CmdImplementLogic() {
    CommandScope scope(*this);
    const unsigned char payload = 0xC0;
    return veltor::SendRequest(*m_pImpl, &payload, 1, "Implementing logic settings...", 10000);
}

// ---- Whole-device update ----------------------------------------------------------

bool CVeltor::CmdSetAllTimingModes() {
    CommandScope scope(*this);
    return m_pImpl->ForEachChannel(&CChannel::CmdSetTimingMode);
}

bool CVeltor::Impl::ForEachChannel(bool (CChannel::*command)()) {
    // Channels A to H in order; the first that is missing or fails stops the
    // walk, and the channels after it are sent nothing.
    for (char letter = 'A'; letter <= 'H'; ++letter) {
        CChannel* channel = m_Self.GetChannel(letter);
        if (channel == nullptr) {
            m_Self.SetLastError(std::string("no channel ") + letter);
            return false;
        }
        if (!(channel->*command)()) {
            return false;
        }
    }
    return true;
}

bool CVeltor::CmdUpdateAll() {
    // The whole sequence, with no other thread's exchange in it.
    CommandScope scope(*this);
    if (!m_pImpl->UpdateAll()) {
        return false;
    }
    m_pImpl->m_bUpdated = true;
    return true;
}

bool CVeltor::Impl::UpdateAll() {
    CommandScope scope(m_Self);
    SGeneral& general = *m_pGeneral;
    // A clock code the instrument would read otherwise stops the update
    // before it locks the panel or switches anything off.
    const std::vector<std::string> clockProblems = veltor::ClockSourceProblems(general);
    if (!clockProblems.empty()) {
        m_Self.SetLastError("update not started, nothing was sent: clock options: " +
                            clockProblems.front());
        return false;
    }
    const bool savedLock = general.bLockFP;
    const bool savedDisable = general.bDisableOutputs;
    general.bLockFP = true;
    general.bDisableOutputs = true;

    // A panel that fails to lock does not stop the update, nor is it its
    // failure.
    const bool locked = m_Self.CmdLockFP();
    m_Self.SetLastError("");
    const std::string panel = locked ? "the panel is locked" : "the panel may not be locked";
    struct Step {
        bool (CVeltor::*command)();
        const char* name;
    };
    static const Step kSteps[] = {
        {&CVeltor::CmdDisableOutputs, "disabling the outputs"},
        {&CVeltor::CmdTransferAllLogic, "transferring the logic"},
        {&CVeltor::CmdSetClock, "setting the clock options"},
        {&CVeltor::CmdSetAllTimingModes, "setting the timing modes"},
        {&CVeltor::CmdImplementLogic, "implementing the logic"},
    };
    for (const Step& step : kSteps) {
        if (!(m_Self.*step.command)()) {
            // Both flags stay set, as the instrument is asked to be. The
            // message says only what is known: outputs whose disabling
            // failed may still be on.
            const bool outputsOff = step.command != &CVeltor::CmdDisableOutputs;
            m_Self.PrefixLastError(
                std::string("update stopped at ") + step.name + " (" +
                (outputsOff ? "the outputs are off" : "the outputs may still be on") + " and " +
                panel +
                "; bLockFP and bDisableOutputs stay set: clear them before the next "
                "update to get the outputs on and the panel unlocked): ");
            return false;
        }
    }
    general.bLockFP = savedLock;
    general.bDisableOutputs = savedDisable;
    if (!savedDisable && !m_Self.CmdEnableOutputs()) {
        m_Self.PrefixLastError(
            "update stopped at enabling the outputs (the outputs may still be off and " + panel +
            "): ");
        return false;
    }
    if (!savedLock) {
        m_Self.CmdUnlockFP();
        m_Self.SetLastError("");
    }
    return true;
}

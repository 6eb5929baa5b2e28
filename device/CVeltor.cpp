#include <veltor/CChannel.h>
#include <veltor/CCommand.h>
#include <veltor/CLogic.h>
#include <veltor/CVeltor.h>
#include <veltor/SGeneral.h>
#include <veltor/SimpleModes.h>

#include "device/BurstGenerator.h"
#include "device/DelayReports.h"
#include "device/Request.h"

namespace {

const int kChannels = 8;

// The default timing mode most recently installed by a device.
CTimingMode* s_pDeviceDefault = nullptr;

void DeliverDelay(void* context, unsigned char channel, unsigned int counts) {
    CChannel* target = static_cast<CVeltor*>(context)->GetChannel(static_cast<char>('A' + channel));
    if (target != nullptr) {
        target->SetLastDelay(counts);
    }
}

}  // namespace

CVeltor::CVeltor()
    : m_pChannels(nullptr),
      m_pGeneral(nullptr),
      m_pLogic(nullptr),
      m_nUnsolicited(0),
      m_Unsolicited() {
    // The logic holder comes first: every channel's logic compiler is given
    // its global symbol table.
    m_pLogic = new CLogic;
    m_pChannels = new CChannel*[kChannels];
    for (int i = 0; i < kChannels; ++i) {
        m_pChannels[i] = new CChannel(this, static_cast<char>('A' + i));
    }
    // The class-wide default is replaced by a fresh one. A default that an
    // earlier device made and that is still installed is unreachable from
    // then on, and released here; one that a host installed stays the host's.
    CTimingMode* fresh = new CNull;
    CTimingMode* previous = CChannel::SetDefaultTimingMode(fresh);
    if (previous != nullptr && previous == s_pDeviceDefault) {
        delete previous;
    }
    s_pDeviceDefault = fresh;
    m_pGeneral = new SGeneral;
}

CVeltor::~CVeltor() {
    // The watcher may run HandleUnsolicited, which reaches the channels and
    // the general properties, until the connection is closed.
    CloseConnection();
    if (m_pChannels != nullptr) {
        for (int i = 0; i < kChannels; ++i) {
            delete m_pChannels[i];
        }
        delete[] m_pChannels;
        m_pChannels = nullptr;
    }
    delete m_pGeneral;
    m_pGeneral = nullptr;
    delete m_pLogic;
    m_pLogic = nullptr;
    CTimingMode* installed = CChannel::SetDefaultTimingMode(nullptr);
    if (installed == s_pDeviceDefault) {
        s_pDeviceDefault = nullptr;
    }
    delete installed;
}

int CVeltor::InitConnection(int port, int baudIndex) {
    const int opened = CSerDev::InitConnection(port, baudIndex);
    if (opened != 0) {
        return opened;
    }
    SendBurst();
    return 0;
}

int CVeltor::InitConnection(const char* device, int baudIndex) {
    const int opened = CSerDev::InitConnection(device, baudIndex);
    if (opened != 0) {
        return opened;
    }
    SendBurst();
    return 0;
}

bool CVeltor::SendBurst() {
    unsigned char burst[veltor::kBurstSize];
    veltor::MakeBurst(burst);
    return Write(burst, veltor::kBurstSize);
}

bool CVeltor::DoCommand(CCommand* command) {
    if (command == nullptr) {
        return false;
    }
    AwaitLateAnswers();
    for (;;) {
        if (SendReceive(command)) {
            return true;
        }
        --command->m_Tries;
        // Without a port, every further attempt would fail the same way.
        const Outcome outcome = GetLastOutcome();
        if (command->m_Tries <= 0 || outcome == kPortLost || outcome == kNotConnected) {
            return false;
        }
    }
}

double CVeltor::GetClockFrequencyHz(char channel) const {
    int index = static_cast<unsigned char>(channel);
    if (channel >= 'A' && channel <= 'H') {
        index = channel - 'A';
    } else if (channel >= 'a' && channel <= 'h') {
        index = channel - 'a';
    }
    if (index > 7 || m_pGeneral == nullptr) {
        return 0.0;
    }
    const int codes[4] = {m_pGeneral->nClockAB, m_pGeneral->nClockCD, m_pGeneral->nClockEF,
                          m_pGeneral->nClockGH};
    switch (codes[index / 2]) {
        case 1:
            return 3125000.0;
        case 2:
            return 2.0 * m_pGeneral->dRefClockHz;
        case 3:
            return 2.0 * m_pGeneral->dRefClockHz * 0.015625;
        default:
            return 200000000.0;
    }
}

SGeneral* CVeltor::GetPropA() {
    return m_pGeneral;
}

CChannel* CVeltor::GetChannel(char letter) const {
    if (m_pChannels == nullptr) {
        return nullptr;
    }
    if (letter >= 'A' && letter <= 'H') {
        return m_pChannels[letter - 'A'];
    }
    if (letter >= 'a' && letter <= 'h') {
        return m_pChannels[letter - 'a'];
    }
    return nullptr;
}

void CVeltor::HandleUnsolicited(unsigned char* bytes, unsigned long count) {
    veltor::GatherDelayReports(m_Unsolicited, m_nUnsolicited, bytes, count, DeliverDelay, this);
}

// ---- Device-wide commands ------------------------------------------------------

bool CVeltor::SendDeviceRequest(unsigned char operation, const char* status) {
    return veltor::SendRequest(this, &operation, 1, status);
}

bool CVeltor::CmdEnableOutputs() {
    return SendDeviceRequest(0x80, "Enabling outputs...");
}

bool CVeltor::CmdDisableOutputs() {
    return SendDeviceRequest(0x90, "Disabling outputs...");
}

bool CVeltor::CmdLockFP() {
    return SendDeviceRequest(0x50, "Locking the front panel...");
}

bool CVeltor::CmdUnlockFP() {
    return SendDeviceRequest(0x58, "Unlocking the front panel...");
}

bool CVeltor::CmdResetAll() {
    return SendDeviceRequest(0x70, "Reseting all channels...");
}

bool CVeltor::CmdSetClock() {
    const SGeneral& general = *m_pGeneral;
    unsigned char payload[9] = {0x10, 0, 0, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67};
    payload[1] = static_cast<unsigned char>((general.bLockFP ? 0x20 : 0) |
                                            (general.bDisableOutputs ? 0x08 : 0));
    payload[2] =
        static_cast<unsigned char>((general.nClockAB & 3) | (general.nClockCD & 3) << 2 |
                                   (general.nClockEF & 3) << 4 | (general.nClockGH & 3) << 6);
    return veltor::SendRequest(this, payload, sizeof(payload), "Setting the clock options...",
                               1000);
}

// ---- Logic ----------------------------------------------------------------------

bool CVeltor::SetGlobalLogic(const char* text) {
    return m_pLogic->SetGlobalLogic(text);
}

CSymbl** CVeltor::GetGlobalSymbols() {
    return m_pLogic->GetGlobalSymbols();
}

bool CVeltor::CmdTransferAllLogic() {
    return ForEachChannel(&CChannel::CmdTransferLogic);
}

bool CVeltor::CmdImplementLogic() {
    const unsigned char payload = 0xC0;
    return veltor::SendRequest(this, &payload, 1, "Implementing logic settings...", 10000);
}

// ---- Whole-device update ----------------------------------------------------------

bool CVeltor::CmdSetAllTimingModes() {
    return ForEachChannel(&CChannel::CmdSetTimingMode);
}

bool CVeltor::ForEachChannel(bool (CChannel::*command)()) {
    // Channels A to H in order; the first that is missing or fails stops the
    // walk, and the channels after it are sent nothing.
    for (char letter = 'A'; letter <= 'H'; ++letter) {
        CChannel* channel = GetChannel(letter);
        if (channel == nullptr || !(channel->*command)()) {
            return false;
        }
    }
    return true;
}

bool CVeltor::CmdUpdateAll() {
    SGeneral& general = *m_pGeneral;
    const bool savedLock = general.bLockFP;
    const bool savedDisable = general.bDisableOutputs;
    general.bLockFP = true;
    general.bDisableOutputs = true;

    CmdLockFP();  // a panel that fails to lock does not stop the update
    if (!CmdDisableOutputs() || !CmdTransferAllLogic() || !CmdSetClock() ||
        !CmdSetAllTimingModes() || !CmdImplementLogic()) {
        // Both flags stay set, as the instrument now is: locked, outputs off.
        return false;
    }
    general.bLockFP = savedLock;
    general.bDisableOutputs = savedDisable;
    if (!savedDisable && !CmdEnableOutputs()) {
        return false;
    }
    if (!savedLock) {
        CmdUnlockFP();
    }
    return true;
}

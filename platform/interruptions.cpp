#include "platform/interruptions.h"

#include "platform/log.h"

namespace platform {

namespace {
Interruptions* g_interruptions = nullptr;
int g_guardDepth = 0;
StopRequestHold* g_innermostHold = nullptr;
}  // namespace

const char* StopRequestName(StopRequest request) {
    switch (request) {
    case StopRequest::Interrupt: return "SIGINT";
    case StopRequest::Terminate: return "SIGTERM";
    case StopRequest::HangUp: return "SIGHUP";
    case StopRequest::None: break;
    }
    return "";
}

Interruptions& CurrentInterruptions() { return g_interruptions != nullptr ? *g_interruptions : SystemInterruptions(); }

ScopedInterruptions::ScopedInterruptions(Interruptions& interruptions) : m_previous(g_interruptions) {
    g_interruptions = &interruptions;
}
ScopedInterruptions::~ScopedInterruptions() { g_interruptions = m_previous; }

std::string FlashWriteAnnouncement(const std::string& what) {
    return what + " is being written; the program will stop when that is safe.";
}

StopRequestHold::StopRequestHold(std::string announcement)
    : m_announcement(std::move(announcement)), m_outer(g_innermostHold) {
    g_innermostHold = this;
    CurrentInterruptions().Hold(m_announcement);
}

StopRequestHold::~StopRequestHold() {
    g_innermostHold = m_outer;
    if (m_outer != nullptr) {
        CurrentInterruptions().Hold(m_outer->m_announcement);
    } else {
        CurrentInterruptions().Release();
    }
}

FlashWriteGuard::FlashWriteGuard(const std::string& what)
    : m_what(what),
      m_outermost(g_guardDepth++ == 0),
      m_pendingBefore(CurrentInterruptions().Pending() != StopRequest::None),
      m_hold(FlashWriteAnnouncement(what)) {}

FlashWriteGuard::~FlashWriteGuard() {
    --g_guardDepth;
    if (!m_outermost || m_pendingBefore) return;
    const StopRequest pending = CurrentInterruptions().Pending();
    if (pending != StopRequest::None) {
        LogMessage("%s arrived while %s was being written; held back until it was done\n", StopRequestName(pending),
                   m_what.c_str());
    }
}

void VirtualInterruptions::Hold(const std::string& announcement) {
    if (!m_held) ++m_holds;  // a hold begins; a nested one only changes the line
    m_held = true;
    m_announcement = announcement;
}

void VirtualInterruptions::Release() { m_held = false; }

void VirtualInterruptions::Deliver(StopRequest request) {
    if (!m_held) {
        ++m_unheld;
        return;
    }
    if (m_pending != StopRequest::None) return;
    m_pending = request;
    m_printed += std::string("quilupdate: ") + StopRequestName(request) + ": " + m_announcement + "\n";
}

}  // namespace platform
